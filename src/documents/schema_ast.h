// Records of the schema document. Maps of names keep no order; a name given
// twice keeps its later entry.
#pragma once

#include <cstdint>

#include "support/string_map.h"

namespace kavro {

enum class FieldTypeAst : std::uint8_t { String = 0, Number = 1, Boolean = 2 };

using FieldTypeMapAst = StringMap<FieldTypeAst>;

struct ActionSchemaAst {
  FieldTypeMapAst fields;
};
struct ActorSchemaAst {
  FieldTypeMapAst fields;
};
struct SnapshotSchemaAst {
  FieldTypeMapAst fields;
};

struct SchemaAst {
  std::uint32_t version = 0;
  StringMap<ActionSchemaAst> actions;
  ActorSchemaAst actor;
  SnapshotSchemaAst snapshot;
};

}  // namespace kavro
