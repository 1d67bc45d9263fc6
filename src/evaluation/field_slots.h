// FieldSlots: the input fields that a compiled policy can ever read, each
// given a dense index when the policy is compiled. Evaluation then reads an
// array by index instead of hashing field names on every request.
//
// Names live in one flat open-addressing table per domain, filled while the
// policy is compiled and only read afterwards (safe to share between threads).
// Lookups are exact: equal length and equal bytes, never a hash match alone.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiled_policy.h"
#include "documents/vocabulary.h"
#include "support/text_hash.h"

namespace kavro::evaluation {

// The action map's "type" entry selects the action bucket; it always has slot 0.
inline constexpr std::uint32_t kActionTypeSlot = 0;
inline constexpr std::string_view kActionTypeField = "type";

class FieldSlots {
 public:
  FieldSlots() { clear(); }

  void clear();
  // Returns the slot of (domain, field), creating it on first use.
  std::uint32_t intern(documents::Domain domain, std::string_view field);
  // kNoSlot when the policy never reads the field.
  std::uint32_t find(documents::Domain domain, std::string_view field) const {
    return tables_[static_cast<int>(domain)].find(field, text_edges(field));
  }
  std::uint32_t size() const { return size_; }
  // Calls visit(domain, field, slot) once per slot, in no particular order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (documents::Domain domain : documents::values_of<documents::Domain>()) {
      tables_[static_cast<int>(domain)].for_each(
          [&](std::string_view field, std::uint32_t slot) { visit(domain, field, slot); });
    }
  }

 private:
  class Table {
   public:
    std::uint32_t find(std::string_view name, TextEdges edges) const {
      if (entries_.empty()) return compiler::kNoSlot;
      // Keyed (see text_hash), as the names come from documents.
      for (std::size_t i = text_hash(name) & mask_;; i = (i + 1) & mask_) {
        const Entry& entry = entries_[i];
        if (entry.slot == compiler::kNoSlot) return compiler::kNoSlot;
        if (entry.length == name.size() && entry.edges == edges &&
            (name.size() <= 16 ||
             std::memcmp(names_.data() + entry.offset, name.data(), name.size()) == 0)) {
          return entry.slot;
        }
      }
    }
    // `name` must not be in the table yet.
    void insert(std::string_view name, std::uint32_t slot);
    template <class Visit>
    void for_each(Visit&& visit) const {
      for (const Entry& entry : entries_) {
        if (entry.slot == compiler::kNoSlot) continue;
        visit(std::string_view(names_.data() + entry.offset, entry.length), entry.slot);
      }
    }
    void clear() { *this = Table{}; }

   private:
    // 32 bytes, two to a cache line. The bytes sit in names_ at `offset`, so
    // a copied table stays valid.
    struct Entry {
      TextEdges edges;
      std::uint32_t length = 0;
      std::uint32_t slot = compiler::kNoSlot;
      std::uint64_t offset = 0;
    };
    void place(const Entry& entry);

    std::vector<Entry> entries_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
    std::string names_;
  };

  std::array<Table, documents::kDomainCount> tables_;
  std::uint32_t size_ = 0;
};

}  // namespace kavro::evaluation
