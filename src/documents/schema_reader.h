// Reads the schema document's records (direct reading throughout).
#pragma once

#include <cstddef>

#include "documents/load_error.h"
#include "documents/location_path.h"
#include "documents/reading_context.h"
#include "documents/schema_ast.h"
#include "support/result.h"

namespace kavro::documents::detail {

Result<SchemaAst, LoadError> read_schema(ReadingContext& context, std::size_t index,
                                         const PathStep& path);

}  // namespace kavro::documents::detail
