#include "columnar/column_plan.h"

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "documents/vocabulary.h"

namespace kavro::columnar {

namespace {

struct FormatName {
  std::string_view format;
  std::string_view name;
  std::optional<Layout> layout;  // nullopt: a type no field value can have
};

// Arrow's format strings and the names messages give them. Formats with
// parameters (timestamps, decimals, ...) match by prefix.
constexpr std::array<FormatName, 31> kFormats = {{
    {"n", "null", Layout::Null},
    {"b", "bool", Layout::Boolean},
    {"c", "int8", Layout::Int8},
    {"s", "int16", Layout::Int16},
    {"i", "int32", Layout::Int32},
    {"l", "int64", Layout::Int64},
    {"C", "uint8", Layout::UInt8},
    {"S", "uint16", Layout::UInt16},
    {"I", "uint32", Layout::UInt32},
    {"L", "uint64", Layout::UInt64},
    {"e", "float16", Layout::Float16},
    {"f", "float32", Layout::Float32},
    {"g", "float64", Layout::Float64},
    {"u", "utf8", Layout::Utf8},
    {"U", "large_utf8", Layout::LargeUtf8},
    {"vu", "string_view", Layout::Utf8View},
    {"z", "binary", std::nullopt},
    {"Z", "large_binary", std::nullopt},
    {"vz", "binary_view", std::nullopt},
    {"tdD", "date32", std::nullopt},
    {"tdm", "date64", std::nullopt},
    {"tt", "time", std::nullopt},
    {"ts", "timestamp", std::nullopt},
    {"tD", "duration", std::nullopt},
    {"ti", "interval", std::nullopt},
    {"d:", "decimal", std::nullopt},
    {"w:", "fixed_size_binary", std::nullopt},
    {"+l", "list", std::nullopt},
    {"+L", "large_list", std::nullopt},
    {"+s", "struct", std::nullopt},
    {"+m", "map", std::nullopt},
}};

const FormatName* find_format(std::string_view format) {
  for (const FormatName& known : kFormats) {
    const bool exact = known.format.size() == format.size() && known.format == format;
    // Only formats that carry parameters (timestamps, decimals, ...) match by prefix.
    const bool prefixed =
        (known.format.size() >= 2 && (known.format[0] == 't' || known.format.back() == ':')) &&
        format.starts_with(known.format);
    if (exact || prefixed) return &known;
  }
  return nullptr;
}

std::string type_name(const ArrowSchema& schema) {
  const std::string_view format = schema.format == nullptr ? "" : schema.format;
  const FormatName* known = find_format(format);
  std::string name = known != nullptr ? std::string(known->name) : std::string(format);
  if (schema.dictionary != nullptr) name = "dictionary<" + type_name(*schema.dictionary) + ">";
  return name;
}

bool is_integer(Layout layout) {
  return layout >= Layout::Int8 && layout <= Layout::UInt64;
}
bool is_text(Layout layout) {
  return layout == Layout::Utf8 || layout == Layout::LargeUtf8 || layout == Layout::Utf8View;
}

std::optional<Layout> layout_of(const ArrowSchema& schema) {
  if (schema.format == nullptr) return std::nullopt;
  const FormatName* known = find_format(schema.format);
  if (known == nullptr) return std::nullopt;
  return known->layout;
}

ColumnarError unsupported(std::string_view column, const ArrowSchema& schema) {
  return {ColumnarError::Kind::UnsupportedType,
          "column '" + std::string(column) + "' has unsupported type '" + type_name(schema) + "'"};
}

// Types one field column; on success fills the binding's layouts.
Result<Unit, ColumnarError> type_field(std::string_view column, const ArrowSchema& schema,
                                       ColumnBinding& binding) {
  const std::optional<Layout> layout = layout_of(schema);
  if (!layout) return fail(unsupported(column, schema));
  if (schema.dictionary == nullptr) {
    binding.layout = *layout;
    return Unit{};
  }
  // Dictionaries are accepted for text only (categoricals of strings).
  const std::optional<Layout> values = layout_of(*schema.dictionary);
  if (!is_integer(*layout) || !values || !is_text(*values) ||
      schema.dictionary->dictionary != nullptr) {
    return fail(unsupported(column, schema));
  }
  binding.layout = *layout;
  binding.dictionary = true;
  binding.dictionary_layout = *values;
  return Unit{};
}

std::optional<Domain> domain_named(std::string_view name) {
  for (Domain domain : {Domain::Action, Domain::Actor, Domain::Snapshot}) {
    if (name == spelling(domain)) return domain;
  }
  return std::nullopt;
}

}  // namespace

Result<ColumnPlan, ColumnarError> plan_columns(const ArrowSchema& schema, const FieldSlots& slots) {
  if (schema.format == nullptr || std::string_view(schema.format) != "+s") {
    return fail(ColumnarError{
        ColumnarError::Kind::UnsupportedType,
        "Arrow data must be a table or a struct array, not '" + type_name(schema) + "'"});
  }
  ColumnPlan plan;
  auto add = [&](Domain domain, std::string_view field, std::string_view column,
                 const ArrowSchema& field_schema, std::int64_t top,
                 std::int64_t child) -> Result<Unit, ColumnarError> {
    ColumnBinding binding{top, child, slots.find(domain, field)};
    auto typed = type_field(column, field_schema, binding);
    if (!typed) return typed;
    if (binding.slot != kNoSlot && binding.layout != Layout::Null) plan.columns.push_back(binding);
    return Unit{};
  };
  for (std::int64_t top = 0; top < schema.n_children; ++top) {
    const ArrowSchema& column = *schema.children[top];
    const std::string_view name = column.name == nullptr ? "" : column.name;
    if (const auto domain = domain_named(name)) {
      // A whole domain: a struct whose children are its fields.
      if (column.format == nullptr || std::string_view(column.format) != "+s" ||
          column.dictionary != nullptr) {
        return fail(unsupported(name, column));
      }
      for (std::int64_t child = 0; child < column.n_children; ++child) {
        const ArrowSchema& field = *column.children[child];
        const std::string_view field_name = field.name == nullptr ? "" : field.name;
        const std::string path = std::string(name) + "." + std::string(field_name);
        auto added = add(*domain, field_name, path, field, top, child);
        if (!added) return fail(std::move(added).error());
      }
      continue;
    }
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) continue;
    const auto domain = domain_named(name.substr(0, dot));
    if (!domain) continue;
    auto added = add(*domain, name.substr(dot + 1), name, column, top, -1);
    if (!added) return fail(std::move(added).error());
  }
  return plan;
}

}  // namespace kavro::columnar
