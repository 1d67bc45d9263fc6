// The class of evaluate_arrow's result, `Decisions`: the columns `effect` and
// `matched_rule` in row order, lent to Arrow consumers through
// __arrow_c_stream__ and __arrow_c_array__ without copying, or rendered as
// result dicts by to_pylist(), and pickled as their effects and rule ids.
// Immutable; instances cannot be made from Python.
#pragma once

#include <memory>

#include "binding/python_api.h"
#include "columnar/decisions.h"

namespace kavro::binding {

// Creates the class once per process; null with an exception set.
PyObject* create_decisions_type();

// Adds the function unpickling calls, `_restore_decisions`, to the module.
bool add_decisions_restore_function(PyObject* module);

// The class made by create_decisions_type (borrowed).
PyObject* decisions_class();

// A new Decisions instance; null with an exception set.
PyObject* new_decisions(std::shared_ptr<const columnar::DecisionSet> decisions);

}  // namespace kavro::binding
