// The policy compiler: validates a policy document against the schema and
// produces the CompiledPolicy, or the first CompileError in document order.
#pragma once

#include "compiler/compile_error.h"
#include "compiler/compiled_policy.h"
#include "compiler/schema_index.h"
#include "documents/policy_ast.h"
#include "documents/schema_ast.h"
#include "support/result.h"

namespace kavro {

// Cannot fail: every declared name and type is taken as it is.
SchemaIndex build_schema_index(const SchemaAst& schema);
Result<CompiledPolicy, CompileError> compile_policy(const SchemaIndex& schema,
                                                    const PolicyAst& policy);

}  // namespace kavro
