#pragma once

#include <string>

#include "compiler/compiled_policy.h"

namespace kavro::compiler {

// SHA-256 of policy_hash_text, as 64 lower-case hexadecimal digits.
std::string policy_hash(const CompiledPolicy& policy);

}  // namespace kavro::compiler
