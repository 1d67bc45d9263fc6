// Reading Arrow columns built by hand: layouts that the Python producers used
// in the suite rarely make (half floats, out-of-line string views) and
// malformed arrays that no well-behaved producer makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "columnar/column_plan.h"
#include "columnar/column_reader.h"

namespace kavro::columnar {
namespace {

void no_release(ArrowSchema* schema) {
  schema->release = nullptr;
}
void no_release(ArrowArray* array) {
  array->release = nullptr;
}

// A record batch with one flat column `snapshot.v`, owned by the test.
struct OneColumn {
  ArrowSchema field{};
  ArrowSchema* field_ptr = &field;
  ArrowSchema top{};
  ArrowArray values{};
  ArrowArray* values_ptr = &values;
  ArrowArray batch{};
  std::vector<const void*> buffers;
  const void* top_buffers[1] = {nullptr};
  ArrowSchema dictionary_schema{};
  ArrowArray dictionary{};
  const void* dictionary_buffers[3] = {nullptr, nullptr, nullptr};

  OneColumn(const char* format, std::int64_t rows, std::vector<const void*> column_buffers)
      : buffers(std::move(column_buffers)) {
    field = {format,  "snapshot.v", nullptr, kArrowFlagNullable, 0, nullptr,
             nullptr, no_release,   nullptr};
    top = {"+s", "", nullptr, 0, 1, &field_ptr, nullptr, no_release, nullptr};
    values = {rows,       0,
              0,          static_cast<std::int64_t>(buffers.size()),
              0,          buffers.data(),
              nullptr,    nullptr,
              no_release, nullptr};
    batch = {rows, 0, 0, 1, 1, top_buffers, &values_ptr, nullptr, no_release, nullptr};
  }

  // Makes the column dictionary-encoded over utf8 `offsets` and `bytes`.
  void encode(const std::int32_t* offsets, const char* bytes, std::int64_t entries) {
    dictionary_schema = {"u", "", nullptr, 0, 0, nullptr, nullptr, no_release, nullptr};
    field.dictionary = &dictionary_schema;
    dictionary_buffers[1] = offsets;
    dictionary_buffers[2] = bytes;
    dictionary = {entries, 0, 0, 3, 0, dictionary_buffers, nullptr, nullptr, no_release, nullptr};
    values.dictionary = &dictionary;
  }

  // The column's slot, and the batch bound to its plan (which the reader's
  // messages point into, so it stays where it is).
  struct Bound {
    std::uint32_t slot;
    evaluation::FieldSlots slots;
    std::unique_ptr<detail::ColumnPlan> plan;
    detail::BatchReader reader;
  };
  Result<Bound, ColumnarError> bind() {
    evaluation::FieldSlots slots;
    slots.intern(documents::Domain::Snapshot, "v");
    const std::uint32_t slot = slots.find(documents::Domain::Snapshot, "v");
    auto planned = detail::plan_columns(top, slots);
    if (!planned) return fail(planned.error());
    auto plan = std::make_unique<detail::ColumnPlan>(std::move(*planned));
    auto reader = detail::BatchReader::bind(*plan, batch);
    if (!reader) return fail(reader.error());
    return Bound{slot, std::move(slots), std::move(plan), std::move(*reader)};
  }

  // Reads every row; the error text when reading fails.
  Result<std::vector<evaluation::ValueView>, ColumnarError> read() {
    auto bound = bind();
    if (!bound) return fail(bound.error());
    detail::RowBlock block(bound->slots.size());
    auto read = bound->reader.read(0, batch.length, block);
    if (!read) return fail(read.error());
    std::vector<evaluation::ValueView> column;
    for (std::int64_t row = 0; row < batch.length; ++row) {
      column.push_back(block.row(row).at(bound->slot));
    }
    return column;
  }

  // What a batch decided by columns meets first: binding, then the check of
  // every text value, then the slot's values read for every row.
  Result<Unit, ColumnarError> check() {
    auto bound = bind();
    if (!bound) return fail(bound.error());
    const detail::BatchReader& reader = bound->reader;
    auto checked = reader.check_values(0, batch.length);
    if (!checked) return checked;
    std::vector<evaluation::ValueView> out(64);
    for (std::int64_t first = 0; first < batch.length; first += 64) {
      const std::int64_t count = std::min<std::int64_t>(64, batch.length - first);
      auto read = reader.read_slot(bound->slot, first, count, ~std::uint64_t{0}, out.data());
      if (!read) return read;
    }
    return Unit{};
  }
};

struct HalfCase {
  const char* name;
  std::uint16_t bits;
  double expected;
};

class HalfFloats : public ::testing::TestWithParam<HalfCase> {};

TEST_P(HalfFloats, WidenExactly) {
  const HalfCase& test = GetParam();
  const std::uint16_t data[1] = {test.bits};
  OneColumn column("e", 1, {nullptr, data});
  auto read = column.read();
  ASSERT_TRUE(read) << read.error().render();
  const evaluation::ValueView value = (*read)[0];
  ASSERT_EQ(value.kind, evaluation::ValueKind::Number);
  if (std::isnan(test.expected)) {
    EXPECT_TRUE(std::isnan(value.number));
  } else {
    EXPECT_EQ(value.number, test.expected);
    EXPECT_EQ(std::signbit(value.number), std::signbit(test.expected));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Columnar, HalfFloats,
    ::testing::Values(HalfCase{"one", 0x3C00, 1.0}, HalfCase{"third", 0x3555, 0.333251953125},
                      HalfCase{"smallest_subnormal", 0x0001, std::ldexp(1.0, -24)},
                      HalfCase{"largest_subnormal", 0x03FF, std::ldexp(1023.0, -24)},
                      HalfCase{"largest", 0x7BFF, 65504.0}, HalfCase{"negative_zero", 0x8000, -0.0},
                      HalfCase{"minus_infinity", 0xFC00, -std::numeric_limits<double>::infinity()},
                      HalfCase{"nan", 0x7E00, std::numeric_limits<double>::quiet_NaN()}),
    [](const auto& info) { return std::string(info.param.name); });

// A 16-byte string view: length, then inline bytes or (prefix, buffer, offset).
std::array<unsigned char, 16> view(std::int32_t length, const char* inline_text,
                                   std::int32_t buffer = 0, std::int32_t offset = 0) {
  std::array<unsigned char, 16> bytes{};
  std::memcpy(bytes.data(), &length, 4);
  if (length <= 12) {
    std::memcpy(bytes.data() + 4, inline_text, static_cast<std::size_t>(length));
  } else {
    std::memcpy(bytes.data() + 8, &buffer, 4);
    std::memcpy(bytes.data() + 12, &offset, 4);
  }
  return bytes;
}

TEST(Columnar, StringViewsInlineAndInBuffers) {
  const char data[] = "..a longer text than twelve";
  const std::int64_t sizes[1] = {static_cast<std::int64_t>(sizeof(data) - 1)};
  const std::array<std::array<unsigned char, 16>, 2> views = {view(5, "short"), view(25, "", 0, 2)};
  OneColumn column("vu", 2, {nullptr, views.data(), data, sizes});
  auto read = column.read();
  ASSERT_TRUE(read) << read.error().render();
  EXPECT_EQ((*read)[0].text, "short");
  EXPECT_EQ((*read)[1].text, "a longer text than twelve");
}

struct MalformedCase {
  const char* name;
  std::function<void(OneColumn&)> spoil;
  // Part of the message: which column, or what of the batch.
  const char* says = "column 'snapshot.v'";
};

class MalformedBatches : public ::testing::TestWithParam<MalformedCase> {};

// Every case holds one utf8 row "ok" until spoiled.
const std::int32_t kOffsets[2] = {0, 2};
const std::int32_t kDecreasing[2] = {3, 2};
const std::int32_t kLastNegative[3] = {0, 0, -1};
const std::int32_t kDictionaryOffsets[2] = {0, 1};
const std::int8_t kIndexTooLarge[1] = {1};
const std::int64_t kSmallSizes[1] = {4};
const std::array<unsigned char, 16> kViewPastBuffer = view(20, "", 0, 0);
const std::array<unsigned char, 16> kViewInBuffer = view(14, "", 0, 0);
const std::int64_t kSizes[1] = {14};
const double kAmounts[2] = {5000.0, 5.0};
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
// 3 * 2^61 - 1: eight bytes a value, the offset wraps to the value before.
constexpr std::int64_t kWrappingOffset = 3 * (std::int64_t{1} << 61) - 1;

// The column as string views over one data buffer of fourteen bytes.
void as_views(OneColumn& c) {
  c.field.format = "vu";
  c.buffers = {nullptr, kViewInBuffer.data(), "fourteen bytes", kSizes};
  c.values.buffers = c.buffers.data();
  c.values.n_buffers = 4;
}

// The column as indices into a dictionary of one text (`data`), the one
// index pointing past it.
void as_dictionary(OneColumn& c, const char* data = "x") {
  c.field.format = "c";
  c.buffers[1] = kIndexTooLarge;
  c.values.n_buffers = 2;
  c.encode(kDictionaryOffsets, data, 1);
}

TEST_P(MalformedBatches, FailInsteadOfReadingStrayMemory) {
  OneColumn column("u", 1, {nullptr, kOffsets, "ok"});
  GetParam().spoil(column);
  auto read = column.read();
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, ColumnarError::Kind::MalformedData) << read.error().render();
  EXPECT_NE(read.error().render().find(GetParam().says), std::string::npos)
      << read.error().render();
  // Deciding by columns reads only what its comparisons need, so every text
  // value is checked up front: the batch fails the same whichever way decides.
  auto checked = column.check();
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().render(), read.error().render());
}

INSTANTIATE_TEST_SUITE_P(
    Columnar, MalformedBatches,
    ::testing::Values(
        MalformedCase{"column_shorter_than_batch", [](OneColumn& c) { c.batch.length = 2; }},
        MalformedCase{"offsets_decreasing", [](OneColumn& c) { c.buffers[1] = kDecreasing; }},
        MalformedCase{"last_offset_negative",
                      [](OneColumn& c) {
                        c.values.length = 2;
                        c.buffers[1] = kLastNegative;
                      }},
        MalformedCase{"missing_data_buffer", [](OneColumn& c) { c.values.n_buffers = 2; }},
        MalformedCase{"dictionary_index_out_of_range", [](OneColumn& c) { as_dictionary(c); }},
        MalformedCase{"string_view_past_its_buffer",
                      [](OneColumn& c) {
                        c.field.format = "vu";
                        c.buffers = {nullptr, kViewPastBuffer.data(), "data", kSmallSizes};
                        c.values.buffers = c.buffers.data();
                        c.values.n_buffers = 4;
                      }},
        MalformedCase{"offset_wraps_the_address",
                      [](OneColumn& c) {
                        c.field.format = "g";
                        c.buffers[1] = kAmounts + 1;
                        c.values.offset = kWrappingOffset;
                      }},
        MalformedCase{"offset_plus_length_overflows", [](OneColumn& c) { c.values.offset = kMax; }},
        MalformedCase{"batch_offset_plus_column_offset_overflows",
                      [](OneColumn& c) {
                        c.batch.offset = kMax / 2 + 1;
                        c.values.offset = kMax / 2 + 1;
                        c.values.length = kMax;
                      }},
        MalformedCase{"batch_length_overflows",
                      [](OneColumn& c) {
                        c.batch.offset = kMax;
                        c.batch.length = 1;
                      },
                      "overflowing length or offset"},
        MalformedCase{"column_length_near_the_maximum",
                      [](OneColumn& c) {
                        c.values.length = kMax;
                        c.values.offset = 2;
                      }},
        MalformedCase{"null_children_array", [](OneColumn& c) { c.batch.children = nullptr; },
                      "null child array"},
        MalformedCase{"null_child", [](OneColumn& c) { c.values_ptr = nullptr; },
                      "null child array"},
        MalformedCase{"null_buffers_array", [](OneColumn& c) { c.values.buffers = nullptr; }},
        MalformedCase{"null_offsets_buffer", [](OneColumn& c) { c.buffers[1] = nullptr; }},
        MalformedCase{"null_data_buffer", [](OneColumn& c) { c.buffers[2] = nullptr; }},
        MalformedCase{"null_validity_buffers_of_the_batch",
                      [](OneColumn& c) {
                        c.batch.null_count = 1;
                        c.batch.buffers = nullptr;
                      },
                      "null buffers array"},
        MalformedCase{"dictionary_null_buffers_array",
                      [](OneColumn& c) {
                        as_dictionary(c);
                        c.dictionary.buffers = nullptr;
                      }},
        MalformedCase{"dictionary_offset_overflows",
                      [](OneColumn& c) {
                        as_dictionary(c);
                        c.dictionary.offset = kMax;
                      }},
        MalformedCase{"dictionary_null_data_buffer",
                      [](OneColumn& c) { as_dictionary(c, nullptr); }},
        MalformedCase{"string_view_null_views_buffer",
                      [](OneColumn& c) {
                        as_views(c);
                        c.buffers[1] = nullptr;
                      }},
        MalformedCase{"string_view_null_sizes_buffer",
                      [](OneColumn& c) {
                        as_views(c);
                        c.buffers[3] = nullptr;
                      }},
        MalformedCase{"string_view_null_data_buffer",
                      [](OneColumn& c) {
                        as_views(c);
                        c.buffers[2] = nullptr;
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Columnar, StringViewFixtureReadsWhenIntact) {
  // The string-view rows above spoil a column that reads.
  OneColumn column("u", 1, {nullptr, kOffsets, "ok"});
  as_views(column);
  auto read = column.read();
  ASSERT_TRUE(read) << read.error().render();
  EXPECT_EQ((*read)[0].text, "fourteen bytes");
}

// A batch whose column `snapshot` is a struct with the field `v`, spoiled
// where a struct's own pointers lead.
struct StructCase {
  const char* name;
  std::function<void(ArrowArray& snapshot, ArrowArray** children)> spoil;
};

class MalformedStructs : public ::testing::TestWithParam<StructCase> {};

TEST_P(MalformedStructs, FailNamingTheField) {
  const double values[1] = {1.0};
  const void* value_buffers[2] = {nullptr, values};
  ArrowSchema field = {"g",     "v",        nullptr, kArrowFlagNullable, 0, nullptr,
                       nullptr, no_release, nullptr};
  ArrowSchema* field_ptr = &field;
  ArrowSchema part = {"+s", "snapshot", nullptr, 0, 1, &field_ptr, nullptr, no_release, nullptr};
  ArrowSchema* part_ptr = &part;
  ArrowSchema top = {"+s", "", nullptr, 0, 1, &part_ptr, nullptr, no_release, nullptr};
  ArrowArray value = {1, 0, 0, 2, 0, value_buffers, nullptr, nullptr, no_release, nullptr};
  ArrowArray* children[1] = {&value};
  const void* part_buffers[1] = {nullptr};
  ArrowArray snapshot = {1, 0, 0, 1, 1, part_buffers, children, nullptr, no_release, nullptr};
  ArrowArray* snapshot_ptr = &snapshot;
  const void* top_buffers[1] = {nullptr};
  ArrowArray batch = {1, 0, 0, 1, 1, top_buffers, &snapshot_ptr, nullptr, no_release, nullptr};
  GetParam().spoil(snapshot, children);

  evaluation::FieldSlots slots;
  slots.intern(documents::Domain::Snapshot, "v");
  auto plan = detail::plan_columns(top, slots);
  ASSERT_TRUE(plan) << plan.error().render();
  auto reader = detail::BatchReader::bind(*plan, batch);
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().kind, ColumnarError::Kind::MalformedData);
  EXPECT_NE(reader.error().render().find("column 'snapshot.v'"), std::string::npos)
      << reader.error().render();
}

INSTANTIATE_TEST_SUITE_P(
    Columnar, MalformedStructs,
    ::testing::Values(
        StructCase{"null_children_array",
                   [](ArrowArray& s, ArrowArray**) { s.children = nullptr; }},
        StructCase{"null_child_entry", [](ArrowArray&, ArrowArray** c) { c[0] = nullptr; }},
        StructCase{"fewer_children", [](ArrowArray& s, ArrowArray**) { s.n_children = 0; }},
        StructCase{"null_buffers_array",
                   [](ArrowArray& s, ArrowArray**) {
                     s.buffers = nullptr;
                     s.null_count = 1;
                   }},
        StructCase{"field_offset_overflows",
                   [](ArrowArray& s, ArrowArray** c) {
                     s.offset = kMax;
                     s.length = kMax;
                     c[0]->length = kMax;
                   }},
        StructCase{"field_wraps_the_address",
                   [](ArrowArray&, ArrowArray** c) { c[0]->offset = kWrappingOffset; }}),
    [](const auto& info) { return std::string(info.param.name); });

struct SchemaCase {
  const char* name;
  std::function<void(ArrowSchema& top)> spoil;
};

class MalformedSchemas : public ::testing::TestWithParam<SchemaCase> {};

TEST_P(MalformedSchemas, FailBeforeFollowingAPointer) {
  ArrowSchema field = {"g", "snapshot.v", nullptr, 0, 0, nullptr, nullptr, no_release, nullptr};
  ArrowSchema* children[1] = {&field};
  ArrowSchema top = {"+s", "", nullptr, 0, 1, children, nullptr, no_release, nullptr};
  GetParam().spoil(top);
  evaluation::FieldSlots slots;
  slots.intern(documents::Domain::Snapshot, "v");
  auto plan = detail::plan_columns(top, slots);
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error().kind, ColumnarError::Kind::MalformedData) << plan.error().render();
}

INSTANTIATE_TEST_SUITE_P(
    Columnar, MalformedSchemas,
    ::testing::Values(
        SchemaCase{"null_children_array", [](ArrowSchema& top) { top.children = nullptr; }},
        SchemaCase{"null_child", [](ArrowSchema& top) { top.children[0] = nullptr; }},
        SchemaCase{"negative_child_count", [](ArrowSchema& top) { top.n_children = -1; }}),
    [](const auto& info) { return std::string(info.param.name); });

// Decimals read as Python's float() of the decimal value.
struct DecimalCase {
  const char* name;
  const char* format;
  std::array<std::uint64_t, 4> words;  // the integer, least significant word first
  double expected;
};

class Decimals : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(Decimals, ReadAsFloatOfTheValue) {
  const DecimalCase& test = GetParam();
  OneColumn column(test.format, 1, {nullptr, test.words.data()});
  auto read = column.read();
  ASSERT_TRUE(read) << read.error().render();
  ASSERT_EQ((*read)[0].kind, evaluation::ValueKind::Number);
  EXPECT_EQ((*read)[0].number, test.expected);
  EXPECT_EQ(std::signbit((*read)[0].number), std::signbit(test.expected));
}

constexpr std::uint64_t kOnes = ~std::uint64_t{0};

INSTANTIATE_TEST_SUITE_P(
    Columnar, Decimals,
    ::testing::Values(
        DecimalCase{"cents", "d:10,2", {12345, 0, 0, 0}, 123.45},
        DecimalCase{"tenth", "d:3,1", {1, 0, 0, 0}, 0.1},
        DecimalCase{"negative_128", "d:10,2", {kOnes, kOnes, 0, 0}, -0.01},
        DecimalCase{"beyond_64_bits", "d:38,0", {0, 1, 0, 0}, 18446744073709551616.0},
        DecimalCase{
            "rounds_to_nearest", "d:18,0,64", {9007199254740993, 0, 0, 0}, 9007199254740992.0},
        DecimalCase{"negative_32", "d:5,1,32", {0xFFFFFFFB, 0, 0, 0}, -0.5},
        DecimalCase{"negative_scale", "d:5,-3", {7, 0, 0, 0}, 7000.0},
        DecimalCase{"wide_256", "d:76,0,256", {0, 0, 0, 0x100}, std::ldexp(1.0, 200)},
        DecimalCase{"negative_256", "d:76,2,256", {kOnes - 99, kOnes, kOnes, kOnes}, -1.0},
        DecimalCase{"tiny_is_zero", "d:5,400", {5, 0, 0, 0}, 0.0},
        DecimalCase{"tiny_negative_is_minus_zero", "d:5,400", {kOnes, kOnes, 0, 0}, -0.0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kavro::columnar
