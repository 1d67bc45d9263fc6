// The compiler and the governance checker on document records built straight
// from the fuzzer's bytes, past the loader: names, operators and literals
// may be any bytes (invalid UTF-8 included), lists any length, scopes and
// filters any shape. Whatever compiles must pass the shared checks; whatever
// fails must render a message.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/policy.h"
#include "fuzz_checks.h"

namespace {

constexpr std::array<const char*, 4> kNames = {"refund", "amount", "role", "load"};
constexpr std::array<const char*, 4> kDomains = {"action", "actor", "snapshot", "Action"};
constexpr std::array<const char*, 14> kOperators = {"equals",
                                                    "not_equals",
                                                    "greater_than",
                                                    "less_than",
                                                    "in",
                                                    "not_in",
                                                    "eq",
                                                    "",
                                                    "present",
                                                    "absent",
                                                    "starts_with",
                                                    "ends_with",
                                                    "greater_or_equal",
                                                    "less_or_equal"};

// Mostly names from a small set, so that lookups succeed; sometimes any bytes.
std::string pick(FuzzedDataProvider& data, const char* const* names, std::size_t count) {
  if (data.ConsumeIntegralInRange(0, 7) == 0) return data.ConsumeRandomLengthString(12);
  return names[data.ConsumeIntegralInRange<std::size_t>(0, count - 1)];
}

std::string name(FuzzedDataProvider& data) {
  return pick(data, kNames.data(), kNames.size());
}

kavro::documents::FieldTypeMapAst fields(FuzzedDataProvider& data) {
  kavro::documents::FieldTypeMapAst map;
  for (int i = data.ConsumeIntegralInRange(0, 4); i > 0; --i) {
    map[name(data)] = static_cast<kavro::documents::FieldType>(data.ConsumeIntegralInRange(0, 2));
  }
  return map;
}

kavro::documents::SubjectAst subject(FuzzedDataProvider& data) {
  return {pick(data, kDomains.data(), kDomains.size()), name(data)};
}

kavro::documents::AtomicConditionAst atomic(FuzzedDataProvider& data) {
  kavro::documents::AtomicConditionAst condition;
  condition.subject = subject(data);
  condition.op = pick(data, kOperators.data(), kOperators.size());
  switch (data.ConsumeIntegralInRange(0, 3)) {
    case 0:
      condition.value = kavro::documents::LiteralValueAst(data.ConsumeRandomLengthString(16));
      break;
    case 1:
      condition.value = kavro::documents::LiteralValueAst(data.ConsumeFloatingPoint<double>());
      break;
    case 2:
      condition.value = kavro::documents::LiteralValueAst(data.ConsumeBool());
      break;
    default:
      condition.value = subject(data);
  }
  return condition;
}

std::vector<kavro::documents::AtomicConditionAst> members(FuzzedDataProvider& data) {
  std::vector<kavro::documents::AtomicConditionAst> list(data.ConsumeIntegralInRange(0, 4));
  for (auto& member : list) member = atomic(data);
  return list;
}

kavro::documents::RuleAst rule(FuzzedDataProvider& data) {
  kavro::documents::RuleAst rule;
  rule.id = data.ConsumeRandomLengthString(12);
  switch (data.ConsumeIntegralInRange(0, 2)) {
    case 0:
      rule.scope = kavro::documents::ActionScopeAst{name(data)};
      break;
    case 1:
      rule.scope = kavro::documents::ActorScopeAst{name(data)};
      break;
    default:
      rule.scope = kavro::documents::GlobalScopeAst{data.ConsumeIntegralInRange(0, 7) != 0};
  }
  switch (data.ConsumeIntegralInRange(0, 2)) {
    case 0:
      rule.when = atomic(data);
      break;
    case 1:
      rule.when = kavro::documents::AllConditionAst{members(data)};
      break;
    default:
      rule.when = kavro::documents::AnyConditionAst{members(data)};
  }
  rule.effect = static_cast<kavro::documents::Effect>(data.ConsumeIntegralInRange(0, 2));
  return rule;
}

template <class T, class Make>
std::optional<T> maybe(FuzzedDataProvider& data, Make make) {
  if (data.ConsumeBool()) return make();
  return std::nullopt;
}

kavro::documents::GovernanceRule governance_rule(FuzzedDataProvider& data) {
  kavro::documents::GovernanceRule rule;
  rule.id = data.ConsumeRandomLengthString(8);
  if (data.ConsumeBool()) rule.applies_to = kavro::documents::AppliesTo{{name(data), name(data)}};
  auto& where = rule.select.where;
  where.id = maybe<std::string>(data, [&] { return data.ConsumeRandomLengthString(8); });
  where.scope = maybe<kavro::documents::ScopeFilter>(data, [&] {
    return kavro::documents::ScopeFilter{maybe<bool>(data, [&] { return data.ConsumeBool(); }),
                                         maybe<std::string>(data, [&] { return name(data); })};
  });
  where.effect = maybe<std::string>(data, [&] {
    static constexpr std::array<const char*, 4> kEffects = {"allow", "block", "require_approval",
                                                            "permit"};
    return pick(data, kEffects.data(), kEffects.size());
  });
  where.when = maybe<kavro::documents::WhenFilter>(data, [&] {
    return kavro::documents::WhenFilter{maybe<kavro::documents::SubjectFilter>(data, [&] {
      return kavro::documents::SubjectFilter{
          maybe<std::string>(data, [&] { return pick(data, kDomains.data(), kDomains.size()); }),
          maybe<std::string>(data, [&] { return name(data); })};
    })};
  });
  switch (data.ConsumeIntegralInRange(0, 4)) {
    case 0:
      rule.must = kavro::documents::ExistsConstraint{data.ConsumeBool()};
      break;
    case 1:
      rule.must =
          kavro::documents::MinCountConstraint{data.ConsumeIntegralInRange<std::uint64_t>(0, 4)};
      break;
    case 2:
      rule.must =
          kavro::documents::MaxCountConstraint{data.ConsumeIntegralInRange<std::uint64_t>(0, 4)};
      break;
    case 3:
      rule.must = kavro::documents::ForbidConstraint{data.ConsumeBool()};
      break;
    default:
      rule.must = kavro::documents::AllowedFieldsConstraint{
          {pick(data, kDomains.data(), kDomains.size()) + "." + name(data)}};
  }
  rule.error = data.ConsumeRandomLengthString(16);
  return rule;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  kavro::documents::SchemaAst schema;
  for (int i = data.ConsumeIntegralInRange(0, 3); i > 0; --i)
    schema.actions[name(data)] = {fields(data)};
  schema.actor.fields = fields(data);
  schema.snapshot.fields = fields(data);

  kavro::documents::PolicyAst policy;
  std::vector<kavro::documents::GovernanceRule> governance(data.ConsumeIntegralInRange(0, 3));
  for (auto& entry : governance) entry = governance_rule(data);
  while (data.remaining_bytes() > 0 && policy.rules.size() < 64) policy.rules.push_back(rule(data));

  auto built = kavro::engine::Policy::from_documents(schema, policy,
                                                     governance.empty() ? nullptr : &governance);
  if (!built.ok()) {
    if (built.error().render().empty()) __builtin_trap();
    return 0;
  }
  kavro::fuzzing::check_built(built.value());
  return 0;
}
