// Records of the policy document, exactly as written: names are not checked
// against the schema here. Rules and list members keep document order.
#pragma once

#include <cstdint>
#include <optional>
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

// A list literal (version 2): `value: {literal: [EUR, USD]}`.
struct ListValueAst {
  std::vector<LiteralValueAst> members;
  bool operator==(const ListValueAst&) const = default;
};
// No `value` key (version 2: present, absent).
struct NoValueAst {
  bool operator==(const NoValueAst&) const = default;
};

// Alternatives in trial order: Literal, Subject; version 2 adds List and None.
using ValueAst = std::variant<LiteralValueAst, SubjectAst, ListValueAst, NoValueAst>;

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
// A version-2 condition that nests `all`, `any` and `not`. Its comparisons
// are kept in one list, in document order, and the nodes refer to them.
enum class NodeKind : std::uint8_t { Comparison = 0, All = 1, Any = 2, Not = 3 };
struct ConditionNodeAst {
  NodeKind kind = NodeKind::Comparison;
  std::uint32_t comparison = 0;           // when kind is Comparison
  std::vector<ConditionNodeAst> members;  // of All and Any; Not's one condition
  bool operator==(const ConditionNodeAst&) const = default;
};
struct TreeConditionAst {
  ConditionNodeAst root;
  std::vector<AtomicConditionAst> comparisons;
  bool operator==(const TreeConditionAst&) const = default;
};

// Alternatives in trial order: Atomic, All, Any; version 2 adds Tree.
using ConditionAst =
    std::variant<AtomicConditionAst, AllConditionAst, AnyConditionAst, TreeConditionAst>;

// The atomic conditions of a `when`: itself, or the members of its `all` or
// `any` list, or every comparison of a nested condition, which count alike.
inline std::span<const AtomicConditionAst> atomic_conditions(const ConditionAst& when) {
  using Members = std::span<const AtomicConditionAst>;
  return std::visit(
      Overloaded{[](const AtomicConditionAst& atomic) { return Members(&atomic, 1); },
                 [](const AllConditionAst& all) { return Members(all.all); },
                 [](const AnyConditionAst& any) { return Members(any.any); },
                 [](const TreeConditionAst& tree) { return Members(tree.comparisons); }},
      when);
}

struct RuleAst {
  std::string id;
  ScopeAst scope;
  ConditionAst when;
  Effect effect = Effect::Allow;
  // Version 2: documentation only; never compiled.
  std::optional<std::string> description;
  std::optional<std::vector<std::string>> tags;
  bool operator==(const RuleAst&) const = default;
};

struct PolicyAst {
  std::uint32_t version = 0;
  std::vector<RuleAst> rules;
  // Version 2: the effect when no rule decides (allow when not given).
  std::optional<Effect> default_effect;
  bool operator==(const PolicyAst&) const = default;
};

}  // namespace kavro::documents
