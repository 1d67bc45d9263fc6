// Reads the policy document's records (direct reading down to each rule's scope and when, trial
// reading below them).
#pragma once

#include <cstddef>

#include "documents/load_error.h"
#include "documents/location_path.h"
#include "documents/policy_ast.h"
#include "documents/reading_context.h"
#include "support/result.h"

namespace kavro::documents::detail {

Result<PolicyAst, LoadError> read_policy(ReadingContext& context, std::size_t index,
                                         const PathStep& path);

}  // namespace kavro::documents::detail
