// Converts the argument of evaluate into an EvaluationInput, and an
// EvaluationResult into the result dictionary.
//
// Every entry of the three maps is validated, but only fields the policy reads
// are stored. Stored text points into the UTF-8 of Python strings; HeldTexts
// keeps those strings alive for the call, because a value's own conversion
// hook can mutate the dictionaries and drop them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "binding/python_api.h"
#include "compiler/field_slots.h"
#include "evaluation/evaluation_input.h"
#include "evaluation/evaluation_result.h"

namespace kavro::binding {

// The strings whose text the converted input views. Converting exact bool,
// str, int and float values runs no Python code, so nothing can drop those
// strings meanwhile: they are only noted. Once a value's own hook is about to
// run, protect() takes a reference to every string noted so far and to every
// one noted after; the references are released when the call ends.
class HeldTexts {
 public:
  HeldTexts() = default;
  HeldTexts(const HeldTexts&) = delete;
  HeldTexts& operator=(const HeldTexts&) = delete;
  ~HeldTexts();

  void note(PyObject* text) {
    if (count_ == capacity_) grow();
    texts_[count_++] = text;
    if (protecting_) Py_INCREF(text);
  }
  void protect() {
    if (protecting_) return;
    for (std::size_t i = 0; i < count_; ++i) Py_INCREF(texts_[i]);
    protecting_ = true;
  }

 private:
  void grow();

  static constexpr std::size_t kInlineTexts = 16;

  PyObject* inline_texts_[kInlineTexts];
  std::unique_ptr<PyObject*[]> heap_texts_;
  PyObject** texts_ = inline_texts_;
  std::size_t count_ = 0;
  std::size_t capacity_ = kInlineTexts;
  bool protecting_ = false;
};

// Creates the interned key strings; called once per process by module init.
bool create_conversion_keys();

// `input` must be a dict or a dict subclass. Returns false with the exception
// that evaluate raises unchanged.
bool convert_input(PyObject* input, EvaluationInput& converted, HeldTexts& held);

// A new dict {"effect": ..., "matched_rule": ...}, or null with an exception set.
PyObject* build_result(const EvaluationResult& result);

}  // namespace kavro::binding
