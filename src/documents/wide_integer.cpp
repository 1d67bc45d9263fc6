#include "documents/wide_integer.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kavro {
namespace {

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Base 2^32 limbs, least significant first: schoolbook conversion, quadratic
// in the length, which the caller bounds.
std::string to_decimal(std::string_view digits, unsigned base) {
  std::vector<std::uint32_t> limbs;
  for (char c : digits) {
    std::uint64_t carry = static_cast<std::uint64_t>(digit_value(c));
    for (auto& limb : limbs) {
      const std::uint64_t product = std::uint64_t{limb} * base + carry;
      limb = static_cast<std::uint32_t>(product);
      carry = product >> 32;
    }
    if (carry != 0) limbs.push_back(static_cast<std::uint32_t>(carry));
  }
  constexpr std::uint32_t kChunk = 1'000'000'000;
  std::string reversed;
  while (!limbs.empty()) {
    std::uint64_t remainder = 0;
    for (auto limb = limbs.rbegin(); limb != limbs.rend(); ++limb) {
      const std::uint64_t current = (remainder << 32) | *limb;
      *limb = static_cast<std::uint32_t>(current / kChunk);
      remainder = current % kChunk;
    }
    while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
    for (int i = 0; i < 9 && (remainder != 0 || !limbs.empty()); ++i) {
      reversed += static_cast<char>('0' + remainder % 10);
      remainder /= 10;
    }
  }
  if (reversed.empty()) return "0";
  return {reversed.rbegin(), reversed.rend()};
}

}  // namespace

std::optional<std::string> unsigned_integer_decimal(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  const std::string_view written = text;
  unsigned base = 10;
  unsigned bits_per_digit = 4;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'o' || text[1] == 'b')) {
    base = text[1] == 'x' ? 16 : text[1] == 'o' ? 8 : 2;
    bits_per_digit = text[1] == 'x' ? 4 : text[1] == 'o' ? 3 : 1;
    text.remove_prefix(2);
  } else if (text.size() >= 2 && text[0] == '0') {
    return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  const bool valid = std::all_of(text.begin(), text.end(),
                                 [&](char c) { return digit_value(c) < static_cast<int>(base); });
  if (!valid) return std::nullopt;
  if (base == 10) return std::string(text);
  const std::string_view significant =
      text.substr(std::min(text.find_first_not_of('0'), text.size()));
  if (significant.size() * bits_per_digit > kWideIntegerBits) return std::string(written);
  return to_decimal(significant, base);
}

}  // namespace kavro
