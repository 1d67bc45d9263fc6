// Reading Arrow columns built by hand: layouts that the Python producers used
// in the suite rarely make (half floats, out-of-line string views) and
// malformed arrays that no well-behaved producer makes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
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

  // Reads every row; the error text when reading fails.
  Result<std::vector<evaluation::ValueView>, ColumnarError> read() {
    evaluation::FieldSlots slots;
    slots.intern(documents::Domain::Snapshot, "v");
    const std::uint32_t slot = slots.find(documents::Domain::Snapshot, "v");
    auto plan = detail::plan_columns(top, slots);
    if (!plan) return fail(plan.error());
    auto reader = detail::BatchReader::bind(*plan, batch);
    if (!reader) return fail(reader.error());
    detail::RowBlock block(slots.size());
    auto read = reader->read(0, batch.length, block);
    if (!read) return fail(read.error());
    std::vector<evaluation::ValueView> column;
    for (std::int64_t row = 0; row < batch.length; ++row) column.push_back(block.row(row).at(slot));
    return column;
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

TEST_P(MalformedBatches, FailInsteadOfReadingStrayMemory) {
  OneColumn column("u", 1, {nullptr, kOffsets, "ok"});
  GetParam().spoil(column);
  auto read = column.read();
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, ColumnarError::Kind::MalformedData) << read.error().render();
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
        MalformedCase{"dictionary_index_out_of_range",
                      [](OneColumn& c) {
                        c.field.format = "c";
                        c.buffers[1] = kIndexTooLarge;
                        c.values.n_buffers = 2;
                        c.encode(kDictionaryOffsets, "x", 1);
                      }},
        MalformedCase{"string_view_past_its_buffer",
                      [](OneColumn& c) {
                        c.field.format = "vu";
                        c.buffers = {nullptr, kViewPastBuffer.data(), "data", kSmallSizes};
                        c.values.buffers = c.buffers.data();
                        c.values.n_buffers = 4;
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kavro::columnar
