// find_violations groups the policy rules once instead of walking them for
// every governance rule; random policies and governance rules over a small
// vocabulary (so that filters often match) must give exactly the violations of
// the plain walk, in the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "document_builders.h"
#include "engine/build_error.h"
#include "governance/governance_checker.h"

namespace kavro {
namespace {

using namespace kavro::testing;

// The plain walk over every policy rule for each governance rule.
std::vector<GovernanceViolation> walked_violations(const PolicyAst& policy,
                                                   const std::vector<GovernanceRule>& rules) {
  std::vector<GovernanceViolation> violations;
  for (const GovernanceRule& rule : rules) {
    if (rule.applies_to) {
      const bool open = std::any_of(policy.rules.begin(), policy.rules.end(), [&](const auto& r) {
        const auto* scope = std::get_if<ActionScopeAst>(&r.scope);
        const auto& actions = rule.applies_to->actions;
        return scope != nullptr &&
               std::find(actions.begin(), actions.end(), scope->action) != actions.end();
      });
      if (!open) continue;
    }
    std::uint64_t selected = 0;
    bool other_field = false;
    for (const RuleAst& candidate : policy.rules) {
      if (!rule_is_selected(rule.select.where, candidate)) continue;
      ++selected;
      if (const auto* fields = std::get_if<AllowedFieldsConstraint>(&rule.must)) {
        for (const auto& atomic : atomic_conditions(candidate.when)) {
          const std::string key = atomic.subject.domain + "." + atomic.subject.field;
          const auto& allowed = fields->allowed_fields;
          other_field |= std::find(allowed.begin(), allowed.end(), key) == allowed.end();
        }
      }
    }
    bool violated = other_field;
    if (const auto* exists = std::get_if<ExistsConstraint>(&rule.must)) {
      violated = exists->exists == (selected == 0);
    } else if (const auto* min = std::get_if<MinCountConstraint>(&rule.must)) {
      violated = selected < min->min_count;
    } else if (const auto* max = std::get_if<MaxCountConstraint>(&rule.must)) {
      violated = selected > max->max_count;
    } else if (const auto* forbid = std::get_if<ForbidConstraint>(&rule.must)) {
      violated = forbid->forbid && selected > 0;
    }
    if (violated) violations.push_back({rule.id, rule.error});
  }
  return violations;
}

class Vocabulary {
 public:
  explicit Vocabulary(unsigned seed) : random_(seed) {}

  // Domains and fields whose joined keys collide ("actor.x" + "y" and
  // "actor" + "x.y"), and spellings that differ only in case.
  std::string pick(const std::vector<std::string>& words) {
    return words[std::uniform_int_distribution<std::size_t>(0, words.size() - 1)(random_)];
  }
  bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(random_) < percent; }
  unsigned below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }

  RuleAst rule() {
    ScopeAst scope = below(3) == 0   ? action_scope(pick(kActions))
                     : below(2) == 0 ? actor_scope(pick(kActions))
                                     : global_scope(chance(70));
    std::vector<AtomicConditionAst> members;
    for (unsigned i = below(4); i > 0; --i) members.push_back(atomic());
    ConditionAst when = members.size() == 1 && chance(50) ? ConditionAst(members[0])
                        : chance(50)                      ? all_of(members)
                                                          : any_of(members);
    const Effect effect =
        std::array{Effect::Allow, Effect::Block, Effect::RequireApproval}[below(3)];
    return rule_ast(pick(kIds), std::move(scope), std::move(when), effect);
  }

  GovernanceRule governance(unsigned index) {
    RuleFilter where;
    if (chance(25)) where.id = pick(kIds);
    if (chance(40)) {
      where.scope.emplace();
      if (chance(60)) where.scope->global = chance(50);
      if (chance(50)) where.scope->action = pick(kActions);
    }
    if (chance(40)) where.effect = pick({"allow", "block", "require_approval", "Block"});
    if (chance(50)) {
      where.when.emplace();
      if (chance(80)) {
        where.when->subject.emplace();
        if (chance(60)) where.when->subject->domain = pick(kDomains);
        if (chance(60)) where.when->subject->field = pick(kFields);
      }
    }
    Constraint must;
    switch (below(5)) {
      case 0:
        must = ExistsConstraint{chance(50)};
        break;
      case 1:
        must = MinCountConstraint{below(4)};
        break;
      case 2:
        must = MaxCountConstraint{below(4)};
        break;
      case 3:
        must = ForbidConstraint{chance(50)};
        break;
      default: {
        AllowedFieldsConstraint fields;
        for (unsigned i = below(5); i > 0; --i) {
          fields.allowed_fields.push_back(pick(kDomains) + "." + pick(kFields));
        }
        must = fields;
      }
    }
    std::optional<AppliesTo> gate;
    if (chance(20)) gate = AppliesTo{{pick(kActions)}};
    return governance_rule("g" + std::to_string(index), std::move(where), std::move(must),
                           "e" + std::to_string(index), std::move(gate));
  }

 private:
  AtomicConditionAst atomic() {
    return condition(pick(kDomains), pick(kFields), "equals", literal_text("v"));
  }

  const std::vector<std::string> kIds = {"a", "b", "c"};
  const std::vector<std::string> kActions = {"refund", "delete", "Refund"};
  const std::vector<std::string> kDomains = {"actor", "snapshot", "actor.x"};
  const std::vector<std::string> kFields = {"role", "x.y", "y"};
  std::mt19937 random_;
};

class RandomGovernance : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomGovernance, FindsTheViolationsOfThePlainWalk) {
  Vocabulary vocabulary(GetParam());
  std::vector<RuleAst> rules;
  for (unsigned i = vocabulary.below(10); i > 0; --i) rules.push_back(vocabulary.rule());
  const PolicyAst policy = policy_of(std::move(rules));
  std::vector<GovernanceRule> governance;
  for (unsigned i = 0; i < 1 + vocabulary.below(12); ++i) {
    governance.push_back(vocabulary.governance(i));
  }
  // The rendering shows every violation's rule id and message, in order.
  EXPECT_EQ(engine::violations_text(find_violations(policy, governance)),
            engine::violations_text(walked_violations(policy, governance)));
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomGovernance, ::testing::Range(0u, 400u));

}  // namespace
}  // namespace kavro
