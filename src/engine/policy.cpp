#include "engine/policy.h"

#include <charconv>
#include <mutex>
#include <type_traits>
#include <utility>

#include "compiler/compiler.h"
#include "compiler/policy_hash.h"
#include "documents/loader.h"
#include "evaluation/explanation.h"
#include "evaluation/request_check.h"
#include "governance/governance_checker.h"
#include "governance/violation_details.h"

namespace kavro::engine {

namespace {

// The number N of a location path "<prefix>N]<rest>" with exactly that rest,
// read without building any text: reading notes many places.
std::optional<std::size_t> indexed_place(std::string_view path, std::string_view prefix,
                                         std::string_view rest) {
  if (path.size() <= prefix.size() + rest.size() + 1 || !path.starts_with(prefix) ||
      !path.ends_with(rest)) {
    return std::nullopt;
  }
  const std::string_view digits =
      path.substr(prefix.size(), path.size() - prefix.size() - rest.size() - 1);
  if (path[path.size() - rest.size() - 1] != ']') return std::nullopt;
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return number;
}

// Where each of `count` list members starts ("<prefix>N]" places), by N.
std::vector<std::optional<Place>> member_places(const documents::ReadNotes* notes,
                                                std::string_view prefix, std::size_t count) {
  std::vector<std::optional<Place>> places(count);
  if (notes == nullptr) return places;
  for (const auto& [path, position] : notes->places) {
    const auto number = indexed_place(path, prefix, "");
    if (number && *number < count) places[*number] = place_of(position);
  }
  return places;
}

std::optional<Place> place_at(const documents::ReadNotes* notes, std::string_view path) {
  if (notes == nullptr) return std::nullopt;
  for (const auto& [place, position] : notes->places) {
    if (place == path) return place_of(position);
  }
  return std::nullopt;
}

std::string scope_text(const documents::ScopeAst& scope) {
  if (const auto* action = std::get_if<documents::ActionScopeAst>(&scope)) {
    return "action:" + action->action;
  }
  if (const auto* actor = std::get_if<documents::ActorScopeAst>(&scope)) {
    return "actor:" + actor->actor;
  }
  return "global";
}

std::vector<RuleEntry> rule_table(const documents::PolicyAst& policy,
                                  const documents::ReadNotes* notes) {
  std::vector<std::optional<Place>> places = member_places(notes, "rules[", policy.rules.size());
  std::vector<RuleEntry> rules;
  rules.reserve(policy.rules.size());
  for (std::size_t i = 0; i < policy.rules.size(); ++i) {
    const documents::RuleAst& rule = policy.rules[i];
    rules.push_back(RuleEntry{rule.id, static_cast<std::uint32_t>(i), scope_text(rule.scope),
                              rule.effect, places[i], rule.description,
                              rule.tags.value_or(std::vector<std::string>{})});
  }
  return rules;
}

void place_compile_error(BuildError& error, const documents::ReadNotes* notes) {
  const std::optional<compiler::RuleRef>& rule = error.rule();
  if (!rule || notes == nullptr) return;
  const std::string member = "rules[" + std::to_string(rule->index) + "]";
  const std::string& where = error.compile_error()->where;
  std::string path = member + std::string(error.compile_error()->rule_part());
  std::optional<Place> place = place_at(notes, path);
  if (!place && !where.empty()) place = place_at(notes, member + ".when");
  if (!place) place = place_at(notes, member);
  error.locate(place, std::move(path));
}

// Only the first violations are described in full: describing walks the
// whole policy, and a failure should cost time in proportion to the documents.
constexpr std::size_t kDescribedViolations = 100;

// Violations come in governance order, so each is matched with the next
// governance rule of its id.
void place_violations(BuildError& error, const documents::PolicyAst& policy,
                      const std::vector<documents::GovernanceRule>& rules,
                      const documents::ReadNotes* notes) {
  const auto& violations = error.governance_failure()->violations;
  const std::vector<std::optional<Place>> places =
      member_places(notes, "governance.rules[", rules.size());
  std::vector<PlacedViolation> placed;
  placed.reserve(violations.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < violations.size(); ++i) {
    PlacedViolation record{violations[i].rule_id, violations[i].message, "", "", std::nullopt};
    while (next < rules.size() && rules[next].id != violations[i].rule_id) ++next;
    if (next < rules.size()) {
      governance::ViolationDetails details =
          i < kDescribedViolations
              ? governance::describe_violation(rules[next], policy)
              : governance::ViolationDetails{governance::describe_constraint(rules[next].must), ""};
      record.constraint = std::move(details.constraint);
      record.found = std::move(details.found);
      record.place = places[next];
      if (i == 0) {
        error.locate(record.place, "governance.rules[" + std::to_string(next) + "]");
      }
      ++next;
    }
    placed.push_back(std::move(record));
  }
  error.set_violations(std::move(placed));
}

// What a build notes while reading: where rules and governance rules start,
// and the two parts of a rule a compile error points at.
documents::ReadNotes placing_notes() {
  documents::ReadNotes notes;
  notes.place_keys = {"scope", "when", "not"};
  notes.note_ignored_keys = false;
  return notes;
}

}  // namespace

struct Policy::HashCell {
  std::once_flag once;
  std::string text;
};

void Policy::HashCellDeleter::operator()(HashCell* cell) const {
  delete cell;
}

Policy::Policy(evaluation::Plan plan, compiler::SchemaIndex schema, std::vector<RuleEntry> rules)
    : plan_(std::move(plan)),
      schema_(std::move(schema)),
      rules_(std::move(rules)),
      hash_(new HashCell) {}

// Documents load in a fixed order (schema, policy, governance) and the first
// fault wins; governance is judged before compiling, so a rejected policy
// reports its violations even when it would not compile either. The policy and
// governance readers note where each value starts, once, for the rule table
// and for placing a failure.
Result<Policy, BuildError> Policy::build(std::string_view schema_text, std::string_view policy_text,
                                         std::optional<std::string_view> governance_text) {
  auto schema = documents::load_schema(schema_text);
  if (!schema) return fail(BuildError(Document::Schema, std::move(schema).error()));
  documents::ReadNotes policy_notes = placing_notes();
  auto policy = documents::load_policy(policy_text, &policy_notes);
  if (!policy) return fail(BuildError(Document::Policy, std::move(policy).error()));
  if (!governance_text) return assemble(*schema, *policy, nullptr, &policy_notes, nullptr);
  documents::ReadNotes governance_notes = placing_notes();
  auto governance = documents::load_governance(*governance_text, &governance_notes);
  if (!governance) return fail(BuildError(Document::Governance, std::move(governance).error()));
  return assemble(*schema, *policy, &governance->governance.rules, &policy_notes,
                  &governance_notes);
}

Result<Policy, BuildError> Policy::from_documents(
    const documents::SchemaAst& schema, const documents::PolicyAst& policy,
    const std::vector<documents::GovernanceRule>* governance) {
  return assemble(schema, policy, governance, nullptr, nullptr);
}

Result<Policy, BuildError> Policy::assemble(
    const documents::SchemaAst& schema, const documents::PolicyAst& policy,
    const std::vector<documents::GovernanceRule>* governance,
    const documents::ReadNotes* policy_notes, const documents::ReadNotes* governance_notes) {
  if (governance != nullptr) {
    auto violations = governance::find_violations(policy, *governance);
    if (!violations.empty()) {
      BuildError error(Document::Governance, GovernanceFailure{std::move(violations)});
      place_violations(error, policy, *governance, governance_notes);
      return fail(std::move(error));
    }
  }
  compiler::SchemaIndex index = compiler::build_schema_index(schema);
  auto compiled = compiler::compile_policy(index, policy);
  if (!compiled) {
    BuildError error(Document::Policy, std::move(compiled).error());
    place_compile_error(error, policy_notes);
    return fail(std::move(error));
  }
  return Policy(evaluation::Plan::build(std::move(compiled).value()), std::move(index),
                rule_table(policy, policy_notes));
}

evaluation::EvaluationResult Policy::evaluate(const Input& input) const {
  return evaluate_policy(plan_, input);
}

namespace {

std::string subject_text(const compiler::SubjectRef& subject) {
  std::string text(documents::spelling(subject.domain));
  text += '.';
  text += subject.field;
  return text;
}

ExplainedComparison explained_comparison(const compiler::Comparison& condition,
                                         const evaluation::ComparisonTrace& trace) {
  ExplainedComparison explained{subject_text(condition.lhs),
                                condition.op,
                                trace.found,
                                trace.against,
                                std::nullopt,
                                trace.held,
                                false,
                                {}};
  if (const auto* other = std::get_if<compiler::SubjectRef>(&condition.rhs)) {
    explained.against_subject = subject_text(*other);
  }
  if (const auto* list = std::get_if<compiler::MemberList>(&condition.rhs)) {
    explained.against_list = true;
    explained.members.reserve(list->members.size());
    for (const auto& member : list->members)
      explained.members.push_back(evaluation::view_of(member));
  }
  return explained;
}

}  // namespace

ExplainedDecision Policy::explain(const Input& input) const {
  const evaluation::Explanation traced = evaluation::explain_decision(plan_.model(), input);
  ExplainedDecision decision;
  decision.effect = plan_.model().default_effect;
  decision.default_given = plan_.model().default_given;
  decision.effect_default = plan_.model().default_effect;
  if (traced.deciding_rule != nullptr) {
    decision.effect = traced.deciding_rule->effect;
    decision.matched_rule = traced.deciding_rule->rule_id;
  }
  if (traced.bucket_found) decision.bucket = traced.bucket;
  decision.rules.reserve(traced.rules.size());
  for (const evaluation::RuleTrace& rule : traced.rules) {
    ExplainedRule explained{rule.rule->rule_id, std::nullopt, rule.global, rule.held, {}};
    if (rule.rule->number < rules_.size() && rules_[rule.rule->number].description) {
      explained.description = *rules_[rule.rule->number].description;
    }
    explained.comparisons.reserve(rule.comparisons.size());
    for (const evaluation::ComparisonTrace& comparison : rule.comparisons) {
      if (comparison.comparison != nullptr) {
        explained.comparisons.push_back(explained_comparison(*comparison.comparison, comparison));
        continue;
      }
      const compiler::AtomicCondition& condition = *comparison.condition;
      const auto* other = std::get_if<compiler::SubjectRef>(&condition.rhs);
      explained.comparisons.push_back(ExplainedComparison{
          subject_text(condition.lhs),
          condition.op,
          comparison.found,
          comparison.against,
          other == nullptr ? std::nullopt : std::optional<std::string>(subject_text(*other)),
          comparison.held,
          false,
          {}});
    }
    decision.rules.push_back(std::move(explained));
  }
  return decision;
}

bool Policy::declares(Domain domain, std::string_view field) const {
  switch (domain) {
    case Domain::Action:
      if (field == evaluation::kActionTypeField) return true;
      for (const auto& [name, fields] : schema_.actions) {
        if (fields.find(field) != fields.end()) return true;
      }
      return false;
    case Domain::Actor:
      return schema_.actor_fields.find(field) != schema_.actor_fields.end();
    case Domain::Snapshot:
      return schema_.snapshot_fields.find(field) != schema_.snapshot_fields.end();
  }
  return true;
}

std::vector<RequestProblem> Policy::missing_fields(const Input& input) const {
  std::vector<RequestProblem> problems;
  std::vector<bool> seen(plan_.field_slots().size(), false);
  std::string owner = "the global rules";
  const auto note = [&](const compiler::SubjectRef& subject) {
    if (subject.slot >= seen.size() || seen[subject.slot] || input.at(subject.slot).present())
      return;
    seen[subject.slot] = true;
    const std::string path = subject_text(subject);
    problems.push_back({path, "MissingField",
                        owner + " read " + path +
                            ", which the request lacks: no comparison with it holds but absent"});
  };
  const auto note_both = [&](const compiler::SubjectRef& lhs, const auto& rhs) {
    note(lhs);
    if (const auto* other = std::get_if<compiler::SubjectRef>(&rhs)) note(*other);
  };
  const auto note_members = [&](const std::vector<compiler::AtomicCondition>& members) {
    for (const auto& member : members) note_both(member.lhs, member.rhs);
  };
  const auto walk = [&](const compiler::RuleSequence& rules) {
    for (const compiler::CompiledRule& rule : rules) {
      std::visit(Overloaded{[&](const compiler::AtomicCondition& atomic) {
                              note_both(atomic.lhs, atomic.rhs);
                            },
                            [&](const compiler::AllOf& all) { note_members(all.members); },
                            [&](const compiler::AnyOf& any) { note_members(any.members); },
                            [&](const compiler::ConditionTree& tree) {
                              for (const auto& comparison : tree.comparisons) {
                                note_both(comparison.lhs, comparison.rhs);
                              }
                            }},
                 rule.condition);
    }
  };
  const evaluation::ValueView type = input.at(evaluation::kActionTypeSlot);
  if (type.kind == evaluation::ValueKind::String) {
    const auto bucket = plan_.model().action_rules.find(type.text);
    if (bucket != plan_.model().action_rules.end()) {
      owner = "the rules of action '" + bucket->first + "'";
      walk(bucket->second);
      owner = "the global rules";
    }
  }
  walk(plan_.model().global_rules);
  return problems;
}

std::vector<RequestProblem> Policy::check_request(std::span<const std::string_view> sections,
                                                  std::span<const RequestEntry> entries) const {
  return evaluation::check_request(schema_, sections, entries);
}

namespace {

ComparisonView comparison_view(const compiler::AtomicCondition& atomic) {
  ComparisonView view{
      atomic.lhs.domain, atomic.lhs.field, atomic.op, {}, std::nullopt, {}, false, {}, false};
  std::visit(
      [&](const auto& other) {
        if constexpr (std::is_same_v<std::decay_t<decltype(other)>, compiler::SubjectRef>) {
          view.other_domain = other.domain;
          view.other_field = other.field;
        } else {
          static_assert(std::is_same_v<std::decay_t<decltype(other)>, compiler::RuntimeValue>);
          view.literal = evaluation::view_of(other);
        }
      },
      atomic.rhs);
  return view;
}

ComparisonView comparison_view(const compiler::Comparison& comparison) {
  ComparisonView view{comparison.lhs.domain,
                      comparison.lhs.field,
                      comparison.op,
                      {},
                      std::nullopt,
                      {},
                      false,
                      {},
                      false};
  std::visit(Overloaded{[&](const compiler::RuntimeValue& literal) {
                          view.literal = evaluation::view_of(literal);
                        },
                        [&](const compiler::SubjectRef& other) {
                          view.other_domain = other.domain;
                          view.other_field = other.field;
                        },
                        [&](const compiler::MemberList& list) {
                          view.list = true;
                          view.members.reserve(list.members.size());
                          for (const auto& member : list.members) {
                            view.members.push_back(evaluation::view_of(member));
                          }
                        },
                        [&](const compiler::NoOperand&) { view.no_value = true; }},
             comparison.rhs);
  return view;
}

std::size_t add_node_view(std::vector<ConditionNodeView>& nodes,
                          const compiler::ConditionNode& node) {
  const std::size_t at = nodes.size();
  nodes.emplace_back();
  std::string_view kind = "comparison";
  switch (node.kind) {
    case documents::NodeKind::Comparison:
      break;
    case documents::NodeKind::All:
      kind = "all";
      break;
    case documents::NodeKind::Any:
      kind = "any";
      break;
    case documents::NodeKind::Not:
      kind = "not";
      break;
  }
  std::vector<std::size_t> members;
  members.reserve(node.members.size());
  for (const auto& member : node.members) members.push_back(add_node_view(nodes, member));
  nodes[at] = ConditionNodeView{kind, node.comparison, std::move(members)};
  return at;
}

void add_views(std::vector<CompiledRuleView>& views, std::string_view scope,
               std::optional<std::string_view> bucket, const compiler::RuleSequence& rules) {
  for (std::size_t place = 0; place < rules.size(); ++place) {
    const compiler::CompiledRule& rule = rules[place];
    CompiledRuleView view{scope, bucket, place, rule.rule_id, rule.effect, {}, {}, {}};
    std::visit(
        [&](const auto& condition) {
          using Condition = std::decay_t<decltype(condition)>;
          if constexpr (std::is_same_v<Condition, compiler::AtomicCondition>) {
            view.condition = "atomic";
            view.comparisons.push_back(comparison_view(condition));
          } else if constexpr (std::is_same_v<Condition, compiler::ConditionTree>) {
            view.condition = "tree";
            for (const auto& comparison : condition.comparisons) {
              view.comparisons.push_back(comparison_view(comparison));
            }
            add_node_view(view.nodes, condition.root);
          } else {
            static_assert(std::is_same_v<Condition, compiler::AllOf> ||
                          std::is_same_v<Condition, compiler::AnyOf>);
            view.condition = std::is_same_v<Condition, compiler::AllOf> ? "all" : "any";
            for (const auto& member : condition.members) {
              view.comparisons.push_back(comparison_view(member));
            }
          }
        },
        rule.condition);
    views.push_back(std::move(view));
  }
}

}  // namespace

std::vector<CompiledRuleView> Policy::compiled_rules() const {
  const compiler::CompiledPolicy& model = plan_.model();
  std::vector<CompiledRuleView> views;
  for (const auto& [action, rules] : model.action_rules) add_views(views, "action", action, rules);
  for (const auto& [actor, rules] : model.actor_rules) add_views(views, "actor", actor, rules);
  add_views(views, "global", std::nullopt, model.global_rules);
  return views;
}

Policy::Counts Policy::counts() const {
  const compiler::CompiledPolicy& model = plan_.model();
  const auto rules_in = [](const compiler::RuleBuckets& buckets) {
    std::size_t total = 0;
    for (const auto& [name, rules] : buckets) total += rules.size();
    return total;
  };
  return Counts{rules_in(model.action_rules), model.action_rules.size(),
                rules_in(model.actor_rules), model.actor_rules.size(), model.global_rules.size()};
}

const std::string& Policy::policy_hash() const {
  std::call_once(hash_->once, [this] { hash_->text = compiler::policy_hash(plan_.model()); });
  return hash_->text;
}

}  // namespace kavro::engine
