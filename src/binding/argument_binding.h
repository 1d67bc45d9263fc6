// Binds positional and keyword arguments to a fixed parameter list, with the
// TypeError messages of a Python function. Bound values are borrowed: the
// caller's argument tuple, dictionary or vector keeps them alive for the call.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "binding/python_api.h"

namespace kavro::binding {

struct Signature {
  const char* full_name;  // as shown in messages, e.g. "PyKavro.evaluate()"
  std::span<const char* const> names;
  std::size_t required;  // the first `required` parameters have no default
};

// Each fills `bound` (one entry per parameter; null for an unfilled optional
// one) and returns true, or returns false with a TypeError set.

// Arguments as a tuple and an optional dictionary (type creation slots).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound);

// Arguments as a vector and an optional tuple of keyword names whose values
// follow the positional ones (the fast calling convention).
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

// The UTF-8 of the text argument `name`, or nullopt with the exception set:
// a TypeError naming the argument for anything but a str.
std::optional<std::string_view> argument_text(PyObject* value, const char* name);

}  // namespace kavro::binding
