#pragma once

#include <optional>
#include <string>

#include "compiler/enums.h"

namespace kavro {

// The decision of one evaluation. matched_rule is a copy, so the result
// outlives the policy that produced it.
struct EvaluationResult {
  Effect effect = Effect::Allow;
  std::optional<std::string> matched_rule;
};

}  // namespace kavro
