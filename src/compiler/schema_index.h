// SchemaIndex: the compiler's read-only lookup view of a schema document.
// Built by build_schema_index; the engine keeps it to check requests.
#pragma once

#include "documents/vocabulary.h"
#include "support/string_map.h"

namespace kavro::compiler {

using FieldTypes = StringMap<documents::FieldType>;

struct SchemaIndex {
  StringMap<FieldTypes> actions;
  FieldTypes actor_fields;
  FieldTypes snapshot_fields;
};

}  // namespace kavro::compiler
