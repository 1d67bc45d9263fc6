// EvaluationInput: the converted argument of one evaluate call. It holds only
// the fields that the policy can read, one slot each (see FieldSlots), as
// borrowed views: whoever fills it keeps the viewed text alive for the call.
// Lookups stay exact-key, because slots were resolved from exact field names.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "evaluation/field_slots.h"
#include "evaluation/value_view.h"

namespace kavro::evaluation {

class EvaluationInput {
 public:
  explicit EvaluationInput(const FieldSlots& slots);
  EvaluationInput(const EvaluationInput&) = delete;
  EvaluationInput& operator=(const EvaluationInput&) = delete;

  const FieldSlots& slots() const { return *slots_; }

  // Records the value of a field; a later value for the same field replaces
  // the earlier one. Fields the policy never reads are dropped.
  void set(documents::Domain domain, std::string_view field, ValueView value) {
    set_slot(slots_->find(domain, field), value);
  }
  void set_slot(std::uint32_t slot, ValueView value) {
    if (slot != compiler::kNoSlot) values_[slot] = value;
  }

  // The value in a slot; kind Absent when the input did not carry the field.
  const ValueView& at(std::uint32_t slot) const { return values_[slot]; }
  // The slots as one run of views, for a converter that fills them in place.
  ValueView* row() { return values_; }

 private:
  // 4 KiB of stack: policies of thousands of rules still read fewer fields.
  static constexpr std::uint32_t kInlineSlots = 128;

  const FieldSlots* slots_;
  // Raw storage: only the policy's slots are cleared, not all of them. A byte
  // array may hold objects of a trivially copyable type such as ValueView.
  alignas(ValueView) unsigned char inline_storage_[kInlineSlots * sizeof(ValueView)];
  std::unique_ptr<ValueView[]> heap_values_;
  ValueView* values_;
};

}  // namespace kavro::evaluation
