// The PyKavro class: a heap type that holds one engine::Policy by value and
// only reads it after construction.
#pragma once

#include "binding/python_api.h"

namespace kavro::binding {

// Creates the class from its PyType_Spec. Returns a new reference, or
// null with an exception set.
PyObject* create_kavro_type();

// Whether `object` is an instance of that class.
bool is_kavro_instance(PyObject* object);

}  // namespace kavro::binding
