#include "compiler/compiler.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
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
                 },
                 // Version 2 forms, which the version-1 reader never makes.
                 [](const documents::ListValueAst&) -> Result<TypedValue, CompileError> {
                   return fail(CompileError::invalid_comparison("a list literal needs version: 2"));
                 },
                 [](const documents::NoValueAst&) -> Result<TypedValue, CompileError> {
                   return fail(CompileError::invalid_comparison("a value is missing"));
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
  const auto op = documents::operator_in_version(atomic.op, 1);
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

Result<CompiledCondition, CompileError> compile_tree(const SchemaIndex& schema,
                                                     const documents::TreeConditionAst& tree,
                                                     ScopeContext context);

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
                               },
                               [&](const documents::TreeConditionAst& tree) -> Compiled {
                                 return compile_tree(schema, tree, context);
                               }},
                    when);
}

// Version 2 -----------------------------------------------------------------

std::string subject_words(const SubjectRef& subject) {
  return "'" + std::string(documents::spelling(subject.domain)) + "." + subject.field + "'";
}

std::string type_word(documents::FieldType type) {
  return std::string(documents::spelling(type));
}

// The operators a field of `type` may use, in table order.
std::string operators_for(documents::FieldType type) {
  std::string words;
  for (const auto& row : documents::kOperators) {
    if ((row.v2_types & documents::type_bit(type)) == 0) continue;
    if (!words.empty()) words += ", ";
    words += row.spelling;
  }
  return words;
}

Result<ComparisonOperand, CompileError> compile_operand(
    const SchemaIndex& schema, const documents::AtomicConditionAst& atomic, documents::Operator op,
    const SubjectRef& lhs, documents::FieldType type, ScopeContext context) {
  using Compiled = Result<ComparisonOperand, CompileError>;
  const auto refuse = [](std::string message) -> Compiled {
    return fail(CompileError::invalid_comparison(std::move(message)));
  };
  const std::string said = "operator '" + std::string(documents::spelling(op)) + "'";
  return std::visit(
      Overloaded{
          [&](const documents::LiteralValueAst& literal) -> Compiled {
            const documents::FieldType found = literal_type(literal);
            if (found != type) {
              return refuse("field " + subject_words(lhs) + " is a " + type_word(type) +
                            ", the value a " + type_word(found) + ": write a " + type_word(type));
            }
            return ComparisonOperand(RuntimeValue(literal));
          },
          [&](const documents::SubjectAst& written) -> Compiled {
            if (documents::word(op).operand != documents::Operand::Value) {
              return refuse(said + " compares with a literal, not a field");
            }
            auto subject = resolve_subject(schema, written);
            if (!subject) return fail(std::move(subject).error());
            const auto other = field_type_of(schema, *subject, context);
            if (!other) return fail(other.error());
            if (*other != type) {
              return refuse("field " + subject_words(lhs) + " is a " + type_word(type) +
                            ", field " + subject_words(*subject) + " a " + type_word(*other) +
                            ": compare fields of one type");
            }
            return ComparisonOperand(std::move(subject).value());
          },
          [&](const documents::ListValueAst& list) -> Compiled {
            auto set = std::make_shared<MemberSet>();
            MemberList compiled;
            compiled.members.reserve(list.members.size());
            for (const auto& member : list.members) {
              const documents::FieldType found = literal_type(member);
              if (found != type) {
                return refuse("field " + subject_words(lhs) + " is a " + type_word(type) +
                              ", the list holds a " + type_word(found) + ": write " +
                              type_word(type) + "s");
              }
              std::visit(Overloaded{[&](const std::string& text) { set->texts.insert(text); },
                                    [&](double number) {
                                      set->numbers.insert(number == 0.0 ? 0.0 : number);
                                    },
                                    [&](bool boolean) { set->booleans[boolean ? 1 : 0] = true; }},
                         member);
              compiled.members.push_back(member);
            }
            compiled.set = std::move(set);
            return ComparisonOperand(std::move(compiled));
          },
          [&](const documents::NoValueAst&) -> Compiled { return ComparisonOperand(NoOperand{}); }},
      atomic.value);
}

Result<Comparison, CompileError> compile_comparison(const SchemaIndex& schema,
                                                    const documents::AtomicConditionAst& atomic,
                                                    ScopeContext context) {
  auto lhs = resolve_subject(schema, atomic.subject);
  if (!lhs) return fail(std::move(lhs).error());
  const auto type = field_type_of(schema, *lhs, context);
  if (!type) return fail(type.error());
  const auto op = documents::operator_in_version(atomic.op, 2);
  if (!op) return fail(CompileError::unknown_operator(atomic.op));
  if ((documents::word(*op).v2_types & documents::type_bit(*type)) == 0) {
    return fail(CompileError::invalid_comparison(
        "operator '" + std::string(documents::spelling(*op)) + "' does not apply to " +
        type_word(*type) + " field " + subject_words(*lhs) + ": use one of " +
        operators_for(*type)));
  }
  auto rhs = compile_operand(schema, atomic, *op, *lhs, *type, context);
  if (!rhs) return fail(std::move(rhs).error());
  return Comparison{std::move(lhs).value(), *op, std::move(rhs).value(), *type};
}

// The reader saw to the shape (lists of two or more, one condition under
// not, the depth); the nodes are copied as they are.
ConditionNode compile_node(const documents::ConditionNodeAst& node) {
  ConditionNode compiled{node.kind, node.comparison, {}};
  compiled.members.reserve(node.members.size());
  for (const auto& member : node.members) compiled.members.push_back(compile_node(member));
  return compiled;
}

// The path of each comparison inside the rule (".when.any[1]"), in
// document order, for placing its errors.
void comparison_paths(const documents::ConditionNodeAst& node, const std::string& path,
                      std::vector<std::string>& paths) {
  switch (node.kind) {
    case documents::NodeKind::Comparison:
      if (paths.size() <= node.comparison) paths.resize(node.comparison + 1);
      paths[node.comparison] = path;
      return;
    case documents::NodeKind::All:
    case documents::NodeKind::Any: {
      const std::string word = node.kind == documents::NodeKind::All ? ".all[" : ".any[";
      for (std::size_t i = 0; i < node.members.size(); ++i) {
        comparison_paths(node.members[i], path + word + std::to_string(i) + "]", paths);
      }
      return;
    }
    case documents::NodeKind::Not:
      for (const auto& member : node.members) comparison_paths(member, path + ".not", paths);
      return;
  }
}

// A flat condition of comparisons of two values is laid out as version 1
// lays it out, so that the rule index files it; anything else is a tree.
CompiledCondition lower(ConditionTree tree) {
  const auto flat = [&](const ConditionNode& node) {
    return node.kind == documents::NodeKind::Comparison &&
           documents::compares_values(tree.comparisons[node.comparison].op) &&
           !std::holds_alternative<MemberList>(tree.comparisons[node.comparison].rhs) &&
           !std::holds_alternative<NoOperand>(tree.comparisons[node.comparison].rhs);
  };
  const auto atomic = [&](const ConditionNode& node) {
    Comparison& comparison = tree.comparisons[node.comparison];
    CompiledValue rhs = std::holds_alternative<SubjectRef>(comparison.rhs)
                            ? CompiledValue(std::get<SubjectRef>(std::move(comparison.rhs)))
                            : CompiledValue(std::get<RuntimeValue>(std::move(comparison.rhs)));
    return AtomicCondition{std::move(comparison.lhs), comparison.op, std::move(rhs)};
  };
  const ConditionNode& root = tree.root;
  if (flat(root)) return atomic(root);
  const bool list = root.kind == documents::NodeKind::All || root.kind == documents::NodeKind::Any;
  if (!list || !std::all_of(root.members.begin(), root.members.end(), flat)) return tree;
  std::vector<AtomicCondition> members;
  members.reserve(root.members.size());
  for (const auto& member : root.members) members.push_back(atomic(member));
  if (root.kind == documents::NodeKind::All) return AllOf{std::move(members)};
  return AnyOf{std::move(members)};
}

Result<CompiledCondition, CompileError> compile_tree(const SchemaIndex& schema,
                                                     const documents::TreeConditionAst& tree,
                                                     ScopeContext context) {
  std::vector<std::string> paths;
  comparison_paths(tree.root, ".when", paths);
  ConditionTree compiled;
  compiled.comparisons.reserve(tree.comparisons.size());
  for (std::size_t i = 0; i < tree.comparisons.size(); ++i) {
    auto comparison = compile_comparison(schema, tree.comparisons[i], context);
    if (!comparison) {
      CompileError error = std::move(comparison).error();
      if (i < paths.size()) error.where = paths[i];
      return fail(std::move(error));
    }
    compiled.comparisons.push_back(std::move(comparison).value());
  }
  compiled.root = compile_node(tree.root);
  return lower(std::move(compiled));
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
  compiled.default_effect = policy.default_effect.value_or(documents::Effect::Allow);
  compiled.default_given = policy.default_effect.has_value();
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
