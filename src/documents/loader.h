// Entry points of the document loader: one per document root. Each returns
// the record tree or the LoadError of the first fault. Never throws; any text
// is accepted as input. `notes`, when given, collects what reading noticed;
// it changes nothing else.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "documents/governance_ast.h"
#include "documents/load_error.h"
#include "documents/policy_ast.h"
#include "documents/read_notes.h"
#include "documents/schema_ast.h"
#include "support/result.h"

namespace kavro::documents {

Result<SchemaAst, LoadError> load_schema(std::string_view text, ReadNotes* notes = nullptr);
Result<PolicyAst, LoadError> load_policy(std::string_view text, ReadNotes* notes = nullptr);
Result<GovernanceAst, LoadError> load_governance(std::string_view text, ReadNotes* notes = nullptr);

// A rule of the policy that did not read.
struct SkippedRule {
  std::size_t index;  // in the document's rule list, from 0
  LoadError error;
};

// The policy read past its faulty rules, for tools that show every error in
// one run: `policy` holds the rules that read (or the fault that ended the
// reading, outside any rule), `skipped` the others in document order. When a
// rule is skipped, its error is the one load_policy returns for the first.
struct PolicyReading {
  Result<PolicyAst, LoadError> policy;
  std::vector<SkippedRule> skipped;
};
PolicyReading read_policy_past_faulty_rules(std::string_view text, ReadNotes* notes = nullptr);

}  // namespace kavro::documents
