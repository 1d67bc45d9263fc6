#include "compiler/compiler.h"

#include <cstddef>
#include <utility>
#include <variant>
#include <vector>

#include "support/overloaded.h"

namespace kavro::compiler {
namespace {

// The action fields a rule may read: those of the action its scope names.
// Null for actor-scoped and global rules, which cannot read the action domain.
using ScopeContext = const FieldTypes*;

const FieldTypes* fields_of(const SchemaIndex& schema, documents::Domain domain,
                            ScopeContext context) {
  switch (domain) {
    case documents::Domain::Action:
      return context;
    case documents::Domain::Actor:
      return &schema.actor_fields;
    case documents::Domain::Snapshot:
      return &schema.snapshot_fields;
  }
  return nullptr;
}

// Checks the domain, and the field of the two domains whose fields do not
// depend on the rule's scope; action fields are checked by field_type_of.
Result<SubjectRef, CompileError> resolve_subject(const SchemaIndex& schema,
                                                 const documents::SubjectAst& subject) {
  const auto domain = documents::from_spelling<documents::Domain>(subject.domain);
  if (!domain) return fail(CompileError::unknown_domain(subject.domain));
  if (*domain != documents::Domain::Action &&
      !fields_of(schema, *domain, nullptr)->contains(std::string_view(subject.field))) {
    return fail(CompileError::unknown_field(*domain, subject.field));
  }
  return SubjectRef{*domain, subject.field};
}

Result<documents::FieldType, CompileError> field_type_of(const SchemaIndex& schema,
                                                         const SubjectRef& subject,
                                                         ScopeContext context) {
  if (const FieldTypes* fields = fields_of(schema, subject.domain, context)) {
    const auto it = fields->find(std::string_view(subject.field));
    if (it != fields->end()) return it->second;
  }
  return fail(CompileError::unknown_field(subject.domain, subject.field));
}

documents::FieldType literal_type(const RuntimeValue& literal) {
  return std::visit(Overloaded{[](const std::string&) { return documents::FieldType::String; },
                               [](double) { return documents::FieldType::Number; },
                               [](bool) { return documents::FieldType::Boolean; }},
                    literal);
}

struct TypedValue {
  CompiledValue value;
  documents::FieldType type;
};

Result<TypedValue, CompileError> compile_value(const SchemaIndex& schema,
                                               const documents::ValueAst& value,
                                               ScopeContext context) {
  return std::visit(
      Overloaded{[](const documents::LiteralValueAst& literal) -> Result<TypedValue, CompileError> {
                   return TypedValue{CompiledValue(literal), literal_type(literal)};
                 },
                 [&](const documents::SubjectAst& written) -> Result<TypedValue, CompileError> {
                   auto subject = resolve_subject(schema, written);
                   if (!subject) return fail(std::move(subject).error());
                   const auto type = field_type_of(schema, *subject, context);
                   if (!type) return fail(type.error());
                   return TypedValue{CompiledValue(std::move(subject).value()), *type};
                 }},
      value);
}

// The steps run in a fixed order so that, among several faults of one
// condition, the same one is always reported.
Result<AtomicCondition, CompileError> compile_atomic(const SchemaIndex& schema,
                                                     const documents::AtomicConditionAst& atomic,
                                                     ScopeContext context) {
  auto lhs = resolve_subject(schema, atomic.subject);
  if (!lhs) return fail(std::move(lhs).error());
  const auto left_type = field_type_of(schema, *lhs, context);
  if (!left_type) return fail(left_type.error());
  const auto op = documents::from_spelling<documents::Operator>(atomic.op);
  if (!op) return fail(CompileError::unknown_operator(atomic.op));
  auto rhs = compile_value(schema, atomic.value, context);
  if (!rhs) return fail(std::move(rhs).error());
  if (*left_type != rhs->type) return fail(CompileError::type_mismatch(*left_type, rhs->type));
  if (!documents::applies_to(*op, *left_type)) {
    return fail(CompileError::unsupported_operator(*op, *left_type));
  }
  return AtomicCondition{std::move(lhs).value(), *op, std::move(rhs->value)};
}

// The length is checked before any member so that a short list is reported
// as such even when its one member is faulty too.
Result<std::vector<AtomicCondition>, CompileError> compile_members(
    const SchemaIndex& schema, const std::vector<documents::AtomicConditionAst>& members,
    ScopeContext context) {
  if (members.size() < 2) return fail(CompileError::invalid_logical_condition());
  std::vector<AtomicCondition> compiled;
  compiled.reserve(members.size());
  for (const auto& member : members) {
    auto atomic = compile_atomic(schema, member, context);
    if (!atomic) return fail(std::move(atomic).error());
    compiled.push_back(std::move(atomic).value());
  }
  return compiled;
}

Result<CompiledCondition, CompileError> compile_condition(const SchemaIndex& schema,
                                                          const documents::ConditionAst& when,
                                                          ScopeContext context) {
  using Compiled = Result<CompiledCondition, CompileError>;
  return std::visit(Overloaded{[&](const documents::AtomicConditionAst& atomic) -> Compiled {
                                 auto compiled = compile_atomic(schema, atomic, context);
                                 if (!compiled) return fail(std::move(compiled).error());
                                 return CompiledCondition(std::move(compiled).value());
                               },
                               [&](const documents::AllConditionAst& all) -> Compiled {
                                 auto members = compile_members(schema, all.all, context);
                                 if (!members) return fail(std::move(members).error());
                                 return CompiledCondition(AllOf{std::move(members).value()});
                               },
                               [&](const documents::AnyConditionAst& any) -> Compiled {
                                 auto members = compile_members(schema, any.any, context);
                                 if (!members) return fail(std::move(members).error());
                                 return CompiledCondition(AnyOf{std::move(members).value()});
                               }},
                    when);
}

// Where a rule is filed, and what its conditions may read.
struct Placement {
  RuleSequence* bucket;
  ScopeContext context;
};

// Creating the bucket before the condition is compiled is harmless: on any
// error the whole policy is discarded.
Result<Placement, CompileError> place_rule(const SchemaIndex& schema,
                                           const documents::ScopeAst& scope,
                                           CompiledPolicy& policy) {
  using Placed = Result<Placement, CompileError>;
  return std::visit(
      Overloaded{
          [&](const documents::ActionScopeAst& action) -> Placed {
            const auto it = schema.actions.find(std::string_view(action.action));
            if (it == schema.actions.end())
              return fail(CompileError::unknown_action(action.action));
            return Placement{&policy.action_rules.try_emplace(action.action).first->second,
                             &it->second};
          },
          [&](const documents::ActorScopeAst& actor) -> Placed {
            // Actors are not declared by the schema, so any name is accepted.
            return Placement{&policy.actor_rules.try_emplace(actor.actor).first->second, nullptr};
          },
          [&](const documents::GlobalScopeAst& global) -> Placed {
            if (!global.global) return fail(CompileError::invalid_scope());
            return Placement{&policy.global_rules, nullptr};
          }},
      scope);
}

}  // namespace

Result<CompiledPolicy, CompileError> compile_policy(const SchemaIndex& schema,
                                                    const documents::PolicyAst& policy) {
  CompiledPolicy compiled;
  for (std::size_t index = 0; index < policy.rules.size(); ++index) {
    const documents::RuleAst& rule = policy.rules[index];
    const auto in_rule = [&](CompileError error) {
      error.rule = RuleRef{index, rule.id};
      return fail(std::move(error));
    };
    auto placement = place_rule(schema, rule.scope, compiled);
    if (!placement) return in_rule(std::move(placement).error());
    auto condition = compile_condition(schema, rule.when, placement->context);
    if (!condition) return in_rule(std::move(condition).error());
    placement->bucket->push_back(CompiledRule{rule.id, std::move(condition).value(), rule.effect,
                                              static_cast<std::uint32_t>(index)});
  }
  return compiled;
}

}  // namespace kavro::compiler
