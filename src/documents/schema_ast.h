// Records of the schema document. Maps of names keep no order; a name given
// twice keeps its later entry.
#pragma once

#include <cstdint>

#include "documents/vocabulary.h"
#include "support/string_map.h"

namespace kavro {

using FieldTypeMapAst = StringMap<FieldType>;

struct ActionSchemaAst {
  FieldTypeMapAst fields;
  bool operator==(const ActionSchemaAst&) const = default;
};
struct ActorSchemaAst {
  FieldTypeMapAst fields;
  bool operator==(const ActorSchemaAst&) const = default;
};
struct SnapshotSchemaAst {
  FieldTypeMapAst fields;
  bool operator==(const SnapshotSchemaAst&) const = default;
};

struct SchemaAst {
  std::uint32_t version = 0;
  StringMap<ActionSchemaAst> actions;
  ActorSchemaAst actor;
  SnapshotSchemaAst snapshot;
  bool operator==(const SchemaAst&) const = default;
};

}  // namespace kavro
