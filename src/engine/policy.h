// Policy: the engine's one entry point. build() reads the schema, the policy
// and the optional governance document, judges the policy by the governance
// rules, compiles it and lays out its evaluation plan; the result is a
// complete policy or one BuildError, placed in its document by what that one
// read recorded. A Policy is move-only and never changes after build, so any
// number of threads may evaluate, explain and check requests at once; what
// it hands out lives as long as it does.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiled_policy.h"
#include "compiler/schema_index.h"
#include "documents/governance_ast.h"
#include "documents/policy_ast.h"
#include "documents/read_notes.h"
#include "documents/schema_ast.h"
#include "engine/build_error.h"
#include "engine/records.h"
#include "engine/values.h"
#include "evaluation/evaluation_result.h"
#include "evaluation/evaluator.h"
#include "evaluation/plan.h"
#include "support/result.h"

namespace kavro::engine {

class Policy {
 public:
  static Result<Policy, BuildError> build(std::string_view schema_text,
                                          std::string_view policy_text,
                                          std::optional<std::string_view> governance_text = {});
  // The same steps after loading, for callers that already hold the documents
  // as records. `governance` may be null: no governance document. Without the
  // texts, nothing is placed: rules and errors carry no line.
  static Result<Policy, BuildError> from_documents(
      const documents::SchemaAst& schema, const documents::PolicyAst& policy,
      const std::vector<documents::GovernanceRule>* governance);

  Policy(Policy&&) noexcept = default;
  Policy& operator=(Policy&&) noexcept = default;
  Policy(const Policy&) = delete;
  Policy& operator=(const Policy&) = delete;
  ~Policy() = default;

  // The input fields the policy reads; an Input is made from them.
  const InputFields& input_fields() const { return plan_.field_slots(); }

  // The number of the rule that decides `input` (its place in the document),
  // or no_rule() when none does (the default effect decides). `input` must
  // have been made from input_fields().
  template <class In>
  std::uint32_t deciding_number(const In& input) const {
    const compiler::CompiledRule* rule = find_deciding_rule(plan_, input);
    return rule == nullptr ? no_rule() : rule->number;
  }
  // The same rule itself, or nullptr, for readers of whole batches that
  // gather the deciding rules' effects and ids.
  template <class In>
  const compiler::CompiledRule* deciding_rule(const In& input) const {
    const compiler::CompiledRule* rule = find_deciding_rule(plan_, input);
    return rule != nullptr ? rule : no_match_rule();
  }
  // What deciding_rule answers for a request no rule matches: null, read as
  // the policy's default effect without a rule. Batch readers that find the rules' matches by
  // other means give the rows no rule matched this answer too.
  const compiler::CompiledRule* no_match_rule() const { return nullptr; }
  // The evaluation plan, for readers of whole batches that decide a bucket's
  // rows together rather than row by row.
  const evaluation::Plan& plan() const { return plan_; }
  std::uint32_t no_rule() const { return static_cast<std::uint32_t>(rules_.size()); }
  evaluation::EvaluationResult evaluate(const Input& input) const;

  // The same decision found by a plain scan that records every rule examined
  // and every comparison made. Slower; never decides differently.
  ExplainedDecision explain(const Input& input) const;

  // What the schema does not expect of one request: `sections` are its
  // top-level keys, `entries` the entries of its maps in request order.
  // The fields that the rules deciding `input` (its action's, then the
  // global rules) read and `input` lacks, each once in rule order, as
  // MissingField problems: every comparison with such a field is false, so
  // a block rule on it lets the request through.
  std::vector<RequestProblem> missing_fields(const Input& input) const;
  std::vector<RequestProblem> check_request(std::span<const std::string_view> sections,
                                            std::span<const RequestEntry> entries) const;

  // Whether the schema declares `field` in `domain` (for an action field: in
  // any action; `type` always), for tools that judge columns or keys the
  // policy does not read.
  bool declares(Domain domain, std::string_view field) const;

  // The compiled rules: action buckets first, then actor buckets, then the
  // global rules, each bucket in document order.
  std::vector<CompiledRuleView> compiled_rules() const;

  // Every rule of the document, by number.
  const std::vector<RuleEntry>& rules() const { return rules_; }
  // The effect when no rule decides: allow, unless a version-2 policy says.
  Effect default_effect() const { return plan_.model().default_effect; }
  // The effect of a decision by rule `number`; no_rule(): the default effect.
  Effect effect_of(std::uint32_t number) const {
    return number == no_rule() ? default_effect() : rules_[number].effect;
  }
  // How many rules there are of each scope kind (action, actor, global), and
  // of distinct actions and actors.
  struct Counts {
    std::size_t action_rules, actions, actor_rules, actors, global_rules;
  };
  Counts counts() const;

  // SHA-256 of the model's text form, as 64 lower-case hexadecimal digits.
  // Computed on the first call (any number of threads may ask at once; the
  // others wait for that one) and kept.
  const std::string& policy_hash() const;

 private:
  // Tests and fuzzers look at the model through a struct of their own by this
  // name; nothing in src/ defines it.
  friend struct PolicyProbe;

  struct HashCell;
  struct HashCellDeleter {
    void operator()(HashCell* cell) const;
  };

  Policy(evaluation::Plan plan, compiler::SchemaIndex schema, std::vector<RuleEntry> rules);

  // The notes are what reading noticed, when the documents were read from
  // text; null otherwise.
  static Result<Policy, BuildError> assemble(
      const documents::SchemaAst& schema, const documents::PolicyAst& policy,
      const std::vector<documents::GovernanceRule>* governance,
      const documents::ReadNotes* policy_notes, const documents::ReadNotes* governance_notes);

  evaluation::Plan plan_;
  compiler::SchemaIndex schema_;
  std::vector<RuleEntry> rules_;
  std::unique_ptr<HashCell, HashCellDeleter> hash_;
};

}  // namespace kavro::engine
