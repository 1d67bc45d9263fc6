#include "documents/schema_reader.h"

#include <array>
#include <string_view>
#include <tuple>

#include "documents/direct_reader.h"

namespace kavro {
namespace {

struct FieldTypeNames {
  using value_type = FieldType;
  static constexpr auto spellings = spellings_of<FieldType>();
  static constexpr auto values = values_of<FieldType>();
};

// The action, actor and snapshot records share one shape: a map of fields.
template <class Record, const std::string_view& Name>
struct FieldListShape {
  using value_type = Record;
  static constexpr std::string_view name = Name;
  static constexpr auto fields = std::tuple{
      field("fields", &Record::fields, NameMapReader<NamedValueReader<FieldTypeNames>>{})};
};

constexpr std::string_view kActionSchemaName = "ActionSchemaAst";
constexpr std::string_view kActorSchemaName = "ActorSchemaAst";
constexpr std::string_view kSnapshotSchemaName = "SnapshotSchemaAst";

struct SchemaShape {
  using value_type = SchemaAst;
  static constexpr std::string_view name = "SchemaAst";
  static constexpr auto fields = std::tuple{
      field("version", &SchemaAst::version, U32Reader{}),
      field("actions", &SchemaAst::actions,
            NameMapReader<RecordReader<FieldListShape<ActionSchemaAst, kActionSchemaName>>>{}),
      field("actor", &SchemaAst::actor,
            RecordReader<FieldListShape<ActorSchemaAst, kActorSchemaName>>{}),
      field("snapshot", &SchemaAst::snapshot,
            RecordReader<FieldListShape<SnapshotSchemaAst, kSnapshotSchemaName>>{}),
  };
};

}  // namespace

Result<SchemaAst, LoadError> read_schema(ReadingContext& context, std::size_t index,
                                         const PathStep& path) {
  return RecordReader<SchemaShape>{}.read(context, index, path);
}

}  // namespace kavro
