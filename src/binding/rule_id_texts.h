// RuleIdTexts: one str per rule, by the rule's number, made when the PyKavro
// object is built and only read afterwards, so that a result shares its
// immutable "matched_rule" text instead of building one on every call.
#pragma once

#include <cstdint>
#include <vector>

#include "binding/python_api.h"
#include "engine/records.h"

namespace kavro::binding {

class RuleIdTexts {
 public:
  RuleIdTexts() = default;
  RuleIdTexts(const RuleIdTexts&) = delete;
  RuleIdTexts& operator=(const RuleIdTexts&) = delete;
  ~RuleIdTexts();

  // Returns false with an exception set.
  bool build(const std::vector<engine::RuleEntry>& rules);

  // A borrowed str holding the id of rule `number`; null when none could be
  // made in advance (the caller then builds one and gets the error, if any,
  // itself).
  PyObject* text_of(std::uint32_t number) const { return texts_[number]; }

 private:
  std::vector<PyObject*> texts_;
};

}  // namespace kavro::binding
