#include "columnar/columnar_decider.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "columnar/column_plan.h"
#include "columnar/column_reader.h"

namespace kavro::columnar {

namespace {

// Rows are read column by column into a block, then decided row by row.
class BatchDecider {
 public:
  BatchDecider(const engine::Policy& policy, detail::ColumnPlan plan)
      : policy_(policy), plan_(std::move(plan)), block_(policy.input_fields().size()) {}

  Result<Unit, ColumnarError> decide(const ArrowArray& batch, DecisionBuilder& out) {
    auto reader = detail::BatchReader::bind(plan_, batch);
    if (!reader) return fail(std::move(reader).error());
    constexpr std::int64_t kBlockRows = detail::RowBlock::kRows;
    // Decided rows go to the output a chunk at a time, so that working memory
    // stays bounded however long one batch is.
    constexpr std::int64_t kChunkRows = 65536;
    static_assert(kChunkRows % kBlockRows == 0);
    for (std::int64_t chunk = 0; chunk < reader->rows(); chunk += kChunkRows) {
      const std::int64_t end = std::min(chunk + kChunkRows, reader->rows());
      rules_.resize(static_cast<std::size_t>(end - chunk));
      for (std::int64_t first = chunk; first < end; first += kBlockRows) {
        const std::int64_t count = std::min(kBlockRows, end - first);
        auto read = reader->read(first, count, block_);
        if (!read) return read;
        for (std::int64_t row = 0; row < count; ++row) {
          rules_[static_cast<std::size_t>(first - chunk + row)] =
              policy_.deciding_rule(block_.row(row));
        }
      }
      out.add(rules_);
    }
    out.finish_batch();
    return Unit{};
  }

 private:
  const engine::Policy& policy_;
  detail::ColumnPlan plan_;
  detail::RowBlock block_;
  // The deciding rule of each row of a chunk; kept for the next one.
  std::vector<const compiler::CompiledRule*> rules_;
};

ColumnarError stream_failed(ArrowArrayStream& stream, int code) {
  const char* detail = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  std::string message = "the Arrow stream failed";
  message += detail != nullptr ? ": " + std::string(detail) : " with error " + std::to_string(code);
  return {ColumnarError::Kind::StreamFailed, std::move(message)};
}

}  // namespace

Result<DecisionSet, ColumnarError> decide_stream(const engine::Policy& policy,
                                                 ArrowArrayStream& stream,
                                                 const ColumnRules& rules) {
  if (stream.get_schema == nullptr || stream.get_next == nullptr) {
    return fail(ColumnarError{ColumnarError::Kind::MalformedData,
                              "malformed Arrow stream: null callbacks"});
  }
  Owned<ArrowSchema> schema;
  if (const int code = stream.get_schema(&stream, schema.get()); code != 0) {
    return fail(stream_failed(stream, code));
  }
  auto plan = detail::plan_columns(*schema, policy.input_fields(), rules);
  if (!plan) return fail(std::move(plan).error());
  BatchDecider decider(policy, std::move(*plan));
  DecisionBuilder out(policy.default_effect());
  for (;;) {
    Owned<ArrowArray> batch;
    if (const int code = stream.get_next(&stream, batch.get()); code != 0) {
      return fail(stream_failed(stream, code));
    }
    if (!batch.held()) break;
    auto decided = decider.decide(*batch, out);
    if (!decided) return fail(std::move(decided).error());
  }
  return std::move(out).finish();
}

Result<DecisionSet, ColumnarError> decide_array(const engine::Policy& policy,
                                                const ArrowSchema& schema, const ArrowArray& array,
                                                const ColumnRules& rules) {
  auto plan = detail::plan_columns(schema, policy.input_fields(), rules);
  if (!plan) return fail(std::move(plan).error());
  BatchDecider decider(policy, std::move(*plan));
  DecisionBuilder out(policy.default_effect());
  auto decided = decider.decide(array, out);
  if (!decided) return fail(std::move(decided).error());
  return std::move(out).finish();
}

}  // namespace kavro::columnar
