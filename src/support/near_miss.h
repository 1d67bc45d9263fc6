// "Did you mean": the known name closest to a misspelt one. A name counts as
// close when it differs only in case, or by at most two single-character
// edits (fewer for short names), so that unrelated names are not suggested.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace kavro {

// Edits (insert, delete, replace, swap of neighbours) from `a` to `b`,
// comparing without case.
inline std::size_t edit_distance(std::string_view a, std::string_view b) {
  const auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  };
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(current);
  }
  return previous[b.size()];
}

// The closest of `names` to `word`, if one is close enough; the first of
// equally close names wins.
template <class Names>
std::optional<std::string_view> nearest_name(std::string_view word, const Names& names) {
  const std::size_t allowed = word.size() <= 3 ? 1 : 2;
  std::optional<std::string_view> best;
  std::size_t best_distance = allowed + 1;
  for (const auto& name : names) {
    const std::string_view candidate(name);
    if (candidate == word) continue;
    const std::size_t distance = edit_distance(word, candidate);
    if (distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  return best;
}

}  // namespace kavro
