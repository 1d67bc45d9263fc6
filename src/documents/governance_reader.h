// Reads the governance document's records (direct reading, trial reading for each rule's must).
#pragma once

#include <cstddef>

#include "documents/governance_ast.h"
#include "documents/load_error.h"
#include "documents/location_path.h"
#include "documents/reading_context.h"
#include "support/result.h"

namespace kavro::documents::detail {

Result<GovernanceAst, LoadError> read_governance(ReadingContext& context, std::size_t index,
                                                 const PathStep& path);

}  // namespace kavro::documents::detail
