// The decisions of a columnar evaluation: per row, the effect and the
// deciding rule's id (or none), kept as Arrow-ready columns in batches, and
// exported through the Arrow C data and C stream interfaces without copying.
//
// A Decisions value is immutable once built; exported arrays share its
// batches, so they stay valid after the Decisions itself is gone and may be
// released on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/arrow_abi.h"
#include "columnar/columnar_error.h"
#include "compiler/compiled_policy.h"
#include "documents/vocabulary.h"
#include "support/result.h"

namespace kavro::columnar {

// One batch of rows: `effect` is dictionary-encoded (indices into the
// spellings of Allow, Block, RequireApproval), `matched_rule` is utf8 with
// 32-bit offsets and a validity bitmap.
struct DecisionBatch {
  std::vector<std::int8_t> effects;
  std::vector<std::int32_t> rule_offsets{0};
  std::string rule_bytes;
  std::vector<std::uint8_t> rule_validity;
  std::int64_t rule_nulls = 0;

  std::int64_t rows() const { return static_cast<std::int64_t>(effects.size()); }
};

struct DecisionSet {
  std::vector<std::shared_ptr<const DecisionBatch>> batches;
  std::int64_t rows = 0;
  // The effect of the rows no rule decided: the policy's default.
  documents::Effect default_effect = documents::Effect::Allow;
};

// Appends decisions, starting a new batch where the caller asks or where the
// rule ids would overflow 32-bit offsets.
class DecisionBuilder {
 public:
  explicit DecisionBuilder(documents::Effect default_effect = documents::Effect::Allow);
  // One row per deciding rule, null where no rule decided (the default). Sizes the
  // columns once for all of them, so a batch's buffers are allocated once.
  void add(std::span<const compiler::CompiledRule* const> rules);
  // Seals the batch being built (if it has rows).
  void finish_batch();
  DecisionSet finish() &&;

 private:
  void append(std::span<const compiler::CompiledRule* const> rules, std::size_t bytes);

  std::unique_ptr<DecisionBatch> current_;
  DecisionSet done_;
};

// Decisions made again from their parts, as a pickle keeps them: per row the
// effect (a documents::Effect) and the position of its rule id in `ids` (-1:
// no rule). Fails on a value no evaluation gives: an effect out of range, a
// position outside `ids`, a row without a rule whose effect is not the
// policy's default (allow unless given).
Result<DecisionSet, ColumnarError> restore_decisions(
    std::span<const std::int8_t> effects, std::span<const std::int32_t> rule_of_row,
    std::span<const std::string_view> ids,
    documents::Effect default_effect = documents::Effect::Allow);

// The schema of the decisions: a struct of `effect` and `matched_rule`.
void export_schema(ArrowSchema& out);
// One batch as a struct array; the array shares the batch.
void export_batch(std::shared_ptr<const DecisionBatch> batch, ArrowArray& out);
// All rows as one struct array (batches are joined when there are several);
// fails when the joined rule ids would overflow 32-bit offsets.
Result<Unit, ColumnarError> export_all(const DecisionSet& decisions, ArrowArray& out);
// A stream over the batches, in row order.
void export_stream(std::shared_ptr<const DecisionSet> decisions, ArrowArrayStream& out);

}  // namespace kavro::columnar
