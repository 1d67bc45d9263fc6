// "Did you mean": the known name closest to a misspelt one. A name counts as
// close when it differs only in case, or by at most two single-character
// edits (fewer for short names), so that unrelated names are not suggested.
// The search is bounded (see nearest_name): a suggestion is a courtesy and
// must not make a hostile request or document costly.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kavro {

// Bounds on the search for a suggestion, so that its cost stays small
// whatever a request or a document holds: a longer word is not looked up
// (case aside), and the search stops after this many close-in-length names.
inline constexpr std::size_t kLongestSuggestedWord = 64;
inline constexpr std::size_t kMostCandidatesCompared = 64;

// ASCII letters in lower case; other bytes (UTF-8 included) as they are.
constexpr char folded(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool same_but_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (folded(a[i]) != folded(b[i])) return false;
  }
  return true;
}

// Edits (insert, delete, replace, swap of neighbours) from `a` to `b`,
// comparing without case, or `limit` + 1 when there are more than `limit`:
// only the band of cells within `limit` of the diagonal can hold a smaller
// count, so the work is linear in the length, and it stops once a whole row
// exceeds the limit. Both texts at most kLongestSuggestedWord + 2 bytes.
inline std::size_t bounded_edit_distance(std::string_view a, std::string_view b,
                                         std::size_t limit) {
  constexpr std::size_t kCells = kLongestSuggestedWord + 3;
  const std::size_t over = limit + 1;
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return over;
  if (a.size() >= kCells || b.size() >= kCells) return over;
  // Three rows of b.size() + 1 cells, turned over by pointer; cells outside
  // the band hold `over`.
  std::array<std::array<std::size_t, kCells>, 3> rows;
  const std::size_t width = b.size() + 1;
  std::size_t* before = rows[0].data();
  std::size_t* previous = rows[1].data();
  std::size_t* current = rows[2].data();
  std::fill(before, before + width, over);
  std::fill(previous, previous + width, over);
  for (std::size_t j = 0; j <= std::min(b.size(), limit); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    const std::size_t low = i > limit ? i - limit : 0;
    const std::size_t high = std::min(b.size(), i + limit);
    // Only the band's cells and one on each side are read next.
    current[low > 0 ? low - 1 : 0] = over;
    if (high + 1 < width) current[high + 1] = over;
    current[0] = low == 0 ? i : over;
    std::size_t best = current[0];
    const char x = folded(a[i - 1]);
    for (std::size_t j = std::max<std::size_t>(low, 1); j <= high; ++j) {
      const char y = folded(b[j - 1]);
      std::size_t cell =
          std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (x != y)});
      if (i > 1 && j > 1 && x == folded(b[j - 2]) && folded(a[i - 2]) == y) {
        cell = std::min(cell, before[j - 2] + 1);
      }
      current[j] = std::min(cell, over);
      best = std::min(best, current[j]);
    }
    if (best > limit) return over;
    std::size_t* const oldest = before;
    before = previous;
    previous = current;
    current = oldest;
  }
  return std::min(previous[b.size()], over);
}

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
      if (!same_but_case(word, candidate)) continue;
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
