// check_request's list: the problems of one request against the schema, each
// a dict {"path", "kind", "message"}.
#pragma once

#include "binding/field_keys.h"
#include "binding/python_api.h"
#include "engine/policy.h"

namespace kavro::binding {

// `input` must be a dict. A request that evaluate refuses raises evaluate's
// own exception. Returns a new list, or null with an exception set.
PyObject* request_problems(const engine::Policy& policy, const FieldKeys& keys, PyObject* input);
// A list of problem dicts ("path", "kind", "message").
PyObject* problem_list(const std::vector<engine::RequestProblem>& problems);

}  // namespace kavro::binding
