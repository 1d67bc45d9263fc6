// The words of the language and its scalar typing, as the module hands them
// to the Python package: EFFECTS, DOMAINS and OPERATORS (tuples of spellings
// in the language's table order) and `_plain_scalar(text)`.
#pragma once

#include "binding/python_api.h"

namespace kavro::binding {

// Adds the three tuples to the module; false with an exception set.
bool add_language_words(PyObject* module);

// `_plain_scalar(text)`: None, a bool, an int, a float or the str itself, as
// the policy language reads `text` written as a plain YAML scalar.
PyObject* plain_scalar_function(PyObject* module, PyObject* text);

}  // namespace kavro::binding
