// PyKavro.rules(): the policy's rules as the engine holds them, one
// kavro.Rule record each (id, number, scope, effect, line), in document order.
#pragma once

#include "binding/python_api.h"
#include "engine/policy.h"

namespace kavro::binding {

// Creates the record type once per process; false with an exception set.
bool create_rule_type();
// Adds Rule to the module; false with an exception set.
bool add_rule_type(PyObject* module);

// A new tuple of records, or null with an exception set.
PyObject* rule_records(const engine::Policy& policy);

}  // namespace kavro::binding
