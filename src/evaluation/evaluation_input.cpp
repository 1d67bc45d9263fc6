#include "evaluation/evaluation_input.h"

#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace kavro::evaluation {

EvaluationInput::EvaluationInput(const FieldSlots& slots) : slots_(&slots) {
  // Most policies read few fields; only large ones pay for a heap block.
  if (slots.size() <= kInlineSlots) {
    // Zero bytes are an absent value (its text is never read); one memset
    // beats constructing each field of each slot in turn.
    static_assert(std::is_trivially_copyable_v<ValueView>);
    static_assert(ValueKind{} == ValueKind::Absent);
    std::memset(inline_storage_, 0, slots.size() * sizeof(ValueView));
    values_ = std::launder(reinterpret_cast<ValueView*>(inline_storage_));
  } else {
    heap_values_ = std::make_unique<ValueView[]>(slots.size());
    values_ = heap_values_.get();
  }
}

}  // namespace kavro::evaluation
