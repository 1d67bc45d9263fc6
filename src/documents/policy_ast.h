// Records of the policy document, exactly as written: names are not checked
// against the schema here. Rules and list members keep document order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "documents/vocabulary.h"
#include "support/overloaded.h"

namespace kavro::documents {

struct ActionScopeAst {
  std::string action;
  bool operator==(const ActionScopeAst&) const = default;
};
struct ActorScopeAst {
  std::string actor;
  bool operator==(const ActorScopeAst&) const = default;
};
struct GlobalScopeAst {
  bool global = false;
  bool operator==(const GlobalScopeAst&) const = default;
};
// Alternatives in trial order: Action, Actor, Global.
using ScopeAst = std::variant<ActionScopeAst, ActorScopeAst, GlobalScopeAst>;

struct SubjectAst {
  std::string domain;
  std::string field;
  bool operator==(const SubjectAst&) const = default;
};

// Alternatives in trial order: String, Number, Boolean.
using LiteralValueAst = std::variant<std::string, double, bool>;

// Alternatives in trial order: Literal, Subject.
using ValueAst = std::variant<LiteralValueAst, SubjectAst>;

struct AtomicConditionAst {
  SubjectAst subject;
  std::string op;  // the `operator` key, as written
  ValueAst value;
  bool operator==(const AtomicConditionAst&) const = default;
};

struct AllConditionAst {
  std::vector<AtomicConditionAst> all;
  bool operator==(const AllConditionAst&) const = default;
};
struct AnyConditionAst {
  std::vector<AtomicConditionAst> any;
  bool operator==(const AnyConditionAst&) const = default;
};
// Alternatives in trial order: Atomic, All, Any.
using ConditionAst = std::variant<AtomicConditionAst, AllConditionAst, AnyConditionAst>;

// The atomic conditions of a `when`: itself, or the members of its `all` or
// `any` list, which count alike.
inline std::span<const AtomicConditionAst> atomic_conditions(const ConditionAst& when) {
  using Members = std::span<const AtomicConditionAst>;
  return std::visit(Overloaded{[](const AtomicConditionAst& atomic) { return Members(&atomic, 1); },
                               [](const AllConditionAst& all) { return Members(all.all); },
                               [](const AnyConditionAst& any) { return Members(any.any); }},
                    when);
}

struct RuleAst {
  std::string id;
  ScopeAst scope;
  ConditionAst when;
  Effect effect = Effect::Allow;
  bool operator==(const RuleAst&) const = default;
};

struct PolicyAst {
  std::uint32_t version = 0;
  std::vector<RuleAst> rules;
  bool operator==(const PolicyAst&) const = default;
};

}  // namespace kavro::documents
