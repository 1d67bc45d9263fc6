// A fast keyed hash for the texts the engine keys tables by (action names,
// field names, text literals). The tables are filled from documents and probed
// with request texts, so the key is drawn from the operating system's random
// source once per process: texts whose hashes collide cannot be computed in
// advance. Nothing observable depends on the key: no output follows a table's
// order.
#pragma once

#include <sys/random.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>

namespace kavro {

using HashKey = std::array<std::uint64_t, 4>;

namespace hash_detail {

// Kept out of line: inlined, the random device's state (about 5 KiB) would
// widen the stack frame of every caller of hash_key.
[[gnu::noinline, gnu::cold]] inline HashKey draw_key() {
  HashKey key{};
  auto* bytes = reinterpret_cast<unsigned char*>(key.data());
  std::size_t filled = 0;
  while (filled < sizeof key) {
    const ssize_t got = getrandom(bytes + filled, sizeof key - filled, 0);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled < sizeof key) {
    std::random_device device;
    for (auto& word : key) word = (std::uint64_t{device()} << 32) ^ device();
  }
  // Odd words keep the multiplications below invertible.
  for (auto& word : key) word |= 1;
  return key;
}

// The 128-bit product of a and b, folded to 64 bits.
inline std::uint64_t folded_product(std::uint64_t a, std::uint64_t b) {
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load_word(const char* p) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, 8);
  return word;
}

}  // namespace hash_detail

// The process's hash key, drawn on first use.
inline const HashKey& hash_key() {
  static const HashKey key = hash_detail::draw_key();
  return key;
}

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

// The first and the last (up to) eight bytes of a text, read with fixed-size
// loads that overlap for short texts. With the length they determine every
// byte of a text of at most 16 bytes, so short names compare without memcmp.
struct TextEdges {
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  bool operator==(const TextEdges&) const = default;
};
inline TextEdges text_edges(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  TextEdges edges;
  if (n >= 8) {
    std::memcpy(&edges.head, p, 8);
    std::memcpy(&edges.tail, p + n - 8, 8);
  } else {
    edges.head = short_text_word(p, n);
  }
  return edges;
}

// Two key-masked words per multiplication; the state feeds into the next.
// Most texts hashed per request (action names, text values) are short: their
// edges and length go through one multiplication.
inline std::uint64_t text_hash(std::string_view text) {
  using hash_detail::folded_product;
  using hash_detail::load_word;
  const HashKey& key = hash_key();
  if (text.size() <= 16) {
    const TextEdges edges = text_edges(text);
    return folded_product(edges.head ^ key[0], edges.tail ^ key[1] ^ (text.size() << 56));
  }
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t h = folded_product(key[0] ^ n, key[1]);
  while (n > 16) {
    h = folded_product(load_word(p) ^ key[1], load_word(p + 8) ^ h);
    p += 16;
    n -= 16;
  }
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  if (n > 8) {
    first = load_word(p);
    last = load_word(p + n - 8);
  } else {
    first = short_text_word(p, n);
  }
  return folded_product(key[2] ^ text.size(), folded_product(first ^ key[3], last ^ h));
}

}  // namespace kavro
