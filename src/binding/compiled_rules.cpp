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
  if (comparison.other_domain) {
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

PyObject* new_rule(const engine::CompiledRuleView& rule) {
  PyRef name = PyRef::steal(rule.bucket ? new_text(*rule.bucket) : none());
  PyRef id = PyRef::steal(new_text(rule.id));
  PyRef effect = PyRef::steal(new_text(engine::spelling(rule.effect)));
  PyRef comparisons = PyRef::steal(new_tuple(
      rule.comparisons.size(), [&](std::size_t i) { return new_comparison(rule.comparisons[i]); }));
  if (!name || !id || !effect || !comparisons) return nullptr;
  const std::string condition_kind(rule.condition);
  PyRef condition = PyRef::steal(Py_BuildValue("(sO)", condition_kind.c_str(), comparisons.get()));
  if (!condition) return nullptr;
  const std::string scope(rule.scope);
  return Py_BuildValue("(sOnOOO)", scope.c_str(), name.get(), static_cast<Py_ssize_t>(rule.place),
                       id.get(), effect.get(), condition.get());
}

}  // namespace

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
