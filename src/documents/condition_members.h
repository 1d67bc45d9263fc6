// The simple conditions of a `when`: the condition itself, or the members of
// its `all` or `any` list. Views into the record; no copy.
#pragma once

#include <span>
#include <variant>

#include "documents/policy_ast.h"

namespace kavro {

inline std::span<const AtomicConditionAst> condition_members(const ConditionAst& when) {
  if (const auto* atomic = std::get_if<AtomicConditionAst>(&when)) return {atomic, 1};
  if (const auto* all = std::get_if<AllConditionAst>(&when)) return all->all;
  return std::get<AnyConditionAst>(when).any;
}

}  // namespace kavro
