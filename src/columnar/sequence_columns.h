// Deciding the rows of one rule sequence (an action's bucket, or the global
// rules) together, comparison by comparison instead of row by row.
//
// Each distinct comparison the sequence makes is evaluated at most once per
// chunk, over every row given, as one loop over its column; what it yields is
// the list of rows where it holds. Rules then take their turn in document
// order: an `any` rule decides the still-undecided rows of its comparisons'
// lists, an `all` rule the still-undecided rows of its rarest comparison's
// list on which its other comparisons hold (checked row by row, as the row
// path checks them: a few rows at most). Each row is decided by the first
// rule that holds on it, as evaluate decides it; the comparisons themselves
// are the row path's (evaluation::check_holds), so kinds, NaN, signed zeros
// and absent values compare exactly alike.
#pragma once

#include <cstdint>
#include <span>
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
  // Decides `rows` (distinct, each below chunk.rows()): decided[row] is the
  // deciding rule, and rows no rule decides are appended to `left` in the
  // order given. Reads a slot of the chunk only for the rows that need it:
  // the slots of the comparisons that pick candidates for every row, the
  // others for the candidates alone.
  Result<Unit, ColumnarError> decide(ChunkColumns& chunk, const BatchReader& reader,
                                     std::span<const std::uint32_t> rows,
                                     const compiler::CompiledRule** decided,
                                     std::vector<std::uint32_t>& left);

 private:
  // The rows of `rows` where comparison `id` holds, computed once a call.
  std::span<const std::uint32_t> hits(const ChunkColumns& chunk, const BatchReader& reader,
                                      std::span<const std::uint32_t> rows, std::uint32_t id);

  std::span<const compiler::CompiledRule> rules_;
  // The rules' checks, an `all` rule's rarest first.
  evaluation::detail::RuleChecks checks_;
  // The slots of the comparisons that pick candidates (an `any` rule's
  // every comparison, an `all` rule's rarest), those of two fields apart,
  // and the slots of the other comparisons.
  std::vector<std::uint32_t> lead_slots_;
  std::vector<std::uint32_t> pair_slots_;
  std::vector<std::uint32_t> other_slots_;
  // The comparisons that pick candidates for `all` rules with more.
  std::vector<std::uint32_t> narrowing_;
  // Per check, its distinct comparison; per comparison, a check making it.
  std::vector<std::uint32_t> comparison_of_;
  std::vector<const evaluation::detail::Check*> comparisons_;
  bool handles_ = true;

  // Working memory of decide: per comparison, the call whose hits are in
  // place and where they lie in hits_.
  std::uint32_t call_ = 0;
  std::vector<std::uint32_t> stamp_;
  std::vector<std::uint32_t> hits_first_;
  std::vector<std::uint32_t> hits_count_;
  std::vector<std::uint32_t> hits_;
  // Per chunk row: 1 while the row is given and undecided.
  std::vector<std::uint8_t> live_;
};

}  // namespace kavro::columnar::detail
