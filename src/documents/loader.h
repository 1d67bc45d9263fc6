// Entry points of the document loader: one per document root. Each returns
// the record tree or the LoadError of the first fault. Never throws; any text
// is accepted as input. `notes`, when given, collects what reading noticed;
// it changes nothing else.
#pragma once

#include <string_view>

#include "documents/governance_ast.h"
#include "documents/load_error.h"
#include "documents/policy_ast.h"
#include "documents/read_notes.h"
#include "documents/schema_ast.h"
#include "support/result.h"

namespace kavro {

Result<SchemaAst, LoadError> load_schema(std::string_view text, ReadNotes* notes = nullptr);
Result<PolicyAst, LoadError> load_policy(std::string_view text, ReadNotes* notes = nullptr);
Result<GovernanceAst, LoadError> load_governance(std::string_view text, ReadNotes* notes = nullptr);

}  // namespace kavro
