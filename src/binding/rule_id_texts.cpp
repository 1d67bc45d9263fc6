#include "binding/rule_id_texts.h"

#include <algorithm>
#include <functional>

namespace kavro::binding {

RuleIdTexts::~RuleIdTexts() {
  for (PyObject* text : texts_) Py_XDECREF(text);
}

bool RuleIdTexts::add_run(const compiler::RuleSequence& rules) {
  if (rules.empty()) return true;
  runs_.push_back({rules.data(), rules.data() + rules.size(), texts_.size()});
  for (const compiler::CompiledRule& rule : rules) {
    PyObject* text = PyUnicode_DecodeUTF8(rule.rule_id.data(),
                                          static_cast<Py_ssize_t>(rule.rule_id.size()), nullptr);
    if (text == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
      PyErr_Clear();
    }
    texts_.push_back(text);
  }
  return true;
}

bool RuleIdTexts::build(const compiler::CompiledPolicy& policy) {
  // Rules scoped to an actor never decide, so they need no text.
  std::size_t total = policy.global_rules.size();
  for (const auto& [name, rules] : policy.action_rules) total += rules.size();
  texts_.reserve(total);
  for (const auto& [name, rules] : policy.action_rules) {
    if (!add_run(rules)) return false;
  }
  if (!add_run(policy.global_rules)) return false;
  std::sort(runs_.begin(), runs_.end(), [](const Run& left, const Run& right) {
    return std::less<>()(left.begin, right.begin);
  });
  return true;
}

std::size_t RuleIdTexts::number_of(const compiler::CompiledRule* rule) const {
  auto after = std::upper_bound(runs_.begin(), runs_.end(), rule,
                                [](const compiler::CompiledRule* target, const Run& run) {
                                  return std::less<>()(target, run.begin);
                                });
  if (after == runs_.begin()) return count();
  const Run& run = *(after - 1);
  if (!std::less<>()(rule, run.end)) return count();
  return run.first + static_cast<std::size_t>(rule - run.begin);
}

PyObject* RuleIdTexts::text_of(const compiler::CompiledRule* rule) const {
  const std::size_t number = number_of(rule);
  return number < count() ? texts_[number] : nullptr;
}

}  // namespace kavro::binding
