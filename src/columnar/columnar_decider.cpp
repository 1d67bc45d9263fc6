#include "columnar/columnar_decider.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "columnar/chunk_columns.h"
#include "columnar/column_plan.h"
#include "columnar/column_reader.h"
#include "columnar/path_choice.h"
#include "columnar/sequence_columns.h"
#include "evaluation/evaluator.h"
#include "support/text_equal.h"

namespace kavro::columnar {

namespace {

// One rule sequence as a batch decides it: the slots it reads, its column
// program (made on first use) and the measured choice of way.
struct Sequence {
  std::span<const compiler::CompiledRule> rules;
  const evaluation::detail::SequenceIndex* index = nullptr;
  std::vector<std::uint32_t> slots;
  bool slots_known = false;
  std::unique_ptr<detail::SequenceColumns> columns;
  detail::PathChoice choice;
  // The rows of the current chunk it decides.
  std::vector<std::uint32_t> rows;
};

// The slots a sequence's comparisons read, each once.
std::vector<std::uint32_t> slots_read(std::span<const compiler::CompiledRule> rules) {
  std::vector<std::uint32_t> slots;
  std::vector<bool> seen;
  const auto add = [&](std::uint32_t slot) {
    if (slot >= seen.size()) seen.resize(std::size_t{slot} + 1, false);
    if (!seen[slot]) slots.push_back(slot);
    seen[slot] = true;
  };
  for (const compiler::CompiledRule& rule : rules) {
    for (const compiler::AtomicCondition& atomic : evaluation::detail::comparisons_of(rule)) {
      add(atomic.lhs.slot);
      if (const auto* subject = std::get_if<compiler::SubjectRef>(&atomic.rhs)) add(subject->slot);
    }
    if (const auto* tree = std::get_if<compiler::ConditionTree>(&rule.condition)) {
      for (const compiler::Comparison& comparison : tree->comparisons) {
        add(comparison.lhs.slot);
        if (const auto* subject = std::get_if<compiler::SubjectRef>(&comparison.rhs))
          add(subject->slot);
      }
    }
  }
  return slots;
}

// Rows are read a chunk at a time, column by column and only where they are
// needed; each chunk's rows are grouped by action in one pass over the type
// column, and each action's bucket, then the global rules over the rows it
// left, decides its rows by columns or by rows (path_choice.h).
class BatchDecider {
 public:
  BatchDecider(const engine::Policy& policy, detail::ColumnPlan plan, ColumnRules::Way way)
      : policy_(policy),
        plan_(std::move(plan)),
        way_(way),
        chunk_(policy.input_fields().size()),
        block_(policy.input_fields().size()),
        buckets_(policy.plan().rule_index().bucket_count()) {
    global_.rules = policy.plan().model().global_rules;
    global_.index = &policy.plan().rule_index().global();
  }

  Result<Unit, ColumnarError> decide(const ArrowArray& batch, DecisionBuilder& out) {
    auto reader = detail::BatchReader::bind(plan_, batch);
    if (!reader) return fail(std::move(reader).error());
    constexpr std::int64_t kChunkRows = detail::ChunkColumns::kRows;
    // Decided rows go to the output a run at a time, so that working memory
    // stays bounded however long one batch is.
    constexpr std::int64_t kRunRows = 65536;
    static_assert(kRunRows % kChunkRows == 0);
    for (std::int64_t run = 0; run < reader->rows(); run += kRunRows) {
      const std::int64_t end = std::min(run + kRunRows, reader->rows());
      rules_.assign(static_cast<std::size_t>(end - run), nullptr);
      for (std::int64_t first = run; first < end; first += kChunkRows) {
        const std::int64_t count = std::min(kChunkRows, end - first);
        const compiler::CompiledRule** decided = rules_.data() + (first - run);
        bool timed = false;
        detail::PathChoice::Way way = chunk_choice_.choose(static_cast<std::size_t>(count), timed);
        switch (way_) {
          case ColumnRules::Way::Measured:
            break;
          case ColumnRules::Way::Columns:
          case ColumnRules::Way::GroupedRows:
            way = detail::PathChoice::Way::Columns;
            timed = false;
            break;
          case ColumnRules::Way::Rows:
            way = detail::PathChoice::Way::Rows;
            timed = false;
            break;
        }
        set_up_ = false;
        const auto start =
            timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
        auto done = way == detail::PathChoice::Way::Columns
                        ? decide_chunk(*reader, first, count, decided)
                        : decide_rows(*reader, first, count, decided);
        if (!done) return done;
        // A chunk that made a sequence's program once for the whole call
        // would count that against every chunk after it.
        if (timed && !set_up_) {
          chunk_choice_.record(way, static_cast<std::size_t>(count),
                               std::chrono::steady_clock::now() - start);
        }
      }
      out.add(rules_);
    }
    out.finish_batch();
    return Unit{};
  }

 private:
  // Each row alone, as evaluate decides it: every column the policy reads is
  // read a block of rows at a time, and each row finds its bucket.
  Result<Unit, ColumnarError> decide_rows(const detail::BatchReader& reader, std::int64_t first,
                                          std::int64_t count,
                                          const compiler::CompiledRule** decided) {
    constexpr std::int64_t kBlockRows = detail::RowBlock::kRows;
    for (std::int64_t block = 0; block < count; block += kBlockRows) {
      const std::int64_t rows = std::min(kBlockRows, count - block);
      auto read = reader.read(first + block, rows, block_);
      if (!read) return read;
      for (std::int64_t row = 0; row < rows; ++row) {
        decided[block + row] = policy_.deciding_rule(block_.row(row));
      }
    }
    return Unit{};
  }

  Result<Unit, ColumnarError> decide_chunk(const detail::BatchReader& reader, std::int64_t first,
                                           std::int64_t count,
                                           const compiler::CompiledRule** decided) {
    // Every text value of the chunk is checked first, so that a malformed one
    // fails the batch whichever way reads (or skips) it.
    auto checked = reader.check_values(first, count);
    if (!checked) return checked;
    chunk_.start(first, count);
    detail::RowBits every;
    every.clear();
    all_rows_.resize(static_cast<std::size_t>(count));
    for (std::uint32_t row = 0; row < count; ++row) all_rows_[row] = row;
    every.set(all_rows_);
    auto types = chunk_.ensure(reader, evaluation::kActionTypeSlot, every);
    if (!types) return types;
    group_by_action();
    for (const std::size_t number : used_) {
      auto done = decide_sequence(reader, buckets_[number], decided, global_.rows);
      if (!done) return done;
    }
    left_.clear();
    auto done = decide_sequence(reader, global_, decided, left_);
    if (!done) return done;
    for (const std::uint32_t row : left_) decided[row] = policy_.no_match_rule();
    return Unit{};
  }

  // Hands each row of the chunk to its action's bucket, or to the global
  // rules when its type names none.
  void group_by_action() {
    const evaluation::detail::RuleIndex& index = policy_.plan().rule_index();
    const evaluation::ValueView* types = chunk_.column(evaluation::kActionTypeSlot);
    for (const std::size_t number : used_) buckets_[number].rows.clear();
    used_.clear();
    global_.rows.clear();
    // Rows of one action often follow each other: the last lookup is kept.
    std::string_view last_text;
    const evaluation::detail::RuleIndex::ActionBucket* last = nullptr;
    bool have_last = false;
    for (std::uint32_t row = 0; row < chunk_.rows(); ++row) {
      const evaluation::ValueView& type = types[row];
      const evaluation::detail::RuleIndex::ActionBucket* bucket = nullptr;
      if (type.kind == evaluation::ValueKind::String) {
        if (!have_last || type.text.size() != last_text.size() ||
            !text_equal(type.text, last_text)) {
          last = index.find_action(type.text);
          last_text = type.text;
          have_last = true;
        }
        bucket = last;
      }
      if (bucket == nullptr) {
        global_.rows.push_back(row);
        continue;
      }
      const std::size_t number = index.bucket_number(*bucket);
      Sequence& sequence = buckets_[number];
      if (sequence.index == nullptr) {
        sequence.rules = *bucket->rules;
        sequence.index = &bucket->index;
      }
      if (sequence.rows.empty()) used_.push_back(number);
      sequence.rows.push_back(row);
    }
  }

  // Decides the sequence's rows of the chunk; rows it leaves go to `left`.
  Result<Unit, ColumnarError> decide_sequence(const detail::BatchReader& reader, Sequence& sequence,
                                              const compiler::CompiledRule** decided,
                                              std::vector<std::uint32_t>& left) {
    if (sequence.rows.empty()) return Unit{};
    bool timed = false;
    detail::PathChoice::Way way = sequence.choice.choose(sequence.rows.size(), timed);
    if (way_ != ColumnRules::Way::Measured) {
      timed = false;
      way = way_ == ColumnRules::Way::Columns ? detail::PathChoice::Way::Columns
                                              : detail::PathChoice::Way::Rows;
    }
    if (way == detail::PathChoice::Way::Columns) {
      if (sequence.columns == nullptr) {
        sequence.columns = std::make_unique<detail::SequenceColumns>(sequence.rules);
        set_up_ = true;
      }
      if (!sequence.columns->handles()) way = detail::PathChoice::Way::Rows;
    }
    if (way == detail::PathChoice::Way::Rows && !sequence.slots_known) {
      sequence.slots = slots_read(sequence.rules);
      sequence.slots_known = true;
      set_up_ = true;
    }
    // Each way reads the columns it needs, within its time: reading is most
    // of what columns save.
    const auto start =
        timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    switch (way) {
      case detail::PathChoice::Way::Columns: {
        auto done = sequence.columns->decide(chunk_, reader, sequence.rows, decided, left);
        if (!done) return done;
        break;
      }
      case detail::PathChoice::Way::Rows: {
        detail::RowBits rows;
        rows.clear();
        rows.set(sequence.rows);
        for (const std::uint32_t slot : sequence.slots) {
          auto read = chunk_.ensure(reader, slot, rows);
          if (!read) return read;
        }
        for (const std::uint32_t row : sequence.rows) {
          const compiler::CompiledRule* rule =
              evaluation::find_first_match(sequence.rules, *sequence.index, chunk_.row(row));
          if (rule != nullptr) {
            decided[row] = rule;
          } else {
            left.push_back(row);
          }
        }
        break;
      }
    }
    if (timed) {
      sequence.choice.record(way, sequence.rows.size(), std::chrono::steady_clock::now() - start);
    }
    return Unit{};
  }

  const engine::Policy& policy_;
  detail::ColumnPlan plan_;
  ColumnRules::Way way_;
  detail::ChunkColumns chunk_;
  detail::RowBlock block_;
  // Whether a chunk's rows are grouped by action (Columns: each sequence
  // then chooses its own way) or decided each alone (Rows).
  detail::PathChoice chunk_choice_;
  // Whether the current chunk set up a sequence for the rest of the call.
  bool set_up_ = false;
  // Per action bucket by number, and the global rules.
  std::vector<Sequence> buckets_;
  Sequence global_;
  // The buckets with rows in the current chunk, in order of first row.
  std::vector<std::size_t> used_;
  std::vector<std::uint32_t> all_rows_;
  std::vector<std::uint32_t> left_;
  // The deciding rule of each row of a run; kept for the next one.
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
  BatchDecider decider(policy, std::move(*plan), rules.way);
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
  BatchDecider decider(policy, std::move(*plan), rules.way);
  DecisionBuilder out(policy.default_effect());
  auto decided = decider.decide(array, out);
  if (!decided) return fail(std::move(decided).error());
  return std::move(out).finish();
}

}  // namespace kavro::columnar
