// The Arrow consumer against producers that lie: the schema and the arrays
// of a table are built from the input (formats, names, lengths, offsets,
// null counts, buffers, children, dictionaries, null pointers where pointers
// belong), then decided as evaluate_arrow decides a table or a stream.
//
// Buffers are always as large as the arrays' own offset + length say: the C
// data interface carries no buffer sizes, so a consumer cannot tell a short
// buffer from a long one, and a short one would report the fuzzer's lie.
// Everything the consumer can check is left to chance instead: offsets
// inside text buffers, view lengths and buffer numbers, dictionary indices,
// children shorter than their parent, offsets whose sum overflows (those
// arrays get no real buffers: the sum must be refused before any read).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/columnar_decider.h"
#include "engine/policy.h"

namespace {

using kavro::columnar::ArrowArray;
using kavro::columnar::ArrowArrayStream;
using kavro::columnar::ArrowSchema;

constexpr std::string_view kSchema = R"(version: 1
actions:
  refund: { fields: { amount: number, currency: string, urgent: boolean } }
actor: { fields: { role: string, level: number } }
snapshot: { fields: { load: number, zone: string } }
)";

constexpr std::string_view kPolicy = R"(version: 1
rules:
  - { id: large, scope: { action: refund }, when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }, effect: block }
  - { id: euro, scope: { action: refund }, when: { all: [ { subject: [action, currency], operator: equals, value: { literal: EUR } }, { subject: [action, urgent], operator: equals, value: { literal: true } } ] }, effect: require_approval }
  - { id: admin, scope: { global: true }, when: { subject: [actor, role], operator: equals, value: { literal: admin } }, effect: allow }
  - { id: busy, scope: { global: true }, when: { subject: [snapshot, load], operator: greater_than, value: { subject: [actor, level] } }, effect: block }
  - { id: zone, scope: { global: true }, when: { subject: [snapshot, zone], operator: not_equals, value: { literal: eu } }, effect: require_approval }
)";

const kavro::engine::Policy& policy() {
  static const kavro::engine::Policy built = [] {
    auto result = kavro::engine::Policy::build(kSchema, kPolicy);
    if (!result) __builtin_trap();
    return std::move(*result);
  }();
  return built;
}

// The input, read front to back; zeros once it runs out.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint8_t below(std::uint8_t bound) { return static_cast<std::uint8_t>(byte() % bound); }
  bool chance(std::uint8_t in_256) { return byte() < in_256; }
  void fill(unsigned char* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] = byte();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

constexpr const char* kNames[] = {
    "action.type", "action.amount", "action.currency", "action.urgent", "actor.role",
    "actor.level", "snapshot.load", "snapshot.zone",   "action",        "actor",
    "snapshot",    "Action",        "action_amount",   "action.Amount", "other",
};
constexpr const char* kFieldNames[] = {"type",  "amount", "currency", "urgent", "role",
                                       "level", "load",   "zone",     "Level",  ""};
constexpr const char* kFormats[] = {
    "n",         "b",          "c",      "s",   "i", "l",  "C",   "S",      "I",
    "L",         "e",          "f",      "g",   "u", "U",  "vu",  "d:10,2", "d:5,1,32",
    "d:18,2,64", "d:40,2,256", "d:9,-2", "tdD", "z", "+l", "d:x",
};

void no_release(ArrowSchema* schema) {
  schema->release = nullptr;
}
void no_release(ArrowArray* array) {
  array->release = nullptr;
}

// Owns every struct and buffer of one input.
struct Arena {
  std::deque<ArrowSchema> schemas;
  std::deque<ArrowArray> arrays;
  std::deque<std::vector<ArrowSchema*>> schema_lists;
  std::deque<std::vector<ArrowArray*>> array_lists;
  std::deque<std::vector<const void*>> buffer_lists;
  std::deque<std::vector<unsigned char>> buffers;

  unsigned char* buffer(std::size_t bytes, Bytes& in) {
    // One byte more, so that no buffer is null because it is empty.
    buffers.emplace_back(bytes + 1);
    in.fill(buffers.back().data(), bytes);
    return buffers.back().data();
  }
};

// An array's own length and offset: small, or with a sum that overflows.
struct Extent {
  std::int64_t length = 0;
  std::int64_t offset = 0;
  bool huge = false;
  std::int64_t end() const { return huge ? 0 : offset + length; }
};

Extent pick_extent(Bytes& in) {
  Extent extent;
  const std::uint8_t shape = in.byte();
  if (shape < 16) {
    const std::int64_t back = shape & 7;
    extent.offset = std::numeric_limits<std::int64_t>::max() - back;
    extent.length = back + 1 + in.below(4);
    extent.huge = true;
    return extent;
  }
  extent.length = in.below(70);
  extent.offset = shape < 160 ? 0 : in.below(9);
  return extent;
}

// Bytes of the values buffer for `end` values of `format` (0: none needed).
std::size_t value_bytes(std::string_view format, std::int64_t end) {
  const auto n = static_cast<std::size_t>(end);
  if (format == "b") return (n + 7) / 8;
  if (format == "c" || format == "C") return n;
  if (format == "s" || format == "S" || format == "e") return 2 * n;
  if (format == "i" || format == "I" || format == "f" || format == "tdD" || format == "d:5,1,32") {
    return 4 * n;
  }
  if (format == "l" || format == "L" || format == "g" || format == "d:18,2,64") return 8 * n;
  if (format == "vu" || format == "d:10,2" || format == "d:9,-2") return 16 * n;
  if (format == "d:40,2,256") return 32 * n;
  return 0;
}

// Offsets of `end` text values (end + 1 of them) of width W, drawn from the
// input except the last, which truthfully gives the data's size.
template <class W>
void text_buffers(Arena& arena, Bytes& in, std::int64_t end, std::vector<const void*>& out) {
  const std::size_t data_size = in.below(48);
  auto* offsets = arena.buffer(sizeof(W) * static_cast<std::size_t>(end + 1), in);
  const W last = static_cast<W>(data_size);
  std::memcpy(offsets + sizeof(W) * static_cast<std::size_t>(end), &last, sizeof(W));
  out.push_back(offsets);
  out.push_back(arena.buffer(data_size, in));
}

// The buffers of an array of `format` spanning `extent`.
std::vector<const void*> make_buffers(Arena& arena, Bytes& in, std::string_view format,
                                      const Extent& extent, std::int64_t null_count) {
  std::vector<const void*> buffers;
  if (format == "n") return buffers;
  const std::int64_t end = extent.end();
  const bool validity = null_count != 0 && in.chance(200);
  buffers.push_back(validity
                        ? arena.buffer(extent.huge ? 8 : static_cast<std::size_t>(end + 7) / 8, in)
                        : nullptr);
  if (format == "+s") return buffers;
  if (extent.huge) {
    // Never to be read: the extent overflows.
    for (int i = 0; i < 3; ++i) buffers.push_back(arena.buffer(64, in));
    return buffers;
  }
  if (format == "u" || format == "z") {
    text_buffers<std::int32_t>(arena, in, end, buffers);
  } else if (format == "U") {
    text_buffers<std::int64_t>(arena, in, end, buffers);
  } else {
    buffers.push_back(arena.buffer(value_bytes(format, end), in));
    if (format == "vu") {
      // Variadic data buffers with truthful sizes, then the sizes.
      const std::uint8_t count = in.below(3);
      std::vector<std::int64_t> sizes;
      for (std::uint8_t i = 0; i < count; ++i) {
        sizes.push_back(in.below(40));
        buffers.push_back(arena.buffer(static_cast<std::size_t>(sizes.back()), in));
      }
      auto* size_buffer = arena.buffer(8 * sizes.size(), in);
      if (!sizes.empty()) std::memcpy(size_buffer, sizes.data(), 8 * sizes.size());
      buffers.push_back(size_buffer);
    }
  }
  return buffers;
}

std::int64_t pick_null_count(Bytes& in, const Extent& extent) {
  switch (in.below(4)) {
    case 0:
      return 0;
    case 1:
      return -1;
    case 2:
      return extent.length;
    default:
      return in.below(8);
  }
}

// A schema node and its array, both of `format`.
struct Built {
  ArrowSchema* schema;
  ArrowArray* array;
};

Built make_column(Arena& arena, Bytes& in, const char* name, int depth);

// Spoils one pointer the consumer follows, now and then.
void maybe_spoil(Bytes& in, ArrowArray& array) {
  switch (in.below(24)) {
    case 0:
      array.buffers = nullptr;
      break;
    case 1:
      if (array.n_buffers > 1) const_cast<const void**>(array.buffers)[1] = nullptr;
      break;
    case 2:
      if (array.n_buffers > 2)
        const_cast<const void**>(array.buffers)[array.n_buffers - 1] = nullptr;
      break;
    case 3:
      if (array.n_buffers > 0) --array.n_buffers;
      break;
    case 4:
      array.children = nullptr;
      break;
    case 5:
      if (array.n_children > 0) array.children[0] = nullptr;
      break;
    case 6:
      array.dictionary = nullptr;
      break;
    default:
      break;
  }
}

Built make_array(Arena& arena, Bytes& in, const char* name, const char* format, int depth) {
  ArrowSchema& schema = arena.schemas.emplace_back();
  schema = {format, name, nullptr, 2, 0, nullptr, nullptr, no_release, nullptr};
  ArrowArray& array = arena.arrays.emplace_back();
  const Extent extent = pick_extent(in);
  const std::int64_t null_count = pick_null_count(in, extent);
  std::vector<const void*>& buffers =
      arena.buffer_lists.emplace_back(make_buffers(arena, in, format, extent, null_count));
  array = {extent.length,
           null_count,
           extent.offset,
           static_cast<std::int64_t>(buffers.size()),
           0,
           buffers.data(),
           nullptr,
           nullptr,
           no_release,
           nullptr};
  if (std::string_view(format) == "+s" && depth < 2) {
    const std::uint8_t count = in.below(4);
    auto& schema_children = arena.schema_lists.emplace_back();
    auto& array_children = arena.array_lists.emplace_back();
    for (std::uint8_t i = 0; i < count; ++i) {
      const Built child = make_column(arena, in, kFieldNames[in.below(10)], depth + 1);
      schema_children.push_back(child.schema);
      array_children.push_back(child.array);
    }
    schema.n_children = count;
    schema.children = schema_children.data();
    array.n_children = in.chance(16) ? count - 1 : count;
    array.children = array_children.data();
  }
  return {&schema, &array};
}

Built make_column(Arena& arena, Bytes& in, const char* name, int depth) {
  const std::uint8_t kind = in.byte();
  if (kind < 32) {
    // Dictionary-encoded text: integer indices over a utf8 dictionary.
    constexpr const char* kIndices[] = {"c", "s", "i", "l", "C", "L"};
    Built indices = make_array(arena, in, name, kIndices[in.below(6)], depth);
    Built values = make_array(arena, in, "", in.chance(128) ? "u" : "vu", depth);
    indices.schema->dictionary = values.schema;
    indices.array->dictionary = values.array;
    maybe_spoil(in, *values.array);
    maybe_spoil(in, *indices.array);
    return indices;
  }
  const char* format = kind < 80 ? "+s" : kFormats[in.below(std::size(kFormats))];
  Built built = make_array(arena, in, name, format, depth);
  maybe_spoil(in, *built.array);
  return built;
}

// A stream over one batch, lent `times` times, or failing at a chosen call.
struct OneBatchStream {
  ArrowSchema* schema;
  ArrowArray* batch;
  int times;
  int fail_at;  // the get_next call that fails (-1: none)
  int calls = 0;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  *out = *static_cast<OneBatchStream*>(stream->private_data)->schema;
  return 0;
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto& state = *static_cast<OneBatchStream*>(stream->private_data);
  const int call = state.calls++;
  if (call == state.fail_at) return 5;
  if (call < state.times) {
    *out = *state.batch;
  } else {
    out->release = nullptr;
  }
  return 0;
}

const char* stream_error(ArrowArrayStream*) {
  return "the fuzzer's stream failed";
}

void stream_release(ArrowArrayStream* stream) {
  stream->release = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  Arena arena;
  const std::uint8_t columns = in.below(5);
  auto& schema_columns = arena.schema_lists.emplace_back();
  auto& array_columns = arena.array_lists.emplace_back();
  for (std::uint8_t i = 0; i < columns; ++i) {
    const Built column = make_column(arena, in, kNames[in.below(std::size(kNames))], 0);
    schema_columns.push_back(column.schema);
    array_columns.push_back(column.array);
  }
  Built table = make_array(arena, in, "", "+s", 2);
  table.schema->n_children = columns;
  table.schema->children = schema_columns.data();
  table.array->n_children = in.chance(16) && columns > 0 ? columns - 1 : columns;
  table.array->children = array_columns.data();
  if (in.chance(8)) table.schema->children = nullptr;
  maybe_spoil(in, *table.array);

  kavro::columnar::ColumnRules rules;
  rules.ignore_unknown_columns = in.chance(64);
  if (in.chance(192)) {
    rules.declared = [](kavro::documents::Domain, std::string_view field) {
      return field != "Amount" && field != "Level" && !field.empty();
    };
  }
  const std::int64_t rows = table.array->length;
  if (in.chance(128)) {
    auto decided = kavro::columnar::decide_array(policy(), *table.schema, *table.array, rules);
    if (decided && decided->rows != rows) __builtin_trap();
    if (!decided && decided.error().render().empty()) __builtin_trap();
  } else {
    OneBatchStream state{table.schema, table.array, in.below(3), in.chance(32) ? in.below(3) : -1};
    ArrowArrayStream stream{stream_schema, stream_next, in.chance(128) ? stream_error : nullptr,
                            stream_release, &state};
    if (in.chance(4)) stream.get_next = nullptr;
    auto decided = kavro::columnar::decide_stream(policy(), stream, rules);
    if (decided && decided->rows != rows * state.times) __builtin_trap();
    if (!decided && decided.error().render().empty()) __builtin_trap();
  }
  return 0;
}
