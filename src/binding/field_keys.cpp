#include "binding/field_keys.h"

#include <bit>
#include <cstdlib>

namespace kavro::binding {

namespace {

// The interpreter 3.12 makes every interned str immortal: interning there
// would keep the names of every policy ever built for the life of the
// process, so names stay private there (keys are then confirmed by bytes).
bool interned_texts_are_released() {
  // "3.12.1 (main, ...)"; the major version is 3 for every interpreter
  // this module loads into.
  const char* version = Py_GetVersion();
  char* end = nullptr;
  const long major = std::strtol(version, &end, 10);
  const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
  return !(major == 3 && minor == 12);
}

}  // namespace

FieldKeys::~FieldKeys() {
  for (Table& table : tables_) {
    for (Cell& cell : table.cells) Py_XDECREF(cell.name);
  }
}

hashfunc FieldKeys::str_hash = nullptr;

bool FieldKeys::build(const engine::InputFields& slots) {
  if (str_hash == nullptr) {
    str_hash = reinterpret_cast<hashfunc>(PyType_GetSlot(&PyUnicode_Type, Py_tp_hash));
  }
  static const bool interning = interned_texts_are_released();
  std::array<std::size_t, engine::kDomainCount> counts{};
  slots.for_each([&](engine::Domain domain, std::string_view, std::uint32_t) {
    ++counts[static_cast<int>(domain)];
  });
  for (int domain = 0; domain < engine::kDomainCount; ++domain) {
    if (counts[domain] == 0) continue;
    tables_[domain].cells.resize(std::bit_ceil(4 * counts[domain]));
    tables_[domain].by_address.resize(tables_[domain].cells.size());
    tables_[domain].mask = tables_[domain].cells.size() - 1;
  }
  bool failed = false;
  slots.for_each([&](engine::Domain domain, std::string_view field, std::uint32_t slot) {
    if (failed) return;
    PyObject* name =
        PyUnicode_DecodeUTF8(field.data(), static_cast<Py_ssize_t>(field.size()), nullptr);
    if (name == nullptr) {
      // Text that no str can hold is a field that no key can name.
      failed = PyErr_ExceptionMatches(PyExc_MemoryError);
      if (!failed) PyErr_Clear();
      return;
    }
    // Now the same object as every other interned str of this text.
    if (interning) PyUnicode_InternInPlace(&name);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    const Py_hash_t hash = text == nullptr ? -1 : str_hash(name);
    if (hash == -1) {
      Py_DECREF(name);
      failed = true;
      return;
    }
    Table& table = tables_[static_cast<int>(domain)];
    std::size_t i = static_cast<std::size_t>(hash) & table.mask;
    while (table.cells[i].name != nullptr) i = (i + 1) & table.mask;
    const std::string_view bytes(text, static_cast<std::size_t>(length));
    table.cells[i] = {hash, name, text, bytes.size(), text_edges(bytes), slot};
    AddressCell& home = table.by_address[address_hash(name) & table.mask];
    if (home.name == nullptr) home = {name, slot};
  });
  return !failed;
}

}  // namespace kavro::binding
