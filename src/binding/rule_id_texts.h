// RuleIdTexts: one str per rule that can decide, made when the PyKavro object
// is built and only read afterwards, so that a result shares its immutable
// "matched_rule" text instead of building one on every call.
#pragma once

#include <cstdint>
#include <vector>

#include "binding/python_api.h"
#include "compiler/compiled_policy.h"

namespace kavro::binding {

class RuleIdTexts {
 public:
  RuleIdTexts() = default;
  RuleIdTexts(const RuleIdTexts&) = delete;
  RuleIdTexts& operator=(const RuleIdTexts&) = delete;
  ~RuleIdTexts();

  // The rules must stay where they are while this is used. Returns false with
  // an exception set.
  bool build(const compiler::CompiledPolicy& policy);

  // A borrowed str holding the rule's id; null when none could be made in
  // advance (the caller then builds one and gets the error, if any, itself).
  PyObject* text_of(const compiler::CompiledRule* rule) const;

  // The rules that can decide, numbered from 0 in a fixed order: count() of
  // them. number_of(rule) is count() for a rule that is not one of them.
  std::size_t count() const { return texts_.size(); }
  std::size_t number_of(const compiler::CompiledRule* rule) const;

 private:
  // One rule sequence: its rules' texts start at `first` in texts_.
  struct Run {
    const compiler::CompiledRule* begin = nullptr;
    const compiler::CompiledRule* end = nullptr;
    std::size_t first = 0;
  };

  bool add_run(const compiler::RuleSequence& rules);

  std::vector<Run> runs_;  // sorted by begin
  std::vector<PyObject*> texts_;
};

}  // namespace kavro::binding
