// Small helpers for assembling compiled policies in tests.
#pragma once

#include <string>
#include <utility>

#include "compiler/compiled_policy.h"

namespace kavro::testing {

inline SubjectRef subject(Domain domain, std::string field) {
  return SubjectRef{domain, std::move(field)};
}

inline AtomicCondition atomic(Domain domain, std::string field, Operator op, CompiledValue rhs) {
  return AtomicCondition{subject(domain, std::move(field)), op, std::move(rhs)};
}

inline CompiledValue text(std::string value) {
  return RuntimeValue(std::move(value));
}
inline CompiledValue number(double value) {
  return RuntimeValue(value);
}
inline CompiledValue boolean(bool value) {
  return RuntimeValue(value);
}

inline CompiledRule rule(std::string id, CompiledCondition condition, Effect effect) {
  return CompiledRule{std::move(id), std::move(condition), effect};
}

}  // namespace kavro::testing
