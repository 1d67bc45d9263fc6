#include "evaluation/field_slots.h"

#include <utility>

namespace kavro::evaluation {

void FieldSlots::clear() {
  for (auto& table : tables_) table.clear();
  size_ = 0;
  intern(documents::Domain::Action, kActionTypeField);
}

std::uint32_t FieldSlots::intern(documents::Domain domain, std::string_view field) {
  Table& table = tables_[static_cast<int>(domain)];
  const std::uint32_t found = table.find(field, text_edges(field));
  if (found != compiler::kNoSlot) return found;
  table.insert(field, size_);
  return size_++;
}

void FieldSlots::Table::insert(std::string_view name, std::uint32_t slot) {
  // At most half full, so that probe chains stay short; doubling keeps the
  // total cost of filling the table linear in the number of names.
  if (2 * (count_ + 1) > entries_.size()) {
    std::vector<Entry> old = std::move(entries_);
    entries_.assign(old.empty() ? 8 : 2 * old.size(), Entry{});
    mask_ = entries_.size() - 1;
    for (const Entry& entry : old) {
      if (entry.slot != compiler::kNoSlot) place(entry);
    }
  }
  Entry entry;
  entry.edges = text_edges(name);
  entry.length = static_cast<std::uint32_t>(name.size());
  entry.slot = slot;
  entry.offset = names_.size();
  names_.append(name);
  place(entry);
  ++count_;
}

void FieldSlots::Table::place(const Entry& entry) {
  const std::string_view name(names_.data() + entry.offset, entry.length);
  std::size_t i = text_hash(name) & mask_;
  while (entries_[i].slot != compiler::kNoSlot) i = (i + 1) & mask_;
  entries_[i] = entry;
}

}  // namespace kavro::evaluation
