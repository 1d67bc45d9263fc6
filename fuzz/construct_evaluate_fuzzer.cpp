// Construction followed by evaluation, as a PyKavro object does it. The input
// holds up to three documents separated by the line "#==": a policy alone
// (checked against a fixed schema), a schema and a policy, or a schema, a
// policy and a governance document. A policy that compiles is hashed twice
// and evaluated against inputs derived from its own literals, so that
// conditions both hold and fail.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/policy_hash.h"
#include "documents/loader.h"
#include "evaluation/evaluator.h"
#include "governance/governance_checker.h"

namespace {

constexpr std::string_view kSeparator = "\n#==\n";

constexpr std::string_view kDefaultSchema = R"(version: 1
actions:
  refund:
    fields: {amount: number, currency: string, urgent: boolean}
  delete:
    fields: {}
actor:
  fields: {role: string, level: number, verified: boolean}
snapshot:
  fields: {load: number, maintenance: boolean, zone: string}
)";

std::vector<std::string_view> split_documents(std::string_view text) {
  std::vector<std::string_view> parts;
  while (parts.size() < 2) {
    auto at = text.find(kSeparator);
    if (at == std::string_view::npos) break;
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + kSeparator.size());
  }
  parts.push_back(text);
  return parts;
}

template <class Visit>
void for_each_atomic(const kavro::RuleSequence& rules, Visit&& visit) {
  for (const auto& rule : rules) {
    std::visit(
        [&](const auto& condition) {
          using Condition = std::decay_t<decltype(condition)>;
          if constexpr (std::is_same_v<Condition, kavro::AtomicCondition>) {
            visit(condition);
          } else {
            // Invariant of every compiled list: at least two members.
            if (condition.members.size() < 2) __builtin_trap();
            for (const auto& member : condition.members) visit(member);
          }
        },
        rule.condition);
  }
}

template <class Visit>
void for_each_atomic(const kavro::CompiledPolicy& policy, Visit&& visit) {
  for (const auto& [name, rules] : policy.action_rules) for_each_atomic(rules, visit);
  for (const auto& [name, rules] : policy.actor_rules) for_each_atomic(rules, visit);
  for_each_atomic(policy.global_rules, visit);
}

// A value that makes the literal comparison hold (same = true) or one of the
// same kind that differs from it (same = false).
kavro::ValueView derived_value(const kavro::RuntimeValue& literal, bool same) {
  kavro::ValueView view = kavro::view_of(literal);
  if (same) return view;
  switch (view.kind) {
    case kavro::ValueKind::String:
      view.text = view.text.empty() ? std::string_view("x") : view.text.substr(1);
      break;
    case kavro::ValueKind::Number:
      view.number = view.number + 1.0;
      break;
    default:
      view.boolean = !view.boolean;
  }
  return view;
}

void evaluate_derived(const kavro::CompiledPolicy& policy) {
  std::vector<std::string_view> actions{"", "unknown"};
  for (const auto& [name, rules] : policy.action_rules) actions.push_back(name);

  for (bool same : {true, false}) {
    for (std::string_view action : actions) {
      kavro::EvaluationInput input(policy.field_slots);
      for_each_atomic(policy, [&](const kavro::AtomicCondition& atomic) {
        // In and NotIn are rejected for every type, so never compiled.
        if (atomic.op == kavro::Operator::In || atomic.op == kavro::Operator::NotIn) {
          __builtin_trap();
        }
        if (const auto* literal = std::get_if<kavro::RuntimeValue>(&atomic.rhs)) {
          input.set_slot(atomic.lhs.slot, derived_value(*literal, same));
        }
      });
      if (!action.empty()) {
        input.set_slot(kavro::kActionTypeSlot, kavro::ValueView::of_string(action));
      }
      auto result = kavro::evaluate_policy(policy, input);
      if (result.matched_rule.has_value() == false && result.effect != kavro::Effect::Allow) {
        __builtin_trap();
      }
    }
  }
  kavro::EvaluationInput empty(policy.field_slots);
  auto result = kavro::evaluate_policy(policy, empty);
  // Every comparison reads its left side from the input: nothing can match.
  if (result.matched_rule.has_value()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parts = split_documents({reinterpret_cast<const char*>(data), size});
  std::string_view schema_text = parts.size() == 1 ? kDefaultSchema : parts[0];
  std::string_view policy_text = parts.size() == 1 ? parts[0] : parts[1];

  auto schema = kavro::load_schema(schema_text);
  if (!schema.ok()) return 0;
  const kavro::SchemaIndex index = kavro::build_schema_index(*schema);
  auto policy = kavro::load_policy(policy_text);
  if (!policy.ok()) return 0;

  std::optional<kavro::Result<kavro::CompiledPolicy, kavro::CompileError>> compiled;
  if (parts.size() == 3) {
    auto governance = kavro::load_governance(parts[2]);
    if (!governance.ok()) return 0;
    compiled.emplace(kavro::check_governance(index, *policy, governance->governance.rules));
  } else {
    compiled.emplace(kavro::compile_policy(index, *policy));
  }
  if (!compiled->ok()) {
    if (compiled->error().render().empty()) __builtin_trap();
    return 0;
  }
  const kavro::CompiledPolicy& result = compiled->value();
  const std::string digest = kavro::policy_hash(result);
  if (digest.size() != 64 || digest != kavro::policy_hash(result)) __builtin_trap();
  evaluate_derived(result);
  return 0;
}
