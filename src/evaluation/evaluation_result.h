#pragma once

#include <optional>
#include <string_view>

#include "documents/vocabulary.h"

namespace kavro {

// The decision of one evaluation. matched_rule views the deciding rule's id
// inside the policy, so a result must not outlive the policy that produced it;
// evaluate copies nothing on its way to the result dictionary.
struct EvaluationResult {
  Effect effect = Effect::Allow;
  std::optional<std::string_view> matched_rule;
};

}  // namespace kavro
