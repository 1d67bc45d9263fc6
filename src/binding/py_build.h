// Small builders of result dictionaries and lists. Each takes over the new
// reference it is given (null means a failed creation) and returns false with
// the exception set when anything failed, so callers can chain them.
#pragma once

#include <string_view>

#include "binding/py_ref.h"
#include "binding/python_api.h"
#include "evaluation/value_view.h"

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

// The Python value of a view: str, float or bool; None when absent.
inline PyObject* new_value(const ValueView& value) {
  switch (value.kind) {
    case ValueKind::String:
      return new_text(value.text);
    case ValueKind::Number:
      return PyFloat_FromDouble(value.number);
    case ValueKind::Boolean:
      return new_bool(value.boolean);
    case ValueKind::Absent:
      return none();
  }
  return none();
}

}  // namespace kavro::binding
