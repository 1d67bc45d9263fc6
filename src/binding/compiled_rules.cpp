#include "binding/compiled_rules.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "binding/errors.h"
#include "binding/kavro_state.h"
#include "binding/py_build.h"
#include "binding/py_ref.h"

namespace kavro::binding {
namespace {

PyObject* new_comparison(const engine::ComparisonView& comparison) {
  PyRef value;
  if (comparison.no_value) {
    value = PyRef::steal(none());
  } else if (comparison.list) {
    PyRef members = PyRef::steal(new_tuple(comparison.members.size(), [&](std::size_t i) {
      return new_value(comparison.members[i]);
    }));
    if (!members) return nullptr;
    value = PyRef::steal(Py_BuildValue("(sO)", "list", members.get()));
  } else if (comparison.other_domain) {
    PyRef domain = PyRef::steal(new_text(engine::spelling(*comparison.other_domain)));
    PyRef field = PyRef::steal(new_text(comparison.other_field));
    if (!domain || !field) return nullptr;
    value = PyRef::steal(Py_BuildValue("(sOO)", "subject", domain.get(), field.get()));
  } else {
    PyRef item = PyRef::steal(new_value(comparison.literal));
    if (!item) return nullptr;
    value = PyRef::steal(Py_BuildValue("(sO)", "literal", item.get()));
  }
  PyRef domain = PyRef::steal(new_text(engine::spelling(comparison.domain)));
  PyRef field = PyRef::steal(new_text(comparison.field));
  PyRef op = PyRef::steal(new_text(engine::spelling(comparison.op)));
  if (!value || !domain || !field || !op) return nullptr;
  return Py_BuildValue("(OOOO)", domain.get(), field.get(), op.get(), value.get());
}

PyObject* new_condition(const engine::CompiledRuleView& rule, std::size_t at);

// A member of all or any: a comparison's 4-tuple, or a nested condition.
PyObject* new_member(const engine::CompiledRuleView& rule, std::size_t at) {
  const engine::ConditionNodeView& node = rule.nodes[at];
  if (node.kind == "comparison") return new_comparison(rule.comparisons[node.comparison]);
  return new_condition(rule, at);
}

// A tree node as a condition 2-tuple: ("atomic", (comparison,)), ("all",
// members), ("any", members) or ("not", (condition,)).
PyObject* new_condition(const engine::CompiledRuleView& rule, std::size_t at) {
  const engine::ConditionNodeView& node = rule.nodes[at];
  PyRef members;
  std::string kind(node.kind);
  if (node.kind == "comparison") {
    kind = "atomic";
    members = PyRef::steal(new_tuple(
        1, [&](std::size_t) { return new_comparison(rule.comparisons[node.comparison]); }));
  } else if (node.kind == "not") {
    members = PyRef::steal(
        new_tuple(1, [&](std::size_t) { return new_condition(rule, node.members.front()); }));
  } else {
    members = PyRef::steal(new_tuple(
        node.members.size(), [&](std::size_t i) { return new_member(rule, node.members[i]); }));
  }
  if (!members) return nullptr;
  return Py_BuildValue("(sO)", kind.c_str(), members.get());
}

PyObject* new_rule(const engine::CompiledRuleView& rule) {
  PyRef name = PyRef::steal(rule.bucket ? new_text(*rule.bucket) : none());
  PyRef id = PyRef::steal(new_text(rule.id));
  PyRef effect = PyRef::steal(new_text(engine::spelling(rule.effect)));
  if (!name || !id || !effect) return nullptr;
  PyRef condition;
  if (!rule.nodes.empty()) {
    condition = PyRef::steal(new_condition(rule, 0));
  } else {
    PyRef comparisons = PyRef::steal(new_tuple(rule.comparisons.size(), [&](std::size_t i) {
      return new_comparison(rule.comparisons[i]);
    }));
    if (!comparisons) return nullptr;
    const std::string condition_kind(rule.condition);
    condition = PyRef::steal(Py_BuildValue("(sO)", condition_kind.c_str(), comparisons.get()));
  }
  if (!condition) return nullptr;
  const std::string scope(rule.scope);
  return Py_BuildValue("(sOnOOO)", scope.c_str(), name.get(), static_cast<Py_ssize_t>(rule.place),
                       id.get(), effect.get(), condition.get());
}

}  // namespace

PyObject* kavro_policy_default(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    return new_text(engine::spelling(state_of(self).policy.default_effect()));
  });
}

PyObject* kavro_compiled_rules(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const engine::CompiledRuleView& rule : state_of(self).policy.compiled_rules()) {
      if (!append_item(list.get(), new_rule(rule))) return nullptr;
    }
    return list.release();
  });
}

}  // namespace kavro::binding
