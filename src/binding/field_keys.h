// FieldKeys: the field names a compiled policy reads, as str objects made
// once when the PyKavro object is built, filed by the str's own hash.
//
// Every key of a dict already carries its hash (the dict computed it when the
// key went in), so asking for it hashes nothing: a key the policy never reads
// is turned away by that number and its length alone. A key it reads is
// confirmed by address (literals in Python code are interned, so they are
// these very objects) or else by its bytes, so a lookup stays exact.
// Only exact str keys are looked up here: a subclass may define its own hash.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "binding/python_api.h"
#include "evaluation/field_slots.h"
#include "support/text_hash.h"

namespace kavro::binding {

class FieldKeys {
 public:
  FieldKeys() = default;
  FieldKeys(const FieldKeys&) = delete;
  FieldKeys& operator=(const FieldKeys&) = delete;
  ~FieldKeys();

  // Returns false with an exception set.
  bool build(const evaluation::FieldSlots& slots);

  // The slot of `key`, an exact str, or kNoSlot when no field has its text.
  // Returns kFailed, with the encoding error pending, when the key's UTF-8
  // cannot be taken (a lone surrogate): that fails for any key, read or not.
  static constexpr std::uint32_t kFailed = compiler::kNoSlot - 1;
  std::uint32_t find(documents::Domain domain, PyObject* key) const {
    const Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) return kFailed;
    const Table& table = tables_[static_cast<int>(domain)];
    // The key's bytes, once some cell asks for them or the probe ends.
    Py_ssize_t size = 0;
    const char* utf8 = nullptr;
    for (std::size_t i = static_cast<std::size_t>(hash);; ++i) {
      const Cell& cell = table.cells[i & table.mask];
      if (cell.name == nullptr) break;
      if (cell.hash != hash) continue;
      if (cell.name == key) return cell.slot;
      if (utf8 == nullptr && (utf8 = PyUnicode_AsUTF8AndSize(key, &size)) == nullptr) {
        return kFailed;
      }
      const std::string_view text(utf8, static_cast<std::size_t>(size));
      if (text.size() == cell.length && text_edges(text) == cell.edges &&
          (cell.length <= 16 || std::memcmp(utf8, cell.text, cell.length) == 0)) {
        return cell.slot;
      }
    }
    if (utf8 == nullptr && PyUnicode_AsUTF8AndSize(key, &size) == nullptr) return kFailed;
    return compiler::kNoSlot;
  }

 private:
  struct Cell {
    Py_hash_t hash = 0;
    PyObject* name = nullptr;    // owned; null marks a free cell
    const char* text = nullptr;  // the name's UTF-8, owned by the name
    std::size_t length = 0;
    TextEdges edges;
    std::uint32_t slot = compiler::kNoSlot;
  };
  struct Table {
    // At most a quarter full, so misses end early; never empty, so a probe
    // needs no test for that.
    std::vector<Cell> cells = std::vector<Cell>(1);
    std::size_t mask = 0;
  };

  std::array<Table, documents::kDomainCount> tables_;
};

}  // namespace kavro::binding
