// FieldKeys: the field names a compiled policy reads, as str objects made
// once when the PyKavro object is built, filed by the str's own hash.
//
// Keys written as literals in Python code are interned, so they are these
// very objects: most are found by one look at their address. Every key of a
// dict also carries its hash (the dict computed it when the key went in), so
// asking for it hashes nothing: a key the policy never reads is turned away
// by that number, and one it reads is confirmed by address or by its bytes,
// so a lookup stays exact.
// Only exact str keys are looked up here: a subclass may define its own hash.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "binding/python_api.h"
#include "engine/values.h"
#include "support/text_hash.h"

namespace kavro::binding {

class FieldKeys {
 public:
  FieldKeys() = default;
  FieldKeys(const FieldKeys&) = delete;
  FieldKeys& operator=(const FieldKeys&) = delete;
  ~FieldKeys();

  // Returns false with an exception set.
  bool build(const engine::InputFields& slots);

  // The slot of `key`, an exact str, or kNoSlot when no field has its text.
  // Returns kFailed, with the encoding error pending, when the key's UTF-8
  // cannot be taken (a lone surrogate): that fails for any key, read or not.
  static constexpr std::uint32_t kFailed = engine::kNoSlot - 1;
  std::uint32_t find(engine::Domain domain, PyObject* key) const {
    const Table& table = tables_[static_cast<int>(domain)];
    // Keys written as literals are these very objects. One cell, no probing:
    // the test goes the same way for every key of a stream (all literals, or
    // all decoded), so it costs next to nothing where it misses.
    const AddressCell& home = table.by_address[address_hash(key) & table.mask];
    if (home.name == key) return home.slot;
    // The exact str type's own hash, called directly: the cached value.
    const Py_hash_t hash = str_hash(key);
    if (hash == -1) return kFailed;
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
    return engine::kNoSlot;
  }

 private:
  struct Cell {
    Py_hash_t hash = 0;
    PyObject* name = nullptr;    // owned; null marks a free cell
    const char* text = nullptr;  // the name's UTF-8, owned by the name
    std::size_t length = 0;
    TextEdges edges;
    std::uint32_t slot = engine::kNoSlot;
  };
  struct AddressCell {
    const PyObject* name = nullptr;  // owned by the Cell of the same name
    std::uint32_t slot = engine::kNoSlot;
  };
  struct Table {
    // At most a quarter full, so misses end early; never empty, so a probe
    // needs no test for that.
    std::vector<Cell> cells = std::vector<Cell>(1);
    // The first name whose address falls on each cell, if any.
    std::vector<AddressCell> by_address = std::vector<AddressCell>(1);
    std::size_t mask = 0;
  };

  static hashfunc str_hash;

  static std::size_t address_hash(const PyObject* key) {
    // Objects are at least 16-byte aligned: the low bits carry nothing.
    const auto address = reinterpret_cast<std::uintptr_t>(key) >> 4;
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15u) >> 32);
  }

  std::array<Table, engine::kDomainCount> tables_;
};

}  // namespace kavro::binding
