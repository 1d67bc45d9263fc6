// Decides every row of Arrow input: each row decides exactly as evaluate
// would on the dict of that row's non-null values. Reads a stream batch by
// batch, releasing each batch once decided, so working memory beyond the
// decisions themselves does not grow with the number of rows.
//
// Needs no Python: callers may run it with the interpreter lock released.
#pragma once

#include "columnar/arrow_abi.h"
#include "columnar/column_plan.h"
#include "columnar/columnar_error.h"
#include "columnar/decisions.h"
#include "engine/policy.h"
#include "support/result.h"

namespace kavro::columnar {

// Consumes the stream (releasing it is still the caller's, through Owned).
Result<DecisionSet, ColumnarError> decide_stream(const engine::Policy& policy,
                                                 ArrowArrayStream& stream,
                                                 const ColumnRules& rules = {});

// One struct array (a record batch) of the given schema.
Result<DecisionSet, ColumnarError> decide_array(const engine::Policy& policy,
                                                const ArrowSchema& schema, const ArrowArray& array,
                                                const ColumnRules& rules = {});

}  // namespace kavro::columnar
