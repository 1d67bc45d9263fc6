// The tests' and fuzzers' look inside an engine::Policy: the compiled model
// it keeps, which the door itself does not hand out.
#pragma once

#include "compiler/compiled_policy.h"
#include "engine/policy.h"

namespace kavro::engine {

struct PolicyProbe {
  static const compiler::CompiledPolicy& model(const Policy& policy) {
    return policy.plan_.model();
  }
};

}  // namespace kavro::engine
