// SchemaIndex: the compiler's read-only lookup view of a schema document.
// Built by build_schema_index and dropped when construction ends.
#pragma once

#include "documents/vocabulary.h"
#include "support/string_map.h"

namespace kavro {

using FieldTypes = StringMap<FieldType>;

struct SchemaIndex {
  StringMap<FieldTypes> actions;
  FieldTypes actor_fields;
  FieldTypes snapshot_fields;
};

}  // namespace kavro
