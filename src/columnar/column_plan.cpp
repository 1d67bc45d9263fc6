#include "columnar/column_plan.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <string_view>
#include <utility>

#include "documents/vocabulary.h"

namespace kavro::columnar::detail {

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

// Dictionaries nest only by a producer's mistake (or malice): the name stops
// after a few levels rather than follow a cycle.
std::string type_name(const ArrowSchema& schema, int depth = 0) {
  const std::string_view format = schema.format == nullptr ? "" : schema.format;
  const FormatName* known = find_format(format);
  std::string name = known != nullptr ? std::string(known->name) : std::string(format);
  if (schema.dictionary != nullptr) {
    name = depth < 4 ? "dictionary<" + type_name(*schema.dictionary, depth + 1) + ">"
                     : "dictionary<...>";
  }
  return name;
}

bool is_integer(Layout layout) {
  return layout >= Layout::Int8 && layout <= Layout::UInt64;
}
bool is_text(Layout layout) {
  return layout == Layout::Utf8 || layout == Layout::LargeUtf8 || layout == Layout::Utf8View;
}

// "d:precision,scale[,bits]": the layout of its bit width and its scale.
std::optional<Layout> decimal_layout(std::string_view format, std::int32_t& scale) {
  const std::string_view parameters = format.substr(2);
  std::int64_t numbers[3] = {0, 0, 128};
  std::size_t count = 0;
  std::size_t at = 0;
  while (count < 3 && at <= parameters.size()) {
    const std::size_t comma = std::min(parameters.find(',', at), parameters.size());
    std::string_view text = parameters.substr(at, comma - at);
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 6) return std::nullopt;
    std::int64_t value = 0;
    for (char digit : text) {
      if (digit < '0' || digit > '9') return std::nullopt;
      value = value * 10 + (digit - '0');
    }
    numbers[count++] = negative ? -value : value;
    at = comma + 1;
  }
  if (count < 2 || at <= parameters.size()) return std::nullopt;
  scale = static_cast<std::int32_t>(numbers[1]);
  switch (numbers[2]) {
    case 32:
      return Layout::Decimal32;
    case 64:
      return Layout::Decimal64;
    case 128:
      return Layout::Decimal128;
    case 256:
      return Layout::Decimal256;
  }
  return std::nullopt;
}

std::optional<Layout> layout_of(const ArrowSchema& schema, std::int32_t& scale) {
  if (schema.format == nullptr) return std::nullopt;
  const FormatName* known = find_format(schema.format);
  if (known == nullptr) return std::nullopt;
  if (known->format == "d:") return decimal_layout(schema.format, scale);
  return known->layout;
}

ColumnarError unsupported(std::string_view column, const ArrowSchema& schema) {
  return {ColumnarError::Kind::UnsupportedType,
          "column '" + std::string(column) + "' has unsupported type '" + type_name(schema) + "'"};
}

ColumnarError unknown_column(std::string message) {
  return {ColumnarError::Kind::UnknownColumn, std::move(message)};
}

ColumnarError malformed_schema(std::string_view what) {
  return {ColumnarError::Kind::MalformedData, "malformed Arrow schema: " + std::string(what)};
}

// Types one field column; on success fills the binding's layouts.
Result<Unit, ColumnarError> type_field(std::string_view column, const ArrowSchema& schema,
                                       ColumnBinding& binding) {
  const std::optional<Layout> layout = layout_of(schema, binding.scale);
  if (!layout) return fail(unsupported(column, schema));
  if (schema.dictionary == nullptr) {
    binding.layout = *layout;
    return Unit{};
  }
  // Dictionaries are accepted for text only (categoricals of strings).
  std::int32_t no_scale = 0;
  const std::optional<Layout> values = layout_of(*schema.dictionary, no_scale);
  if (!is_integer(*layout) || !values || !is_text(*values) ||
      schema.dictionary->dictionary != nullptr) {
    return fail(unsupported(column, schema));
  }
  binding.layout = *layout;
  binding.dictionary = true;
  binding.dictionary_layout = *values;
  return Unit{};
}

std::optional<documents::Domain> domain_named(std::string_view name) {
  for (documents::Domain domain :
       {documents::Domain::Action, documents::Domain::Actor, documents::Domain::Snapshot}) {
    if (name == documents::spelling(domain)) return domain;
  }
  return std::nullopt;
}

bool same_letters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A name a person would take for a request column that is not one: a domain
// in other letter case, or a domain joined to a field by something other than
// the dot (`Action`, `action_amount`, `Actor.role`).
bool looks_like_part(std::string_view name) {
  for (documents::Domain domain :
       {documents::Domain::Action, documents::Domain::Actor, documents::Domain::Snapshot}) {
    const std::string_view spelling = documents::spelling(domain);
    if (name.size() < spelling.size() || !same_letters(name.substr(0, spelling.size()), spelling))
      continue;
    if (name.size() == spelling.size()) return true;
    if (std::string_view("._-:/ ").find(name[spelling.size()]) != std::string_view::npos)
      return true;
  }
  return false;
}

std::string quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

constexpr std::string_view kForms =
    "request columns are struct columns 'action', 'actor', 'snapshot' or flat columns named "
    "'action.<field>', 'actor.<field>', 'snapshot.<field>'";
constexpr std::string_view kIgnoreHint = " (ignore_unknown_columns=True ignores such columns)";

// Which column first carried each part, and in which form.
struct PartForms {
  std::array<std::string, 3> first;
  std::array<bool, 3> as_struct{};
  bool any = false;

  Result<Unit, ColumnarError> add(documents::Domain domain, std::string_view column,
                                  bool is_struct) {
    const auto part = static_cast<std::size_t>(domain);
    any = true;
    if (first[part].empty()) {
      first[part] = column;
      as_struct[part] = is_struct;
      return Unit{};
    }
    if (!is_struct && !as_struct[part]) return Unit{};
    return fail(unknown_column("the table holds the " + std::string(documents::spelling(domain)) +
                               " part twice, as " + quoted(first[part]) + " and as " +
                               quoted(column) + ": use the struct column or flat " +
                               "columns, not both"));
  }
};

// Names of the table's columns for a message: the first few.
std::string some_names(const ArrowSchema& schema) {
  if (schema.n_children == 0) return "no columns";
  std::string names;
  constexpr std::int64_t kShown = 8;
  for (std::int64_t i = 0; i < std::min(schema.n_children, kShown); ++i) {
    const char* name = schema.children[i]->name;
    names += (i == 0 ? "" : ", ") + quoted(name == nullptr ? "" : name);
  }
  if (schema.n_children > kShown) names += ", ...";
  return "columns " + names;
}

Result<Unit, ColumnarError> check_children(const ArrowSchema& schema, std::string_view what) {
  if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr))
    return fail(malformed_schema(std::string(what) + " has no children array"));
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    if (schema.children[i] == nullptr)
      return fail(malformed_schema(std::string(what) + " has a null child"));
  }
  return Unit{};
}

}  // namespace

Result<ColumnPlan, ColumnarError> plan_columns(const ArrowSchema& schema,
                                               const evaluation::FieldSlots& slots,
                                               const ColumnRules& rules) {
  if (schema.format == nullptr || std::string_view(schema.format) != "+s") {
    return fail(ColumnarError{
        ColumnarError::Kind::UnsupportedType,
        "Arrow data must be a table or a struct array, not '" + type_name(schema) + "'"});
  }
  if (auto children = check_children(schema, "the table"); !children)
    return fail(std::move(children).error());
  ColumnPlan plan;
  PartForms parts;
  auto add = [&](documents::Domain domain, std::string_view field, std::string_view column,
                 const ArrowSchema& field_schema, std::int64_t top,
                 std::int64_t child) -> Result<Unit, ColumnarError> {
    ColumnBinding binding{top, child, slots.find(domain, field)};
    if (binding.slot == compiler::kNoSlot) {
      if (rules.ignore_unknown_columns || !rules.declared || rules.declared(domain, field))
        return Unit{};
      return fail(unknown_column("column " + quoted(column) + " is not read: the schema declares " +
                                 "no " + std::string(documents::spelling(domain)) + " field " +
                                 quoted(field) + std::string(kIgnoreHint)));
    }
    auto typed = type_field(column, field_schema, binding);
    if (!typed) return typed;
    binding.name = column;
    if (binding.layout != Layout::Null) plan.columns.push_back(std::move(binding));
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
      if (auto children = check_children(column, quoted(name)); !children)
        return fail(std::move(children).error());
      if (auto part = parts.add(*domain, name, true); !part) return fail(std::move(part).error());
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
    const auto domain =
        dot == std::string_view::npos ? std::nullopt : domain_named(name.substr(0, dot));
    if (!domain) {
      if (looks_like_part(name) && !rules.ignore_unknown_columns) {
        return fail(unknown_column("column " + quoted(name) + " is not read: " +
                                   std::string(kForms) + std::string(kIgnoreHint)));
      }
      continue;
    }
    if (auto part = parts.add(*domain, name, false); !part) return fail(std::move(part).error());
    auto added = add(*domain, name.substr(dot + 1), name, column, top, -1);
    if (!added) return fail(std::move(added).error());
  }
  if (!parts.any && !rules.ignore_unknown_columns) {
    return fail(unknown_column("the table has no request columns (" + std::string(kForms) +
                               "); it has " + some_names(schema)));
  }
  return plan;
}

}  // namespace kavro::columnar::detail
