#include "compiler/schema_index.h"

#include "compiler/compiler.h"

namespace kavro {
namespace {

FieldTypes field_types(const FieldTypeMapAst& fields) {
  FieldTypes table;
  table.reserve(fields.size());
  for (const auto& [name, type] : fields) table.emplace(name, type);
  return table;
}

}  // namespace

SchemaIndex build_schema_index(const SchemaAst& schema) {
  SchemaIndex index;
  index.actions.reserve(schema.actions.size());
  for (const auto& [name, action] : schema.actions) {
    index.actions.emplace(name, field_types(action.fields));
  }
  index.actor_fields = field_types(schema.actor.fields);
  index.snapshot_fields = field_types(schema.snapshot.fields);
  return index;
}

}  // namespace kavro
