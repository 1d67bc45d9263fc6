#include "binding/rule_records.h"

#include <array>

#include "binding/py_build.h"
#include "binding/py_ref.h"

namespace kavro::binding {

namespace {

// Live as long as the process, like the class (see errors.cpp).
PyTypeObject* rule_type = nullptr;

PyStructSequence_Field rule_fields[] = {
    {"id", "the rule's id, as the engine holds it"},
    {"number", "the rule's place in the policy document, from 0"},
    {"scope", "\"action:<name>\", \"actor:<name>\" or \"global\""},
    {"effect", "the rule's effect"},
    {"line", "line where the rule starts, from 1"},
    {"description", "the rule's description, or None"},
    {"tags", "the rule's tags, a tuple of str"},
    {nullptr, nullptr},
};

// The description and tags are attributes only: the tuple keeps its five items.
PyStructSequence_Desc rule_desc = {"kavro.Rule", "One rule of the policy, in document order.",
                                   rule_fields, 5};

PyObject* rule_record(const engine::RuleEntry& rule) {
  return new_record(rule_type, std::array<PyObject*, 7>{
                                   new_text(rule.id),
                                   PyLong_FromUnsignedLong(rule.number),
                                   new_text(rule.scope),
                                   new_text(engine::spelling(rule.effect)),
                                   rule.place ? PyLong_FromSize_t(rule.place->line) : none(),
                                   rule.description ? new_text(*rule.description) : none(),
                                   new_tuple(rule.tags.size(),
                                             [&](std::size_t i) { return new_text(rule.tags[i]); }),
                               });
}

}  // namespace

bool create_rule_type() {
  if (rule_type != nullptr) return true;
  rule_type = PyStructSequence_NewType(&rule_desc);
  return rule_type != nullptr;
}

bool add_rule_type(PyObject* module) {
  return PyObject_SetAttrString(module, "Rule", reinterpret_cast<PyObject*>(rule_type)) == 0;
}

PyObject* rule_records(const engine::Policy& policy) {
  const std::vector<engine::RuleEntry>& rules = policy.rules();
  return new_tuple(rules.size(), [&](std::size_t i) { return rule_record(rules[i]); });
}

}  // namespace kavro::binding
