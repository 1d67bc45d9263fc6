// The module's private function `_lint(schema_yaml, policy_yaml,
// governance_yaml=None)`: lint's findings as tuples (severity, code, message,
// document, line, column, path, rule_id), which kavro.check wraps.
#pragma once

#include "binding/python_api.h"

namespace kavro::binding {

// The module's function table, ending in the null sentinel.
PyMethodDef* module_functions();

}  // namespace kavro::binding
