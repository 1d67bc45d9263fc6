// The method `_compiled_rules()`: the compiled model as plain tuples, for the
// analysis that reasons about every request (kavro.analysis). It only
// converts: no rule is judged or reordered here.
#pragma once

#include "binding/python_api.h"

namespace kavro::binding {

// A list of (scope, scope_name, number, rule_id, effect, condition), the
// action buckets first, then the actor buckets, then the global rules; number
// is the rule's place in its bucket. scope is "action", "actor" or "global"
// (scope_name None). condition is ("atomic", (comparison,)), ("all", ...) or
// ("any", ...) with comparisons (domain, field, operator, value); a value is
// ("literal", str | float | bool) or ("subject", domain, field).
// A version-2 policy may also nest: a member of all or any is a comparison
// or a nested condition, ("not", (condition,)) negates one, a value may be
// ("list", (member, ...)) for in and not_in, or None for present and absent.
PyObject* kavro_compiled_rules(PyObject* self, PyObject*);
// "allow", "block" or "require_approval": the effect when no rule decides.
PyObject* kavro_policy_default(PyObject* self, PyObject*);

inline const PyMethodDef kCompiledRulesMethod = {
    "_compiled_rules", kavro_compiled_rules, METH_NOARGS,
    "_compiled_rules($self)\n--\n\n"
    "The compiled rules as tuples, for kavro.analysis."};

inline const PyMethodDef kPolicyDefaultMethod = {
    "_policy_default", kavro_policy_default, METH_NOARGS,
    "_policy_default($self)\n--\n\n"
    "The effect when no rule decides, for kavro.analysis."};

}  // namespace kavro::binding
