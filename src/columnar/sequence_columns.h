// Deciding the rows of one rule sequence (an action's bucket, or the global
// rules) together, comparison by comparison instead of row by row.
//
// The rows given are laid out densely, one run per slot a comparison reads
// (kind, number, text and the text's length), read straight from the Arrow
// buffers where the layout allows. Each distinct comparison is then
// evaluated at most once, as one loop over its runs, into a bitmap over the
// rows. Rules take their turn in document order on the bitmap of rows still
// undecided: an `any` rule ORs its comparisons' bitmaps, an `all` rule ANDs
// them rarest first and stops at the first that leaves no undecided row, so
// the rest are not evaluated; the rows a rule holds on are decided and leave
// the bitmap. Each row is thus decided by the first rule that holds on it, and
// each comparison gives the answer evaluation::check_holds gives (kinds, NaN,
// signed zeros and absent values alike), which the tests hold it to.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "columnar/chunk_columns.h"
#include "compiler/compiled_policy.h"
#include "evaluation/rule_checks.h"

namespace kavro::columnar::detail {

class SequenceColumns {
 public:
  // `rules` must outlive the result.
  explicit SequenceColumns(std::span<const compiler::CompiledRule> rules);

  // False when some rule has a form this way does not decide: its rows then
  // go the row path's way.
  bool handles() const { return handles_; }

  // Decides `rows` of the chunk (distinct, each below chunk.rows()):
  // decided[row] is the deciding rule, and rows no rule decides are appended
  // to `left` in the order given.
  Result<Unit, ColumnarError> decide(ChunkColumns& chunk, const BatchReader& reader,
                                     std::span<const std::uint32_t> rows,
                                     const compiler::CompiledRule** decided,
                                     std::vector<std::uint32_t>& left);

  static constexpr std::int64_t kWords = RowBits::kWords;

 private:
  // One slot's values of the rows being decided, by dense position.
  struct Run {
    std::uint32_t slot = 0;
    bool texts = false;  // compared as text: texts and their lengths are kept
    std::vector<evaluation::ValueKind> kinds;
    std::vector<double> numbers;  // booleans as 0 or 1
    std::vector<std::string_view> text;
    std::vector<std::uint64_t> lengths;  // of texts; of other kinds none
  };
  struct Comparison {
    const evaluation::detail::Check* check = nullptr;
    std::uint32_t left = 0;   // run of the left slot
    std::uint32_t right = 0;  // run of the right slot, two fields apart
  };

  Result<Unit, ColumnarError> fill(Run& run, ChunkColumns& chunk, const BatchReader& reader,
                                   std::span<const std::uint32_t> rows);
  // The bitmap of comparison `id` over the rows, made once a call.
  const std::uint64_t* bits(std::uint32_t id, std::size_t count);
  void evaluate(const Comparison& comparison, std::size_t count, std::uint64_t* out);

  std::span<const compiler::CompiledRule> rules_;
  // The rules' checks, an `all` rule's rarest first.
  evaluation::detail::RuleChecks checks_;
  std::vector<Comparison> comparisons_;
  // Per check, its distinct comparison.
  std::vector<std::uint32_t> comparison_of_;
  std::vector<Run> runs_;
  bool handles_ = true;

  // Working memory of decide: per comparison, the call whose bitmap is in
  // place; the runs made this call.
  std::uint32_t call_ = 0;
  std::vector<std::uint32_t> stamp_;
  std::vector<std::uint32_t> run_stamp_;
  std::vector<std::uint64_t> bitmaps_;
  // A byte per row of the comparison being evaluated.
  std::vector<std::uint8_t> mask_;
  // Filled lazily: the rows of this call, the reader and chunk they come from.
  std::span<const std::uint32_t> rows_;
  ChunkColumns* chunk_ = nullptr;
  const BatchReader* reader_ = nullptr;
  bool failed_ = false;
  ColumnarError error_;
};

}  // namespace kavro::columnar::detail
