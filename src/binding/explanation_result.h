// The dictionary that explain returns: the decision, as evaluate gives it,
// and its trace. Keys and value shapes are documented in docs/python-api.md.
#pragma once

#include "binding/python_api.h"
#include "engine/records.h"

namespace kavro::binding {

// A new dict, or null with an exception set.
PyObject* build_explanation(const engine::ExplainedDecision& explanation);

}  // namespace kavro::binding
