// Converts the argument of evaluate into an EvaluationInput, and an
// EvaluationResult into the result dictionary.
//
// Every entry of the three maps is validated, but only fields the policy reads
// are stored. Stored text points into the UTF-8 of Python strings; HeldTexts
// keeps those strings alive for the call, because a value's own conversion
// hook can mutate the dictionaries and drop them.
#pragma once

#include <cstdint>
#include <memory>

#include "binding/python_api.h"
#include "compiler/field_slots.h"
#include "evaluation/evaluation_input.h"
#include "evaluation/evaluation_result.h"

namespace kavro::binding {

// One strong reference per slot at most: the string whose text that slot views.
class HeldTexts {
 public:
  explicit HeldTexts(std::uint32_t slot_count);
  HeldTexts(const HeldTexts&) = delete;
  HeldTexts& operator=(const HeldTexts&) = delete;
  ~HeldTexts();

  // Holds `text` (null for a non-text value) for `slot`, releasing the string
  // it held before.
  void hold(std::uint32_t slot, PyObject* text);

 private:
  static constexpr std::uint32_t kInlineSlots = 32;

  std::uint32_t count_;
  PyObject* inline_held_[kInlineSlots] = {};
  std::unique_ptr<PyObject*[]> heap_held_;
  PyObject** held_;
};

// Creates the interned key strings; called once per process by module init.
bool create_conversion_keys();

// `input` must be a dict or a dict subclass. Returns false with the exception
// that evaluate raises unchanged.
bool convert_input(PyObject* input, EvaluationInput& converted, HeldTexts& held);

// A new dict {"effect": ..., "matched_rule": ...}, or null with an exception set.
PyObject* build_result(const EvaluationResult& result);

}  // namespace kavro::binding
