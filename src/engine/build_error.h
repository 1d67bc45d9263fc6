// BuildError: why Policy::build produced no policy. Knows the document it
// came from and, as data, what the message says (its kind, the position it
// names, the rule being compiled); render() is the one-line message that
// Python callers see. A value type; building one never fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "compiler/compile_error.h"
#include "documents/load_error.h"
#include "documents/position.h"
#include "governance/violation.h"

namespace kavro::engine {

enum class Document : std::uint8_t { Schema, Policy, Governance };

// The policy was read and is well formed, but governance rules reject it.
struct GovernanceFailure {
  std::vector<GovernanceViolation> violations;
};

class BuildError {
 public:
  // Alternatives: the document did not load, the policy did not compile, or
  // governance rejected it.
  using Reason = std::variant<LoadError, CompileError, GovernanceFailure>;

  BuildError(Document document, Reason reason) : document_(document), reason_(std::move(reason)) {}

  // A load error names the document it was reading; a compile error is
  // always the policy's; a governance failure is the governance document's
  // verdict, and its violations name that document's rules.
  Document document() const { return document_; }
  const Reason& reason() const { return reason_; }

  const LoadError* load_error() const { return std::get_if<LoadError>(&reason_); }
  const CompileError* compile_error() const { return std::get_if<CompileError>(&reason_); }
  const GovernanceFailure* governance_failure() const {
    return std::get_if<GovernanceFailure>(&reason_);
  }
  // Where the message points in its document, when it names a place.
  std::optional<Position> position() const;
  // The policy rule being compiled, for compile errors.
  const std::optional<RuleRef>& rule() const;

  std::string render() const;

 private:
  Document document_;
  Reason reason_;
};

// "[GovernanceViolation { rule_id: \"..\", message: \"..\" }, ...]", the text
// that follows "governance validation failed: ".
std::string violations_text(const std::vector<GovernanceViolation>& violations);

}  // namespace kavro::engine
