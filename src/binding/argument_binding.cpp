#include "binding/argument_binding.h"

#include <algorithm>
#include <string>

#include "binding/errors.h"

namespace kavro::binding {

namespace {

bool check_positional_count(const Signature& signature, Py_ssize_t given) {
  const auto declared = static_cast<Py_ssize_t>(signature.names.size());
  if (given <= declared) return true;
  const auto required = static_cast<Py_ssize_t>(signature.required);
  if (required == declared) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd were given",
                 signature.full_name, declared, given);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s takes from %zd to %zd positional arguments but %zd were given",
                 signature.full_name, required, declared, given);
  }
  return false;
}

bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value,
                  std::span<PyObject*> bound) {
  if (PyUnicode_Check(name)) {
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) != 0) continue;
      if (bound[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     signature.full_name, signature.names[i]);
        return false;
      }
      bound[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.full_name,
               name);
  return false;
}

bool check_required(const Signature& signature, std::span<PyObject*> bound) {
  std::string missing;
  std::size_t count = 0;
  std::size_t remaining = 0;
  for (std::size_t i = 0; i < signature.required; ++i) remaining += bound[i] == nullptr;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] != nullptr) continue;
    if (count > 0) missing += remaining == 1 ? " and " : ", ";
    missing += '\'';
    missing += signature.names[i];
    missing += '\'';
    ++count;
    --remaining;
  }
  if (count == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
               signature.full_name, count, count == 1 ? "" : "s", missing.c_str());
  return false;
}

void bind_positional(PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> bound) {
  for (std::size_t i = 0; i < bound.size(); ++i) {
    bound[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0 || !check_positional_count(signature, nargs)) return false;
  for (std::size_t i = 0; i < bound.size(); ++i) {
    bound[i] = static_cast<Py_ssize_t>(i) < nargs
                   ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i))
                   : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(signature, name, value, bound)) return false;
    }
  }
  return check_required(signature, bound);
}

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
  // Every parameter given by position and nothing else: the usual call of a
  // hot method, bound without the checks that cannot fail here.
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == signature.names.size() &&
      bound.size() == signature.names.size()) {
    std::copy(args, args + nargs, bound.begin());
    return true;
  }
  if (!check_positional_count(signature, nargs)) return false;
  bind_positional(args, nargs, bound);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(signature, PyTuple_GetItem(kwnames, i), args[nargs + i], bound)) {
        return false;
      }
    }
  }
  return check_required(signature, bound);
}

std::optional<std::string_view> argument_text(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise_cannot_convert(value, "PyString");
    prefix_argument_error(name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) {
    prefix_argument_error(name);
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

}  // namespace kavro::binding
