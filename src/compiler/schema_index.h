// SchemaIndex: the compiler's read-only lookup view of a schema document.
// Built by build_schema_index and dropped when construction ends.
#pragma once

#include "documents/vocabulary.h"
#include "support/string_map.h"

namespace kavro {

using FieldTable = StringMap<FieldType>;

struct SchemaIndex {
  StringMap<FieldTable> actions;
  FieldTable actor_fields;
  FieldTable snapshot_fields;
};

}  // namespace kavro
