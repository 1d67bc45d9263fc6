#include "binding/explanation_result.h"

#include <string>

#include "binding/py_build.h"

namespace kavro::binding {

namespace {

PyObject* comparison_dict(const engine::ExplainedComparison& comparison) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const bool built =
      set_item(dict.get(), "subject", new_text(comparison.subject)) &&
      set_item(dict.get(), "operator", new_text(engine::spelling(comparison.op))) &&
      set_item(dict.get(), "found", new_value(comparison.found)) &&
      set_item(dict.get(), "against", new_value(comparison.against)) &&
      set_item(dict.get(), "against_subject",
               comparison.against_subject ? new_text(*comparison.against_subject) : none()) &&
      set_item(dict.get(), "held", new_bool(comparison.held));
  if (!built) return nullptr;
  // Only a comparison with a list literal says so: others keep their keys.
  if (comparison.against_list) {
    PyRef members = PyRef::steal(PyList_New(0));
    if (!members) return nullptr;
    for (const engine::ValueView& member : comparison.members) {
      if (!append_item(members.get(), new_value(member))) return nullptr;
    }
    if (!set_item(dict.get(), "against_list", members.release())) return nullptr;
  }
  return dict.release();
}

PyObject* rule_dict(const engine::ExplainedRule& rule) {
  PyRef dict = PyRef::steal(PyDict_New());
  PyRef comparisons = PyRef::steal(PyList_New(0));
  if (!dict || !comparisons) return nullptr;
  for (const engine::ExplainedComparison& comparison : rule.comparisons) {
    if (!append_item(comparisons.get(), comparison_dict(comparison))) return nullptr;
  }
  const bool built = set_item(dict.get(), "rule_id", new_text(rule.rule_id)) &&
                     set_item(dict.get(), "scope", new_text(rule.global ? "global" : "action")) &&
                     set_item(dict.get(), "held", new_bool(rule.held)) &&
                     set_item(dict.get(), "comparisons", comparisons.release());
  if (!built) return nullptr;
  if (rule.description && !set_item(dict.get(), "description", new_text(*rule.description))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* build_explanation(const engine::ExplainedDecision& explanation) {
  PyRef dict = PyRef::steal(PyDict_New());
  PyRef rules = PyRef::steal(PyList_New(0));
  if (!dict || !rules) return nullptr;
  for (const engine::ExplainedRule& rule : explanation.rules) {
    if (!append_item(rules.get(), rule_dict(rule))) return nullptr;
  }
  const auto& matched = explanation.matched_rule;
  const bool built =
      set_item(dict.get(), "effect", new_text(engine::spelling(explanation.effect))) &&
      set_item(dict.get(), "matched_rule", matched ? new_text(*matched) : none()) &&
      set_item(dict.get(), "bucket", explanation.bucket ? new_text(*explanation.bucket) : none()) &&
      set_item(dict.get(), "rules", rules.release()) &&
      set_item(dict.get(), "default_decided", new_bool(!matched));
  if (!built) return nullptr;
  // Only a policy that names its default says so.
  if (explanation.default_given &&
      !set_item(dict.get(), "policy_default",
                new_text(engine::spelling(explanation.effect_default)))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace kavro::binding
