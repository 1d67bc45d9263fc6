// FieldKeys: the field names a compiled policy reads, as interned str objects
// made once when the PyKavro object is built, found by their address.
//
// Keys written as literals in Python code are interned, so a request built in
// code uses these very objects: its keys find their slots by one pointer
// probe, without encoding or hashing their text. Any other key (from JSON, say)
// misses here and is looked up by its bytes, so a lookup is exact either way.
// Left empty on interpreters that never release interned texts.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "binding/python_api.h"
#include "evaluation/field_slots.h"

namespace kavro::binding {

class FieldKeys {
 public:
  FieldKeys() = default;
  FieldKeys(const FieldKeys&) = delete;
  FieldKeys& operator=(const FieldKeys&) = delete;
  ~FieldKeys();

  // Returns false with an exception set.
  bool build(const FieldSlots& slots);

  // The slot of `key` when it is one of the names made here, else kNoSlot
  // (the key may still name a field: look its bytes up then).
  std::uint32_t find(Domain domain, const PyObject* key) const {
    const Table& table = tables_[static_cast<int>(domain)];
    if (table.cells.empty()) return kNoSlot;
    const std::size_t mask = table.cells.size() - 1;
    for (std::size_t i = address_hash(key) & mask;; i = (i + 1) & mask) {
      const Cell& cell = table.cells[i];
      if (cell.name == key) return cell.slot;
      if (cell.name == nullptr) return kNoSlot;
    }
  }

 private:
  static std::size_t address_hash(const PyObject* key) {
    // Objects are at least 16-byte aligned: the low bits carry nothing.
    const auto address = reinterpret_cast<std::uintptr_t>(key) >> 4;
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15u) >> 32);
  }

  struct Cell {
    PyObject* name = nullptr;  // owned
    std::uint32_t slot = kNoSlot;
  };
  struct Table {
    std::vector<Cell> cells;  // at most a quarter full, so misses end early
  };

  std::array<Table, kDomainCount> tables_;
};

}  // namespace kavro::binding
