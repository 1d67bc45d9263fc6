// The plain values the engine's door takes and hands out, named here so that
// its callers (the binding, the columnar reader) need no other room: what a
// request is converted into, the words of the language, and the records that
// explain, check and describe. Aliases of the rooms' own types, which stay
// where their meaning is defined.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "compiler/compiled_policy.h"
#include "documents/scalar_typing.h"
#include "documents/vocabulary.h"
#include "evaluation/evaluation_input.h"
#include "evaluation/field_slots.h"
#include "evaluation/request_check.h"
#include "evaluation/row_input.h"
#include "evaluation/value_view.h"

namespace kavro::engine {

using documents::Domain;
using documents::Effect;
using documents::Operator;
inline constexpr int kDomainCount = documents::kDomainCount;
inline constexpr std::array<Domain, 3> kDomainOrder = {Domain::Action, Domain::Actor,
                                                       Domain::Snapshot};

// A word's spelling; every spelling of a word list, in the table's order.
using documents::spelling;
using documents::spellings_of;
using documents::values_of;

// A request as the evaluator reads it: one view per input field the policy
// reads, by slot; InputFields numbers them.
using evaluation::ValueKind;
using evaluation::ValueView;
using InputFields = evaluation::FieldSlots;
using Input = evaluation::EvaluationInput;
using RowInput = evaluation::RowInput;
inline constexpr std::uint32_t kNoSlot = compiler::kNoSlot;

// How the language types a plain (unquoted, untagged) YAML scalar: null,
// boolean, non-negative or negative integer, float, or else the text itself.
// Tools that read YAML of their own (test files) type scalars by it.
using documents::detail::NullScalar;
using PlainScalar = documents::detail::TypedScalar;
PlainScalar plain_scalar(std::string_view text);

// check_request's entries and problems.
using evaluation::RequestEntry;
using evaluation::RequestProblem;

}  // namespace kavro::engine
