#include "binding/compiled_rules.h"

#include <cstddef>
#include <string_view>
#include <vector>

#include "binding/errors.h"
#include "binding/kavro_state.h"
#include "binding/py_build.h"
#include "binding/py_ref.h"
#include "compiler/compiled_policy.h"
#include "documents/vocabulary.h"

namespace kavro::binding {
namespace {

PyObject* new_word(std::string_view spelling) {
  return new_text(spelling);
}

PyObject* new_literal(const compiler::RuntimeValue& value) {
  PyRef item = PyRef::steal(new_value(evaluation::view_of(value)));
  if (!item) return nullptr;
  return Py_BuildValue("(sO)", "literal", item.get());
}

PyObject* new_comparison(const compiler::AtomicCondition& atomic) {
  PyRef value;
  switch (atomic.rhs.index()) {
    case 0:
      value = PyRef::steal(new_literal(*std::get_if<0>(&atomic.rhs)));
      break;
    case 1: {
      const compiler::SubjectRef& other = *std::get_if<1>(&atomic.rhs);
      PyRef domain = PyRef::steal(new_word(documents::spelling(other.domain)));
      PyRef field = PyRef::steal(new_text(other.field));
      if (!domain || !field) return nullptr;
      value = PyRef::steal(Py_BuildValue("(sOO)", "subject", domain.get(), field.get()));
      break;
    }
  }
  PyRef domain = PyRef::steal(new_word(documents::spelling(atomic.lhs.domain)));
  PyRef field = PyRef::steal(new_text(atomic.lhs.field));
  PyRef op = PyRef::steal(new_word(documents::spelling(atomic.op)));
  if (!value || !domain || !field || !op) return nullptr;
  return Py_BuildValue("(OOOO)", domain.get(), field.get(), op.get(), value.get());
}

PyObject* new_members(const char* kind, const std::vector<compiler::AtomicCondition>& members) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(members.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < members.size(); ++i) {
    PyObject* item = new_comparison(members[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return Py_BuildValue("(sO)", kind, tuple.get());
}

PyObject* new_condition(const compiler::CompiledCondition& condition) {
  switch (condition.index()) {
    case 0:
      return new_members("atomic", {*std::get_if<0>(&condition)});
    case 1:
      return new_members("all", std::get_if<1>(&condition)->members);
    case 2:
      return new_members("any", std::get_if<2>(&condition)->members);
  }
  return nullptr;
}

bool add_rules(PyObject* list, const char* scope, const std::string* scope_name,
               const compiler::RuleSequence& rules) {
  PyRef name = PyRef::steal(scope_name == nullptr ? none() : new_text(*scope_name));
  if (!name) return false;
  for (std::size_t number = 0; number < rules.size(); ++number) {
    const compiler::CompiledRule& rule = rules[number];
    PyRef id = PyRef::steal(new_text(rule.rule_id));
    PyRef effect = PyRef::steal(new_word(documents::spelling(rule.effect)));
    PyRef condition = PyRef::steal(new_condition(rule.condition));
    if (!id || !effect || !condition) return false;
    if (!append_item(list,
                     Py_BuildValue("(sOnOOO)", scope, name.get(), static_cast<Py_ssize_t>(number),
                                   id.get(), effect.get(), condition.get()))) {
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* kavro_compiled_rules(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!ensure_constructed(self)) return nullptr;
    const compiler::CompiledPolicy& model = state_of(self).policy.model();
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [action, rules] : model.action_rules) {
      if (!add_rules(list.get(), "action", &action, rules)) return nullptr;
    }
    for (const auto& [actor, rules] : model.actor_rules) {
      if (!add_rules(list.get(), "actor", &actor, rules)) return nullptr;
    }
    if (!add_rules(list.get(), "global", nullptr, model.global_rules)) return nullptr;
    return list.release();
  });
}

}  // namespace kavro::binding
