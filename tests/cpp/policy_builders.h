// Small helpers for assembling compiled policies in tests.
#pragma once

#include <string>
#include <utility>

#include "compiler/compiled_policy.h"

namespace kavro::testing {

inline compiler::SubjectRef subject(documents::Domain domain, std::string field) {
  return compiler::SubjectRef{domain, std::move(field)};
}

inline compiler::AtomicCondition atomic(documents::Domain domain, std::string field,
                                        documents::Operator op, compiler::CompiledValue rhs) {
  return compiler::AtomicCondition{subject(domain, std::move(field)), op, std::move(rhs)};
}

inline compiler::CompiledValue text(std::string value) {
  return compiler::RuntimeValue(std::move(value));
}
inline compiler::CompiledValue number(double value) {
  return compiler::RuntimeValue(value);
}
inline compiler::CompiledValue boolean(bool value) {
  return compiler::RuntimeValue(value);
}

inline compiler::CompiledRule rule(std::string id, compiler::CompiledCondition condition,
                                   documents::Effect effect) {
  return compiler::CompiledRule{std::move(id), std::move(condition), effect};
}

}  // namespace kavro::testing
