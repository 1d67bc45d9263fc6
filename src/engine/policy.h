// Policy: the engine's one entry point. build() reads the schema, the policy
// and the optional governance document, judges the policy by the governance
// rules, compiles it and lays out its evaluation plan; the result is a
// complete policy or one BuildError. A Policy is move-only and never changes
// after build, so any number of threads may evaluate it at once; the results
// and rule pointers it hands out live as long as it does.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiled_policy.h"
#include "documents/governance_ast.h"
#include "documents/policy_ast.h"
#include "documents/schema_ast.h"
#include "engine/build_error.h"
#include "evaluation/evaluation_input.h"
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
  // as records. `governance` may be null: no governance document.
  static Result<Policy, BuildError> from_documents(const SchemaAst& schema, const PolicyAst& policy,
                                                   const std::vector<GovernanceRule>* governance);

  Policy(Policy&&) noexcept = default;
  Policy& operator=(Policy&&) noexcept = default;
  Policy(const Policy&) = delete;
  Policy& operator=(const Policy&) = delete;
  ~Policy() = default;

  // The compiled model, for reading (text form, explanations).
  const CompiledPolicy& model() const { return plan_.model(); }
  // The model with its slots and equality index, for evaluating paths of its own.
  const Plan& plan() const { return plan_; }
  // The input fields the policy reads; an EvaluationInput is made from them.
  const FieldSlots& field_slots() const { return plan_.field_slots(); }

  // The rule that decides `input`, or nullptr when none does (the decision
  // is then allow). `input` must have been made from field_slots().
  template <class Input>
  const CompiledRule* deciding_rule(const Input& input) const {
    return find_deciding_rule(plan_, input);
  }
  EvaluationResult evaluate(const EvaluationInput& input) const;

  // SHA-256 of the model's text form, as 64 lower-case hexadecimal digits.
  std::string policy_hash() const;

 private:
  explicit Policy(Plan plan) : plan_(std::move(plan)) {}

  Plan plan_;
};

}  // namespace kavro::engine
