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
#include "engine/records.h"
#include "governance/violation.h"

namespace kavro::engine {

enum class Document : std::uint8_t { Schema, Policy, Governance };

// The policy was read and is well formed, but governance rules reject it.
struct GovernanceFailure {
  std::vector<governance::GovernanceViolation> violations;
};

// A violated governance rule as reported: the rule's id and message, what it
// demands and what the policy holds instead, and where the rule is written.
struct PlacedViolation {
  std::string rule_id;
  std::string message;
  std::string constraint;  // "max_count: 1"
  std::string found;       // "2 rules selected: 'a', 'b'"
  std::optional<Place> place;
};

class BuildError {
 public:
  // Alternatives: the document did not load, the policy did not compile, or
  // governance rejected it.
  using Reason = std::variant<documents::LoadError, compiler::CompileError, GovernanceFailure>;

  BuildError(Document document, Reason reason);

  // A load error names the document it was reading; a compile error is
  // always the policy's; a governance failure is the governance document's
  // verdict, and its violations name that document's rules.
  Document document() const { return document_; }
  const Reason& reason() const { return reason_; }

  const documents::LoadError* load_error() const {
    return std::get_if<documents::LoadError>(&reason_);
  }
  const compiler::CompileError* compile_error() const {
    return std::get_if<compiler::CompileError>(&reason_);
  }
  const GovernanceFailure* governance_failure() const {
    return std::get_if<GovernanceFailure>(&reason_);
  }
  // Where the message points in its document, when it names a place.
  std::optional<documents::Position> position() const;
  // The policy rule being compiled, for compile errors.
  const std::optional<compiler::RuleRef>& rule() const;

  std::string render() const;

  // The same, as the door reports it: "schema", "policy" or "governance".
  std::string_view document_name() const;
  // "Load", the compile error's kind ("UnknownField", ...) or "GovernanceFailed".
  std::string_view kind() const;
  // Where the failure is, as far as reading recorded it: a load error's own
  // place; the part of the rule a compile error is about; the first violated
  // governance rule. The location path ("rules[2].when") goes with it.
  const std::optional<Place>& place() const { return place_; }
  const std::string& path() const { return path_; }
  // Each violated governance rule, placed and described; empty otherwise.
  const std::vector<PlacedViolation>& violations() const { return violations_; }

  // Set by the build, which holds what its one read of the documents noticed.
  void locate(std::optional<Place> place, std::string path);
  void set_violations(std::vector<PlacedViolation> violations);

 private:
  Document document_;
  Reason reason_;
  std::optional<Place> place_;
  std::string path_;
  std::vector<PlacedViolation> violations_;
};

// A reader's position (from 0) as a place (from 1).
inline Place place_of(const documents::Position& position) {
  return Place{position.line + 1, position.column + 1};
}

// "[GovernanceViolation { rule_id: \"..\", message: \"..\" }, ...]", the text
// that follows "governance validation failed: ".
std::string violations_text(const std::vector<governance::GovernanceViolation>& violations);

}  // namespace kavro::engine
