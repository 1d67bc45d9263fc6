// Small builders of result dictionaries and lists. Each takes over the new
// reference it is given (null means a failed creation) and returns false with
// the exception set when anything failed, so callers can chain them.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "binding/py_ref.h"
#include "binding/python_api.h"
#include "engine/records.h"
#include "engine/values.h"

namespace kavro::binding {

inline PyObject* new_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

inline bool set_item(PyObject* dict, const char* key, PyObject* new_value) {
  PyRef value = PyRef::steal(new_value);
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

inline bool append_item(PyObject* list, PyObject* new_value) {
  PyRef value = PyRef::steal(new_value);
  return value && PyList_Append(list, value.get()) == 0;
}

inline PyObject* new_bool(bool value) {
  return PyBool_FromLong(value ? 1 : 0);
}

inline PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// The place's line or column (one-based, as people count them), or None.
inline PyObject* counter(const std::optional<engine::Place>& place,
                         std::size_t engine::Place::*member) {
  if (!place) return none();
  return PyLong_FromSize_t((*place).*member);
}

// A record of the struct sequence `type` holding `items`, which it takes
// over (null items mean failed creations); null with the exception set.
template <std::size_t N>
PyObject* new_record(PyTypeObject* type, const std::array<PyObject*, N>& items) {
  PyRef record = PyRef::steal(PyStructSequence_New(type));
  bool complete = static_cast<bool>(record);
  for (std::size_t i = 0; i < N; ++i) {
    complete = complete && items[i] != nullptr;
    if (!record) {
      Py_XDECREF(items[i]);
      continue;
    }
    // Unset items must still hold an object when the record is dropped.
    PyObject* item = complete ? items[i] : none();
    if (!complete) Py_XDECREF(items[i]);
    PyStructSequence_SetItem(record.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return complete ? record.release() : nullptr;
}

// A tuple of `count` items, the i-th made by `make(i)` (a new reference, or
// null with the exception set); null with the exception set.
template <class Make>
PyObject* new_tuple(std::size_t count, Make&& make) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return tuple.release();
}

// The Python value of a view: str, float or bool; None when absent.
inline PyObject* new_value(const engine::ValueView& value) {
  switch (value.kind) {
    case engine::ValueKind::String:
      return new_text(value.text);
    case engine::ValueKind::Number:
      return PyFloat_FromDouble(value.number);
    case engine::ValueKind::Boolean:
      return new_bool(value.boolean);
    case engine::ValueKind::Absent:
      return none();
  }
  return none();
}

}  // namespace kavro::binding
