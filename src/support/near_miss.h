// "Did you mean": the known name closest to a misspelt one. A name counts as
// close when it differs only in case, or by at most two single-character
// edits (fewer for short names), so that unrelated names are not suggested.
// The search is bounded (see nearest_name): a suggestion is a courtesy and
// must not make a hostile request or document costly.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace kavro {

// Edits (insert, delete, replace, swap of neighbours) from `a` to `b`,
// comparing without case, or `limit` + 1 when
// there are more than `limit`: only the band of cells within `limit` of the
// diagonal can hold a smaller count, so the work is linear in the length, and
// it stops once a whole row exceeds the limit.
inline std::size_t bounded_edit_distance(std::string_view a, std::string_view b,
                                         std::size_t limit) {
  const std::size_t over = limit + 1;
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return over;
  const auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  };
  // Rows of b.size() + 1 cells; cells outside the band hold `over`.
  std::vector<std::size_t> before(b.size() + 1, over), previous(b.size() + 1, over),
      current(b.size() + 1, over);
  for (std::size_t j = 0; j <= std::min(b.size(), limit); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    const std::size_t low = i > limit ? i - limit : 0;
    const std::size_t high = std::min(b.size(), i + limit);
    std::fill(current.begin(), current.end(), over);
    if (low == 0) current[0] = i;
    std::size_t best = current[0];
    for (std::size_t j = std::max<std::size_t>(low, 1); j <= high; ++j) {
      const std::size_t cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
      std::size_t cell = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
        cell = std::min(cell, before[j - 2] + 1);
      }
      current[j] = std::min(cell, over);
      best = std::min(best, current[j]);
    }
    if (best > limit) return over;
    before.swap(previous);
    previous.swap(current);
  }
  return std::min(previous[b.size()], over);
}

// Bounds on the search for a suggestion, so that its cost stays small
// whatever a request or a document holds: a longer word is not looked up
// (case aside), and the search stops after this many close-in-length names.
inline constexpr std::size_t kLongestSuggestedWord = 64;
inline constexpr std::size_t kMostCandidatesCompared = 256;

// The closest of `names` to `word`, if one is close enough; the first of
// equally close names wins. Names whose length differs by more than the
// distance allowed cannot be close and cost a comparison of lengths only.
template <class Names>
std::optional<std::string_view> nearest_name(std::string_view word, const Names& names) {
  const std::size_t allowed = word.size() <= 3 ? 1 : 2;
  const bool long_word = word.size() > kLongestSuggestedWord;
  std::optional<std::string_view> best;
  std::size_t best_distance = allowed + 1;
  std::size_t compared = 0;
  for (const auto& name : names) {
    const std::string_view candidate(name);
    if (candidate == word) continue;
    const std::size_t gap = candidate.size() > word.size() ? candidate.size() - word.size()
                                                           : word.size() - candidate.size();
    if (gap > allowed || (long_word && gap != 0)) continue;
    if (++compared > kMostCandidatesCompared) break;
    std::size_t distance;
    if (long_word) {
      // Only a difference of letter case is looked for.
      if (bounded_edit_distance(word, candidate, 0) != 0) continue;
      distance = 0;
    } else {
      distance = bounded_edit_distance(word, candidate, best_distance - 1);
    }
    if (distance < best_distance) {
      best = candidate;
      best_distance = distance;
      if (distance == 0) break;
    }
  }
  return best;
}

}  // namespace kavro
