// GovernanceViolation: one governance rule that a policy does not satisfy,
// with the message its author wrote for it.
#pragma once

#include <string>

namespace kavro {

struct GovernanceViolation {
  std::string rule_id;
  std::string message;
};

}  // namespace kavro
