#include "lint/lint.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "compiler/compiler.h"
#include "documents/loader.h"
#include "documents/policy_ast.h"
#include "documents/vocabulary.h"
#include "support/near_miss.h"
#include "support/overloaded.h"
#include "support/string_map.h"

namespace kavro::lint {
namespace {

constexpr std::string_view kSchema = "schema";
constexpr std::string_view kPolicy = "policy";
constexpr std::string_view kGovernance = "governance";
constexpr auto kDomainSpellings = documents::spellings_of<documents::Domain>();
constexpr auto kEffectSpellings = documents::spellings_of<documents::Effect>();

// "a, b, c": the spellings a filter may use.
template <class Names>
std::string listed(const Names& names) {
  std::string text;
  for (std::string_view name : names) {
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

std::string quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

template <class Names>
std::string suggestion(std::string_view word, const Names& names) {
  const auto near = nearest_name(word, names);
  return near ? " (did you mean " + quoted(*near) + "?)" : std::string();
}

std::string rule_path(std::size_t index) {
  return "rules[" + std::to_string(index) + "]";
}

// The finding code of a compile error, as kavro.check names the error that
// construction raises.
std::string_view compile_code(compiler::CompileErrorKind kind) {
  switch (kind) {
    case compiler::CompileErrorKind::UnknownAction:
      return "unknown-action";
    case compiler::CompileErrorKind::InvalidScope:
      return "invalid-scope";
    case compiler::CompileErrorKind::UnknownDomain:
      return "unknown-domain";
    case compiler::CompileErrorKind::UnknownField:
      return "unknown-field";
    case compiler::CompileErrorKind::UnknownOperator:
      return "unknown-operator";
    case compiler::CompileErrorKind::InvalidLogicalCondition:
      return "invalid-logical-condition";
    case compiler::CompileErrorKind::TypeMismatch:
      return "type-mismatch";
    case compiler::CompileErrorKind::UnsupportedOperator:
      return "unsupported-operator";
    case compiler::CompileErrorKind::InvalidComparison:
      return "invalid-comparison";
  }
  return "compile-error";
}

// A step of a location path below a condition: a key, or for a part that may
// be written as a list ([domain, field], [subject, operator, value]) its index.
struct PartStep {
  std::string_view key;
  std::optional<std::size_t> index;
};

constexpr PartStep kSubject{"subject", 0};
constexpr PartStep kDomain{"domain", 0};
constexpr PartStep kField{"field", 1};
constexpr PartStep kOperator{"operator", 1};
constexpr PartStep kValue{"value", 2};
constexpr PartStep kLiteral{"literal", std::nullopt};
constexpr PartStep kValueSubject{"subject", std::nullopt};

// The steps from a comparison to the token `error` is about.
std::vector<PartStep> faulty_part(const compiler::CompileError& error,
                                  const documents::AtomicConditionAst& atomic) {
  const auto* other = std::get_if<documents::SubjectAst>(&atomic.value);
  switch (error.kind) {
    case compiler::CompileErrorKind::UnknownDomain:
      if (atomic.subject.domain == error.first || other == nullptr) return {kSubject, kDomain};
      return {kValue, kValueSubject, kDomain};
    case compiler::CompileErrorKind::UnknownField:
      if ((atomic.subject.domain == error.first && atomic.subject.field == error.second) ||
          other == nullptr) {
        return {kSubject, kField};
      }
      return {kValue, kValueSubject, kField};
    case compiler::CompileErrorKind::UnknownOperator:
    case compiler::CompileErrorKind::UnsupportedOperator:
      return {kOperator};
    case compiler::CompileErrorKind::TypeMismatch:
      if (other != nullptr) return {kValue, kValueSubject, kField};
      return {kValue, kLiteral};
    case compiler::CompileErrorKind::UnknownAction:
    case compiler::CompileErrorKind::InvalidScope:
    case compiler::CompileErrorKind::InvalidLogicalCondition:
    case compiler::CompileErrorKind::InvalidComparison:
      return {};
  }
  return {};
}

void place_comparisons(const documents::ConditionNodeAst& node, const std::string& at,
                       std::vector<std::string>& places) {
  const auto members = [&](std::string_view key) {
    for (std::size_t i = 0; i < node.members.size(); ++i) {
      place_comparisons(node.members[i],
                        at + "." + std::string(key) + "[" + std::to_string(i) + "]", places);
    }
  };
  switch (node.kind) {
    case documents::NodeKind::Comparison:
      if (node.comparison < places.size()) places[node.comparison] = at;
      return;
    case documents::NodeKind::All:
      members("all");
      return;
    case documents::NodeKind::Any:
      members("any");
      return;
    case documents::NodeKind::Not:
      if (!node.members.empty()) place_comparisons(node.members.front(), at + ".not", places);
      return;
  }
}

// Where each comparison of a condition stands below its `when` (".all[1]"),
// in the order atomic_conditions lists them.
std::vector<std::string> comparison_places(const documents::ConditionAst& when) {
  const auto listed = [](std::string_view key, std::size_t count) {
    std::vector<std::string> places;
    for (std::size_t i = 0; i < count; ++i) {
      places.push_back("." + std::string(key) + "[" + std::to_string(i) + "]");
    }
    return places;
  };
  return std::visit(
      Overloaded{
          [](const documents::AtomicConditionAst&) { return std::vector<std::string>(1); },
          [&](const documents::AllConditionAst& all) { return listed("all", all.all.size()); },
          [&](const documents::AnyConditionAst& any) { return listed("any", any.any.size()); },
          [](const documents::TreeConditionAst& tree) {
            std::vector<std::string> places(tree.comparisons.size());
            place_comparisons(tree.root, "", places);
            return places;
          }},
      when);
}

// A document as lint reads it: its records when it loaded, and its notes,
// whose places are sorted by path for lookup (equal paths keep their order:
// the first noted wins). A document that did not load is placed nowhere.
template <class Ast>
struct Loaded {
  std::optional<Ast> ast;
  documents::ReadNotes notes;

  std::optional<documents::Position> place(std::string_view path) const {
    const auto& places = notes.places;
    const auto found = std::lower_bound(
        places.begin(), places.end(), path,
        [](const auto& place, std::string_view wanted) { return place.first < wanted; });
    if (found == places.end() || found->first != path) return std::nullopt;
    return found->second;
  }
};

// Reads `text` with `notes` set to note what lint looks up: noting and
// indexing every place of a large document cost more than reading it.
template <class Ast, class Load>
Loaded<Ast> load(std::string_view text, documents::ReadNotes notes, Load&& load_text) {
  Loaded<Ast> loaded;
  loaded.notes = std::move(notes);
  auto result = load_text(text, &loaded.notes);
  if (!result) {
    loaded.notes.places = {};
    return loaded;
  }
  loaded.ast = std::move(result).value();
  std::stable_sort(loaded.notes.places.begin(), loaded.notes.places.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return loaded;
}

// The policy read past its faulty rules: the rules that read keep their place
// in the document's list (`index`), and the others' errors are findings too.
struct LoadedPolicy : Loaded<documents::PolicyAst> {
  std::vector<documents::SkippedRule> skipped;
  std::optional<documents::LoadError> end;  // what ended the reading, when it did not finish
  std::vector<std::size_t> indices;         // of the rules read, in the document's list

  std::size_t index(std::size_t read) const { return indices[read]; }
};

LoadedPolicy load_policy(std::string_view text, documents::ReadNotes notes) {
  LoadedPolicy loaded;
  loaded.notes = std::move(notes);
  documents::PolicyReading reading = documents::read_policy_past_faulty_rules(text, &loaded.notes);
  loaded.skipped = std::move(reading.skipped);
  if (reading.policy) {
    loaded.ast = std::move(reading.policy).value();
  } else {
    loaded.end = std::move(reading.policy).error();
  }
  std::stable_sort(loaded.notes.places.begin(), loaded.notes.places.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  if (loaded.ast) {
    auto skipped = loaded.skipped.begin();
    for (std::size_t index = 0; loaded.indices.size() < loaded.ast->rules.size(); ++index) {
      if (skipped != loaded.skipped.end() && skipped->index == index) {
        ++skipped;
        continue;
      }
      loaded.indices.push_back(index);
    }
  }
  return loaded;
}

documents::ReadNotes places_of_keys(std::vector<std::string_view> keys) {
  documents::ReadNotes notes;
  notes.place_keys = std::move(keys);
  return notes;
}

// A schema's ignored keys but none of its places: only a field that no rule
// reads is placed, and its name can be any key (see unused_fields).
documents::ReadNotes no_places() {
  documents::ReadNotes notes;
  notes.note_places = false;
  return notes;
}

documents::ReadNotes every_place() {
  documents::ReadNotes notes;
  notes.note_ignored_keys = false;
  return notes;
}

Loaded<documents::SchemaAst> load_schema(std::string_view text, documents::ReadNotes notes) {
  return load<documents::SchemaAst>(text, std::move(notes),
                                    [](std::string_view text, documents::ReadNotes* notes) {
                                      return documents::load_schema(text, notes);
                                    });
}

// A text that two rules share exactly when their scope and condition are the
// same records.
std::string bucket_and_condition(const documents::RuleAst& rule) {
  std::string key;
  const auto add = [&](std::string_view part) {
    key += std::to_string(part.size());
    key += ':';
    key += part;
  };
  std::visit(Overloaded{[&](const documents::ActionScopeAst& action) {
                          add("action");
                          add(action.action);
                        },
                        [&](const documents::ActorScopeAst& actor) {
                          add("actor");
                          add(actor.actor);
                        },
                        [&](const documents::GlobalScopeAst& global) {
                          add(global.global ? "global" : "not-global");
                        }},
             rule.scope);
  add(std::to_string(rule.when.index()));
  const auto add_literal = [&](const documents::LiteralValueAst& literal) {
    add(std::to_string(literal.index()));
    std::visit(Overloaded{[&](const std::string& text) { add(text); },
                          [&](double number) { add(std::to_string(number)); },
                          [&](bool boolean) { add(std::to_string(boolean)); }},
               literal);
  };
  // A tree's shape: its comparisons alone do not tell all from any.
  const auto add_node = [&](const auto& self, const documents::ConditionNodeAst& node) -> void {
    add(std::to_string(static_cast<int>(node.kind)));
    add(std::to_string(node.comparison));
    add(std::to_string(node.members.size()));
    for (const auto& member : node.members) self(self, member);
  };
  for (const documents::AtomicConditionAst& atomic : atomic_conditions(rule.when)) {
    add(atomic.subject.domain);
    add(atomic.subject.field);
    add(atomic.op);
    std::visit(Overloaded{[&](const documents::SubjectAst& subject) {
                            add("subject");
                            add(subject.domain);
                            add(subject.field);
                          },
                          [&](const documents::LiteralValueAst& literal) { add_literal(literal); },
                          [&](const documents::ListValueAst& list) {
                            add("list");
                            for (const auto& member : list.members) add_literal(member);
                          },
                          [&](const documents::NoValueAst&) { add("none"); }},
               atomic.value);
  }
  if (const auto* tree = std::get_if<documents::TreeConditionAst>(&rule.when))
    add_node(add_node, tree->root);
  return key;
}

class Linter {
 public:
  // `policy`, when given, names the rule an ignored key of a rule belongs to.
  void ignored_keys(std::string_view document, const documents::ReadNotes& notes,
                    const LoadedPolicy* policy = nullptr) {
    for (const documents::IgnoredKey& ignored : notes.ignored_keys) {
      const std::string path = ignored.path == "." ? ignored.key : ignored.path + "." + ignored.key;
      add(Severity::Warning, "unknown-key",
          "unknown key " + quoted(ignored.key) + " is ignored" +
              suggestion(ignored.key, ignored.known),
          document, ignored.position, path, rule_of(path, policy));
    }
  }

  // A rule's faults in reading, each an error of its own (the first is the
  // one construction raises; the caller drops that one).
  void skipped_rules(const LoadedPolicy& policy) {
    for (const documents::SkippedRule& skipped : policy.skipped) load_error(skipped.error);
    // Past a skipped rule, what ended the reading is not construction's error.
    if (policy.end && !policy.skipped.empty()) load_error(*policy.end);
  }

  void policy_rules(const LoadedPolicy& policy) {
    if (policy.ast->version == 2 && !policy.ast->default_effect) {
      add(Severity::Warning, "no-default",
          "the policy has no default: a request no rule decides is allowed; write default: "
          "block to fail closed, or default: allow to say so",
          kPolicy, policy.place("version"), "default", std::nullopt);
    }
    StringMap<std::size_t> first_with_id;
    std::unordered_map<std::string, std::size_t> first_with_condition;
    const auto& rules = policy.ast->rules;
    for (std::size_t i = 0; i < rules.size(); ++i) {
      const documents::RuleAst& rule = rules[i];
      const std::string path = rule_path(policy.index(i));
      const auto position = policy.place(path);
      if (auto [it, fresh] = first_with_id.emplace(rule.id, i); !fresh) {
        const std::string first_path = rule_path(policy.index(it->second));
        const auto first = policy.place(first_path);
        const std::string at_line =
            first ? " (line " + std::to_string(first->line + 1) + ")" : std::string();
        add(Severity::Warning, "duplicate-rule-id",
            "rule id " + quoted(rule.id) + " is already used by " + first_path + at_line +
                ": results and governance filters cannot tell these rules apart",
            kPolicy, position, path + ".id", rule.id);
      }
      if (const auto* actor = std::get_if<documents::ActorScopeAst>(&rule.scope)) {
        add(Severity::Warning, "actor-scoped-rule",
            "rule " + quoted(rule.id) + " is scoped to actor " + quoted(actor->actor) +
                ": actor-scoped rules are compiled but never decide",
            kPolicy, policy.place(path + ".scope"), path + ".scope", rule.id);
      } else {
        auto [it, fresh] = first_with_condition.emplace(bucket_and_condition(rule), i);
        if (!fresh) {
          add(Severity::Warning, "shadowed-rule",
              "rule " + quoted(rule.id) + " can never decide: " +
                  rule_path(policy.index(it->second)) + " (" + quoted(rules[it->second].id) +
                  ") comes first in the same bucket with the same condition",
              kPolicy, position, path, rule.id);
        }
      }
      for (const documents::AtomicConditionAst& atomic : atomic_conditions(rule.when)) {
        const auto* other = std::get_if<documents::SubjectAst>(&atomic.value);
        if (other == nullptr || !(*other == atomic.subject)) continue;
        add(Severity::Warning, "self-comparison",
            "rule " + quoted(rule.id) + " compares " + atomic.subject.domain + "." +
                atomic.subject.field + " with itself",
            kPolicy, policy.place(path + ".when"), path + ".when", rule.id);
      }
    }
  }

  // Each rule compiled by itself against the schema: construction stops at
  // the first rule that does not compile, this finds the errors of them all.
  void compile_errors(const documents::SchemaAst& schema, const LoadedPolicy& policy) {
    const compiler::SchemaIndex index = compiler::build_schema_index(schema);
    documents::PolicyAst one{policy.ast->version, {}, std::nullopt};
    for (std::size_t i = 0; i < policy.ast->rules.size(); ++i) {
      const documents::RuleAst& rule = policy.ast->rules[i];
      one.rules.assign(1, rule);
      auto compiled = compiler::compile_policy(index, one);
      if (compiled) continue;
      const compiler::CompileError& error = compiled.error();
      const std::string member = rule_path(policy.index(i));
      // A second-version error names its part; a first-version one is
      // narrowed here to the token at fault.
      std::string path = member + std::string(error.rule_part());
      if (policy.place(path)) path = token_at_fault(index, rule, error, policy, path);
      auto position = policy.place(path);
      if (!position && !error.where.empty()) position = policy.place(member + ".when");
      add(Severity::Error, compile_code(error.kind), error.render(), kPolicy,
          position ? position : policy.place(member), path, rule.id);
    }
  }

  // The path of the token a rule's compile error is about (the name of a
  // scope's action, a comparison's field, operator or literal), as deep as
  // the document's places go below `part`: of the scope, or of the
  // comparison the error names (`where`), else of the first that fails alone
  // with the same error.
  static std::string token_at_fault(const compiler::SchemaIndex& index,
                                    const documents::RuleAst& rule,
                                    const compiler::CompileError& error, const LoadedPolicy& policy,
                                    std::string part) {
    // Goes one step down `part` when the document has that place.
    const auto deeper = [&](const std::string& suffix) {
      std::string step = part + suffix;
      if (!policy.place(step)) return false;
      part = std::move(step);
      return true;
    };
    switch (error.kind) {
      case compiler::CompileErrorKind::UnknownAction:
        deeper(".action");
        return part;
      case compiler::CompileErrorKind::InvalidScope:
        deeper(".global");
        return part;
      case compiler::CompileErrorKind::InvalidLogicalCondition:
      case compiler::CompileErrorKind::InvalidComparison:
        return part;
      case compiler::CompileErrorKind::UnknownDomain:
      case compiler::CompileErrorKind::UnknownField:
      case compiler::CompileErrorKind::UnknownOperator:
      case compiler::CompileErrorKind::TypeMismatch:
      case compiler::CompileErrorKind::UnsupportedOperator:
        break;
    }
    const std::vector<std::string> places = comparison_places(rule.when);
    const auto atomics = atomic_conditions(rule.when);
    const std::string rendered = error.render();
    documents::PolicyAst alone{policy.ast->version, {rule}, std::nullopt};
    const bool tree = std::holds_alternative<documents::TreeConditionAst>(rule.when);
    for (std::size_t k = 0; k < atomics.size() && k < places.size(); ++k) {
      if (!error.where.empty()) {
        // The compiler named the comparison: `part` is its place.
        if (".when" + places[k] != error.where) continue;
      } else if (atomics.size() > 1) {
        if (tree) {
          alone.rules[0].when = documents::TreeConditionAst{{}, {atomics[k]}};
        } else {
          alone.rules[0].when = atomics[k];
        }
        auto compiled = compiler::compile_policy(index, alone);
        if (compiled || compiled.error().render() != rendered) continue;
      }
      if (error.where.empty() && !places[k].empty() && !deeper(places[k])) return part;
      for (const PartStep& step : faulty_part(error, atomics[k])) {
        if (deeper("." + std::string(step.key))) continue;
        if (!step.index || !deeper("[" + std::to_string(*step.index) + "]")) break;
      }
      return part;
    }
    return part;
  }

  // `schema_text` is read again, for the places, when some field is unused.
  void unused_fields(const documents::SchemaAst& schema, std::string_view schema_text,
                     const documents::PolicyAst& policy) {
    // "domain.field", and "action:<name>.field" for the fields of one action.
    std::unordered_set<std::string> read;
    for (const documents::RuleAst& rule : policy.rules) {
      const auto* action = std::get_if<documents::ActionScopeAst>(&rule.scope);
      const auto note = [&](const documents::SubjectAst& subject) {
        if (subject.domain == "action") {
          if (action != nullptr) read.insert("action:" + action->action + "." + subject.field);
        } else {
          read.insert(subject.domain + "." + subject.field);
        }
      };
      for (const documents::AtomicConditionAst& atomic : atomic_conditions(rule.when)) {
        note(atomic.subject);
        if (const auto* other = std::get_if<documents::SubjectAst>(&atomic.value)) note(*other);
      }
    }
    // (path, name) of each field no rule reads.
    std::vector<std::pair<std::string, std::string>> unused;
    for (const auto& [action, declared] : schema.actions) {
      for (const auto& [field, type] : declared.fields) {
        if (read.contains("action:" + action + "." + field)) continue;
        unused.emplace_back("actions." + action + ".fields." + field,
                            "action." + field + " of action " + quoted(action));
      }
    }
    for (const auto& [field, type] : schema.actor.fields) {
      if (!read.contains("actor." + field))
        unused.emplace_back("actor.fields." + field, "actor." + field);
    }
    for (const auto& [field, type] : schema.snapshot.fields) {
      if (!read.contains("snapshot." + field)) {
        unused.emplace_back("snapshot.fields." + field, "snapshot." + field);
      }
    }
    if (unused.empty()) return;
    // Read again for the places, now that some are wanted.
    const auto placed = load_schema(schema_text, every_place());
    for (auto& [path, name] : unused) {
      const auto position = placed.place(path);
      add(Severity::Info, "unused-field", "schema field " + name + " is read by no rule", kSchema,
          position, std::move(path), std::nullopt);
    }
  }

  void governance_filters(const Loaded<documents::GovernanceAst>& governance,
                          const documents::SchemaAst* schema) {
    const auto& rules = governance.ast->governance.rules;
    // Gathered once: per rule they made lint quadratic in the documents.
    std::vector<std::string_view> actions;
    std::vector<std::string> declared;
    if (schema != nullptr) {
      for (const auto& [name, fields] : schema->actions) actions.push_back(name);
      // Once each, in the schema's order: actions share field names.
      for (std::string& name : declared_names(*schema)) {
        if (declared_set_.insert(name).second) declared.push_back(std::move(name));
      }
    }
    for (std::size_t i = 0; i < rules.size(); ++i) {
      const documents::GovernanceRule& rule = rules[i];
      const std::string path = "governance.rules[" + std::to_string(i) + "]";
      const std::string where = path + ".select.where";
      const documents::RuleFilter& filter = rule.select.where;
      const auto at = [&](const std::string& place) {
        return governance.place(place) ? governance.place(place) : governance.place(path);
      };
      if (filter.effect && !contains(kEffectSpellings, *filter.effect)) {
        filter_finding("filter-unknown-effect",
                       "filter effect " + quoted(*filter.effect) + " is not an effect (" +
                           listed(kEffectSpellings) + "): governance rule " + quoted(rule.id) +
                           " selects no policy rule" + suggestion(*filter.effect, kEffectSpellings),
                       at(where + ".effect"), where + ".effect", rule.id);
      }
      if (filter.when && filter.when->subject) {
        subject_filter(*filter.when->subject, schema, rule.id, where + ".when.subject", at);
      }
      if (schema == nullptr) continue;
      const auto check_action = [&](const std::string& name, const std::string& place,
                                    const std::string& what) {
        if (schema->actions.contains(name)) return;
        filter_finding("filter-unknown-action",
                       what + " " + quoted(name) +
                           " is not declared in the schema: governance rule " + quoted(rule.id) +
                           " selects no policy rule by it" + suggestion(name, actions),
                       at(place), place, rule.id);
      };
      if (filter.scope && filter.scope->action) {
        check_action(*filter.scope->action, where + ".scope.action", "filter action");
      }
      if (rule.applies_to) {
        for (std::size_t k = 0; k < rule.applies_to->actions.size(); ++k) {
          check_action(rule.applies_to->actions[k],
                       path + ".applies_to.actions[" + std::to_string(k) + "]",
                       "applies_to action");
        }
      }
      if (const auto* allowed = std::get_if<documents::AllowedFieldsConstraint>(&rule.must)) {
        for (const std::string& name : allowed->allowed_fields) {
          if (declared_set_.contains(name)) continue;
          filter_finding("filter-unknown-field",
                         "allowed field " + quoted(name) +
                             " is not a declared field (written domain.field)" +
                             suggestion(name, declared),
                         at(path + ".must"), path + ".must", rule.id);
        }
      }
    }
  }

  std::vector<Finding> take() && { return std::move(findings_); }

 private:
  void load_error(const documents::LoadError& error) {
    add(Severity::Error, "load-error", error.render(), kPolicy, error.position(), error.path(),
        std::nullopt);
  }

  // The id of the rule at "rules[<n>]..." in `policy`.
  static std::optional<std::string> rule_of(std::string_view path, const LoadedPolicy* policy) {
    constexpr std::string_view kRules = "rules[";
    if (policy == nullptr || !policy->ast || !path.starts_with(kRules)) return std::nullopt;
    std::size_t index = 0;
    for (std::size_t i = kRules.size(); i < path.size() && path[i] != ']'; ++i) {
      index = index * 10 + static_cast<std::size_t>(path[i] - '0');
    }
    // A skipped rule has no record, hence no id.
    const auto read = std::lower_bound(policy->indices.begin(), policy->indices.end(), index);
    if (read == policy->indices.end() || *read != index) return std::nullopt;
    return policy->ast->rules[static_cast<std::size_t>(read - policy->indices.begin())].id;
  }

  template <class Names>
  static bool contains(const Names& names, std::string_view name) {
    for (const auto& known : names) {
      if (known == name) return true;
    }
    return false;
  }

  // Every declared field as "domain.field".
  static std::vector<std::string> declared_names(const documents::SchemaAst& schema) {
    std::vector<std::string> names;
    for (const auto& [action, declared] : schema.actions) {
      for (const auto& [field, type] : declared.fields) names.push_back("action." + field);
    }
    for (const auto& [field, type] : schema.actor.fields) names.push_back("actor." + field);
    for (const auto& [field, type] : schema.snapshot.fields) names.push_back("snapshot." + field);
    return names;
  }

  // Some part of the schema declares the field (filled by governance_filters).
  bool field_declared(std::string_view domain, std::string_view field) const {
    std::string name(domain);
    name += '.';
    name += field;
    return declared_set_.contains(name);
  }

  template <class At>
  void subject_filter(const documents::SubjectFilter& subject, const documents::SchemaAst* schema,
                      const std::string& rule_id, const std::string& path, At&& at) {
    if (subject.domain && !contains(kDomainSpellings, *subject.domain)) {
      filter_finding("filter-unknown-field",
                     "filter domain " + quoted(*subject.domain) + " is not a domain (" +
                         listed(kDomainSpellings) + "): governance rule " + quoted(rule_id) +
                         " selects no policy rule" + suggestion(*subject.domain, kDomainSpellings),
                     at(path + ".domain"), path + ".domain", rule_id);
      return;
    }
    if (schema == nullptr || !subject.field) return;
    const bool declared = subject.domain ? field_declared(*subject.domain, *subject.field)
                                         : field_declared("action", *subject.field) ||
                                               field_declared("actor", *subject.field) ||
                                               field_declared("snapshot", *subject.field);
    if (declared) return;
    filter_finding("filter-unknown-field",
                   "filter field " + quoted(*subject.field) +
                       " is not declared in the schema: governance rule " + quoted(rule_id) +
                       " selects no policy rule",
                   at(path + ".field"), path + ".field", rule_id);
  }

  void filter_finding(std::string_view code, std::string message,
                      std::optional<documents::Position> position, std::string path,
                      const std::string& rule_id) {
    add(Severity::Warning, code, std::move(message), kGovernance, position, std::move(path),
        rule_id);
  }

  void add(Severity severity, std::string_view code, std::string message, std::string_view document,
           std::optional<documents::Position> position, std::string path,
           std::optional<std::string> rule_id) {
    findings_.push_back({severity, code, std::move(message), document, position, std::move(path),
                         std::move(rule_id)});
  }

  std::vector<Finding> findings_;
  // Every "domain.field" the schema declares.
  std::unordered_set<std::string> declared_set_;
};

}  // namespace

std::string_view severity_name(Severity severity) {
  switch (severity) {
    case Severity::Error:
      return "error";
    case Severity::Warning:
      return "warning";
    case Severity::Info:
      return "info";
  }
  return "error";
}

std::vector<Finding> lint_documents(std::string_view schema_text, std::string_view policy_text,
                                    std::optional<std::string_view> governance_text) {
  const auto schema = load_schema(schema_text, no_places());
  // Every place of the policy: a compile error is placed on the token at
  // fault, however deep in the condition it stands.
  const LoadedPolicy policy = load_policy(policy_text, documents::ReadNotes{});
  Linter linter;
  linter.ignored_keys(kSchema, schema.notes);
  linter.ignored_keys(kPolicy, policy.notes, &policy);
  linter.skipped_rules(policy);
  if (policy.ast) linter.policy_rules(policy);
  if (schema.ast && policy.ast) {
    linter.compile_errors(*schema.ast, policy);
    // A skipped rule's reads are unknown: every field would look unread.
    if (policy.skipped.empty()) linter.unused_fields(*schema.ast, schema_text, *policy.ast);
  }
  if (governance_text) {
    const auto governance = load<documents::GovernanceAst>(
        *governance_text, places_of_keys({"effect", "domain", "field", "action", "must"}),
        [](std::string_view text, documents::ReadNotes* notes) {
          return documents::load_governance(text, notes);
        });
    linter.ignored_keys(kGovernance, governance.notes);
    if (governance.ast) linter.governance_filters(governance, schema.ast ? &*schema.ast : nullptr);
  }
  return std::move(linter).take();
}

}  // namespace kavro::lint
