#include "compiler/schema_index.h"

#include "compiler/compiler.h"

namespace kavro {
namespace {

FieldTable field_table(const FieldTypeMapAst& fields) {
  FieldTable table;
  table.reserve(fields.size());
  for (const auto& [name, type] : fields) table.emplace(name, type);
  return table;
}

}  // namespace

SchemaIndex build_schema_index(const SchemaAst& schema) {
  SchemaIndex index;
  index.actions.reserve(schema.actions.size());
  for (const auto& [name, action] : schema.actions) {
    index.actions.emplace(name, field_table(action.fields));
  }
  index.actor_fields = field_table(schema.actor.fields);
  index.snapshot_fields = field_table(schema.snapshot.fields);
  return index;
}

}  // namespace kavro
