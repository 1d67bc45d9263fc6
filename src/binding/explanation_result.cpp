#include "binding/explanation_result.h"

#include <string>

#include "binding/py_build.h"
#include "documents/vocabulary.h"

namespace kavro::binding {

namespace {

std::string subject_text(const SubjectRef& subject) {
  std::string text(spelling(subject.domain));
  text += '.';
  text += subject.field;
  return text;
}

PyObject* comparison_dict(const ComparisonTrace& trace) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const AtomicCondition& condition = *trace.condition;
  const auto* other = std::get_if<SubjectRef>(&condition.rhs);
  const bool built = set_item(dict.get(), "subject", new_text(subject_text(condition.lhs))) &&
                     set_item(dict.get(), "operator", new_text(spelling(condition.op))) &&
                     set_item(dict.get(), "found", new_value(trace.found)) &&
                     set_item(dict.get(), "against", new_value(trace.against)) &&
                     set_item(dict.get(), "against_subject",
                              other == nullptr ? none() : new_text(subject_text(*other))) &&
                     set_item(dict.get(), "held", new_bool(trace.held));
  return built ? dict.release() : nullptr;
}

PyObject* rule_dict(const RuleTrace& trace) {
  PyRef dict = PyRef::steal(PyDict_New());
  PyRef comparisons = PyRef::steal(PyList_New(0));
  if (!dict || !comparisons) return nullptr;
  for (const ComparisonTrace& comparison : trace.comparisons) {
    if (!append_item(comparisons.get(), comparison_dict(comparison))) return nullptr;
  }
  const bool built = set_item(dict.get(), "rule_id", new_text(trace.rule->rule_id)) &&
                     set_item(dict.get(), "scope", new_text(trace.global ? "global" : "action")) &&
                     set_item(dict.get(), "held", new_bool(trace.held)) &&
                     set_item(dict.get(), "comparisons", comparisons.release());
  return built ? dict.release() : nullptr;
}

}  // namespace

PyObject* build_explanation(const Explanation& explanation) {
  PyRef dict = PyRef::steal(PyDict_New());
  PyRef rules = PyRef::steal(PyList_New(0));
  if (!dict || !rules) return nullptr;
  for (const RuleTrace& rule : explanation.rules) {
    if (!append_item(rules.get(), rule_dict(rule))) return nullptr;
  }
  const CompiledRule* deciding = explanation.deciding_rule;
  const Effect effect = deciding == nullptr ? Effect::Allow : deciding->effect;
  const bool built = set_item(dict.get(), "effect", new_text(spelling(effect))) &&
                     set_item(dict.get(), "matched_rule",
                              deciding == nullptr ? none() : new_text(deciding->rule_id)) &&
                     set_item(dict.get(), "bucket",
                              explanation.bucket_found ? new_text(explanation.bucket) : none()) &&
                     set_item(dict.get(), "rules", rules.release()) &&
                     set_item(dict.get(), "default_decided", new_bool(deciding == nullptr));
  return built ? dict.release() : nullptr;
}

}  // namespace kavro::binding
