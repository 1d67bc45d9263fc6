#include "evaluation/evaluation_input.h"

#include <memory>

namespace kavro {

EvaluationInput::EvaluationInput(const FieldSlots& slots) : slots_(&slots) {
  // Most policies read few fields; only large ones pay for a heap block.
  if (slots.size() <= kInlineSlots) {
    values_ = inline_values_;
    // One absent value copied into each slot: cheaper than constructing
    // each field of each slot in turn.
    std::uninitialized_fill_n(values_, slots.size(), ValueView{});
  } else {
    heap_values_ = std::make_unique<ValueView[]>(slots.size());
    values_ = heap_values_.get();
  }
}

}  // namespace kavro
