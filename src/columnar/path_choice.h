// The cost model that picks, per rule sequence, whether a chunk's rows of it
// are decided column by column (sequence_columns.h) or row by row (the rule
// index, as evaluate decides).
//
// Neither cost follows from the policy alone. Column by column costs about
// the sequence's distinct comparisons times its rows, plus the rows where
// each comparison holds: cheap when comparisons are few or name rare
// exceptions. Row by row costs the rules the index leaves each row, which
// depends on how the rows' values fall among the literals: cheap on long
// sequences whose index is selective. So both are measured on the data
// itself, as nanoseconds per row with a running average per way: a
// sequence's first chunks with enough rows to time take each way in turn,
// later ones the cheaper, and every 256th timed chunk takes the other way
// again so that a change along the data is noticed. A chunk with too few of
// the sequence's rows to time well takes the cheaper way measured so far, or
// the row path before any measurement (it has nothing to set up).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace kavro::columnar::detail {

class PathChoice {
 public:
  enum class Way : std::uint8_t { Columns, Rows };

  // Fewer rows than this are not timed: a clock read costs tens of
  // nanoseconds, a row a few.
  static constexpr std::size_t kTimedRows = 48;
  // One timed chunk in this many takes the way measured dearer: its cost
  // (well under a percent) buys noticing when the data changes.
  static constexpr std::uint32_t kRetry = 256;

  // The way for `rows` rows of the sequence, and whether to time it.
  Way choose(std::size_t rows, bool& timed) {
    timed = rows >= kTimedRows;
    if (!timed) return cheaper();
    if (cost_[0] < 0) return Way::Columns;
    if (cost_[1] < 0) return Way::Rows;
    const Way best = cheaper();
    if (++turns_ % kRetry != 0) return best;
    return best == Way::Columns ? Way::Rows : Way::Columns;
  }

  void record(Way way, std::size_t rows, std::chrono::steady_clock::duration spent) {
    const double per_row =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count()) /
        static_cast<double>(rows);
    double& cost = cost_[way == Way::Columns ? 0 : 1];
    // A chunk during which the thread lost its core would count for many:
    // one sample moves the average by at most a factor of two.
    cost = cost < 0 ? per_row : 0.75 * cost + 0.25 * std::min(per_row, 5.0 * cost);
  }

 private:
  Way cheaper() const {
    if (cost_[0] < 0 || cost_[1] < 0) return cost_[0] < 0 ? Way::Rows : Way::Columns;
    return cost_[0] <= cost_[1] ? Way::Columns : Way::Rows;
  }

  // Nanoseconds per row by columns and by rows; negative until measured.
  double cost_[2] = {-1.0, -1.0};
  std::uint32_t turns_ = 0;
};

}  // namespace kavro::columnar::detail
