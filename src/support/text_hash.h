// A fast hash for the short texts the engine keys tables by (action names,
// field names, text literals): one multiply per 8-byte word and a final mix.
// Not keyed: the tables it serves are filled from policy and schema texts, so
// a request can only pick which of the author's entries it probes for.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace kavro {

// A text of at most 8 bytes as one word, read with loads that may overlap
// each other (4 to 8 bytes) or pick the first, middle and last byte (1 to 3).
// With the length, the word determines every byte of the text.
inline std::uint64_t short_text_word(const char* p, std::size_t n) {
  if (n >= 4) {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    return low | (std::uint64_t{high} << 32);
  }
  if (n == 0) return 0;
  return static_cast<unsigned char>(p[0]) |
         (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
         (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
}

inline std::uint64_t text_hash(std::string_view text) {
  constexpr std::uint64_t kMultiplier = 0xBF58476D1CE4E5B9u;
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t h = (n + 1) * 0x9E3779B97F4A7C15u;
  while (n > 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  h = (h ^ short_text_word(p, n)) * kMultiplier;
  return h ^ (h >> 31);
}

}  // namespace kavro
