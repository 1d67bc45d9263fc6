// Helpers for assembling schema, policy and governance records in tests, in
// place of loading YAML.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compiler/compiled_policy.h"
#include "documents/governance_ast.h"
#include "documents/policy_ast.h"
#include "documents/schema_ast.h"

namespace kavro::testing {

// transfer, refund and an action without fields; actor and snapshot fields of
// every type.
inline documents::SchemaAst standard_schema() {
  using enum documents::FieldType;
  documents::SchemaAst schema;
  schema.actions["transfer"].fields = {
      {"amount", Number}, {"currency", String}, {"urgent", Boolean}, {"owner", String}};
  schema.actions["refund"].fields = {{"amount", Number}, {"reason", String}};
  schema.actions["delete"];
  schema.actor.fields = {
      {"role", String}, {"level", Number}, {"verified", Boolean}, {"id", String}};
  schema.snapshot.fields = {
      {"locked", Boolean}, {"owner", String}, {"role", String}, {"limit", Number}};
  return schema;
}

inline documents::ValueAst literal_text(std::string text) {
  return documents::LiteralValueAst(std::move(text));
}
inline documents::ValueAst literal_number(double number) {
  return documents::LiteralValueAst(number);
}
inline documents::ValueAst literal_bool(bool boolean) {
  return documents::LiteralValueAst(boolean);
}
inline documents::ValueAst field_ref(std::string domain, std::string field) {
  return documents::SubjectAst{std::move(domain), std::move(field)};
}

inline documents::AtomicConditionAst condition(std::string domain, std::string field,
                                               std::string op, documents::ValueAst value) {
  return {{std::move(domain), std::move(field)}, std::move(op), std::move(value)};
}
inline documents::ConditionAst all_of(std::vector<documents::AtomicConditionAst> members) {
  return documents::AllConditionAst{std::move(members)};
}
inline documents::ConditionAst any_of(std::vector<documents::AtomicConditionAst> members) {
  return documents::AnyConditionAst{std::move(members)};
}

inline documents::ScopeAst action_scope(std::string action) {
  return documents::ActionScopeAst{std::move(action)};
}
inline documents::ScopeAst actor_scope(std::string actor) {
  return documents::ActorScopeAst{std::move(actor)};
}
inline documents::ScopeAst global_scope(bool global = true) {
  return documents::GlobalScopeAst{global};
}

inline documents::RuleAst rule_ast(std::string id, documents::ScopeAst scope,
                                   documents::ConditionAst when,
                                   documents::Effect effect = documents::Effect::Block) {
  return {std::move(id), std::move(scope), std::move(when), effect, std::nullopt, std::nullopt};
}

inline documents::PolicyAst policy_of(std::vector<documents::RuleAst> rules) {
  return {1, std::move(rules), std::nullopt};
}

inline documents::GovernanceRule governance_rule(
    std::string id, documents::RuleFilter where, documents::Constraint must, std::string error,
    std::optional<documents::AppliesTo> applies_to = std::nullopt) {
  return {
      std::move(id), std::move(applies_to), {std::move(where)}, std::move(must), std::move(error)};
}

// The rule ids of every bucket, keys sorted, e.g.
// "action refund: r1 | action transfer: t1 t2 | actor ops: a1 | global: g1".
inline std::string bucket_summary(const compiler::CompiledPolicy& policy) {
  std::vector<std::string> parts;
  const auto ids = [](const compiler::RuleSequence& rules) {
    std::string text;
    for (const auto& rule : rules) text += " " + rule.rule_id;
    return text;
  };
  for (const auto& [name, rules] : policy.action_rules) {
    parts.push_back("action " + name + ":" + ids(rules));
  }
  for (const auto& [name, rules] : policy.actor_rules) {
    parts.push_back("actor " + name + ":" + ids(rules));
  }
  std::sort(parts.begin(), parts.end());
  parts.push_back("global:" + ids(policy.global_rules));
  std::string summary;
  for (const auto& part : parts) summary += (summary.empty() ? "" : " | ") + part;
  return summary;
}

}  // namespace kavro::testing
