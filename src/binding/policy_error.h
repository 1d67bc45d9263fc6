// kavro.PolicyError: the exception of every loading, compile and governance
// error. A ValueError whose str() is the engine's message, with attributes
// that say where the cause is (see docs/python-api.md); governance failures
// list their violations as kavro.Violation records.
#pragma once

#include "binding/python_api.h"
#include "engine/build_error.h"

namespace kavro::binding {

// Creates both types once per process; false with an exception set.
bool create_policy_error_types();
// Adds PolicyError and Violation to the module; false with an exception set.
bool add_policy_error_types(PyObject* module);

// Raises the PolicyError of `error`, with the places the build recorded.
void raise_policy_error(const engine::BuildError& error);

}  // namespace kavro::binding
