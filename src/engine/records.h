// What the engine's door reports besides decisions, as plain records: the
// rule table, a place in a document, and a decision explained. Each owns its
// texts or views the Policy that made it (and, for an explanation, the
// request), so it must not outlive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/values.h"

namespace kavro::engine {

// A line and a column in a document, both from 1.
struct Place {
  std::size_t line = 1;
  std::size_t column = 1;
  bool operator==(const Place&) const = default;
};

// One rule of the policy document, in document order.
struct RuleEntry {
  std::string id;
  std::uint32_t number = 0;  // its place in the document, from 0
  std::string scope;         // "action:<name>", "actor:<name>" or "global"
  Effect effect = Effect::Allow;
  std::optional<Place> place;              // where the rule starts, when the text was read
  std::optional<std::string> description;  // version 2: documentation only
  std::vector<std::string> tags;
};

// One comparison a rule made: the values found for both sides (absent when
// the request did not carry them) and whether it held.
struct ExplainedComparison {
  std::string subject;  // "snapshot.amount"
  Operator op = Operator::Equals;
  ValueView found;
  ValueView against;
  std::optional<std::string> against_subject;  // when compared with a field
  bool held = false;
  bool against_list = false;       // compared with a list literal (in, not_in)
  std::vector<ValueView> members;  // the list's members, when against_list
};

struct ExplainedRule {
  std::string_view rule_id;
  std::optional<std::string_view> description;  // of a version-2 rule that has one
  bool global = false;                          // else the rule belongs to the action bucket
  bool held = false;
  std::vector<ExplainedComparison> comparisons;
};

// The decision and every rule examined on the way, in order.
struct ExplainedDecision {
  Effect effect = Effect::Allow;
  std::optional<std::string_view> matched_rule;  // none: the default decided
  std::optional<std::string_view> bucket;        // the action bucket tried, if any
  std::vector<ExplainedRule> rules;
  bool default_given = false;  // the policy's document names its default
  Effect effect_default = Effect::Allow;
};

// One comparison of a compiled rule: a field, an operator and either a
// literal or another field.
struct ComparisonView {
  Domain domain = Domain::Action;
  std::string_view field;
  Operator op = Operator::Equals;
  ValueView literal;  // absent when compared with another field
  std::optional<Domain> other_domain;
  std::string_view other_field;
  // Version 2: compared with a list literal (its members), or with nothing.
  bool list = false;
  std::vector<ValueView> members;
  bool no_value = false;
};

// A node of a version-2 condition tree, as analysis reads it.
struct ConditionNodeView {
  std::string_view kind;             // "comparison", "all", "any" or "not"
  std::size_t comparison = 0;        // into CompiledRuleView::comparisons
  std::vector<std::size_t> members;  // into CompiledRuleView::nodes
};

// A compiled rule as analysis reads it, views into the Policy.
struct CompiledRuleView {
  std::string_view scope;                  // "action", "actor" or "global"
  std::optional<std::string_view> bucket;  // the action or actor; none for global
  std::size_t place = 0;                   // the rule's place in its bucket
  std::string_view id;
  Effect effect = Effect::Allow;
  std::string_view condition;  // "atomic", "all" or "any"; "tree" when nodes say
  std::vector<ComparisonView> comparisons;
  std::vector<ConditionNodeView> nodes;  // a tree's, root first; empty when flat
};

}  // namespace kavro::engine
