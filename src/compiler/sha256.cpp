#include "compiler/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KAVRO_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace kavro::compiler {
namespace {

constexpr std::array<std::uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t load_big_endian(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void compress_portable(std::uint32_t* state, const unsigned char* blocks, std::size_t count) {
  for (; count > 0; --count, blocks += 64) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = load_big_endian(blocks + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const std::uint32_t s0 =
          std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 = std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t s1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
      const std::uint32_t choice = (e & f) ^ (~e & g);
      const std::uint32_t t1 = h + s1 + choice + kRoundConstants[t] + w[t];
      const std::uint32_t s0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
      const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + s0 + majority;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#ifdef KAVRO_SHA256_X86

// The SHA extensions keep the working variables as two vectors, ABEF and
// CDGH, and take the message four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_extensions(
    std::uint32_t* state, const unsigned char* blocks, std::size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; count > 0; --count, blocks += 64) {
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    // words[g % 4] holds message words 4g..4g+3 while group g is hashed.
    __m128i words[4];
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      __m128i& current = words[group % 4];
      if (group < 4) {
        current = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)), byte_swap);
      } else {
        const __m128i& previous = words[(group + 3) % 4];
        const __m128i seven_back = _mm_alignr_epi8(previous, words[(group + 2) % 4], 4);
        current = _mm_sha256msg2_epu32(
            _mm_add_epi32(_mm_sha256msg1_epu32(current, words[(group + 1) % 4]), seven_back),
            previous);
      }
      __m128i scheduled = _mm_add_epi32(
          current, _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, scheduled);
      scheduled = _mm_shuffle_epi32(scheduled, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, scheduled);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool detect_sha_extensions() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid(1, eax, ebx, ecx, edx);
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return ssse3 && sse41 && (ebx & bit_SHA) != 0;
}

#else

bool detect_sha_extensions() {
  return false;
}

#endif

}  // namespace

bool Sha256::has_sha_extensions() {
  static const bool present = detect_sha_extensions();
  return present;
}

Sha256::Sha256() : Sha256(has_sha_extensions() ? Kernel::kShaExtensions : Kernel::kPortable) {}

Sha256::Sha256(Kernel kernel) : kernel_(kernel), state_(kInitialState) {
  if (kernel_ == Kernel::kShaExtensions && !has_sha_extensions()) kernel_ = Kernel::kPortable;
  switch (kernel_) {
    case Kernel::kPortable:
      compress_ = compress_portable;
      return;
    case Kernel::kShaExtensions:
#ifdef KAVRO_SHA256_X86
      compress_ = compress_sha_extensions;
#else
      compress_ = compress_portable;  // not reached: has_sha_extensions() is false here
#endif
      return;
  }
  compress_ = compress_portable;  // a value outside the enumeration: portable is always right
}

void Sha256::update(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t size = bytes.size();
  total_bytes_ += size;
  if (buffered_ > 0) {
    const std::size_t take = std::min(size, block_.size() - buffered_);
    std::memcpy(block_.data() + buffered_, data, take);
    buffered_ += take;
    data += take;
    size -= take;
    if (buffered_ < block_.size()) return;
    compress_(state_.data(), block_.data(), 1);
    buffered_ = 0;
  }
  // Whole blocks are compressed straight from the caller's bytes.
  const std::size_t whole = size / 64;
  if (whole > 0) compress_(state_.data(), data, whole);
  data += 64 * whole;
  size -= 64 * whole;
  if (size > 0) std::memcpy(block_.data(), data, size);
  buffered_ = size;
}

Sha256::Digest Sha256::finish() {
  const std::uint64_t bit_length = total_bytes_ * 8;
  // A 0x80 byte, zeros up to 56 bytes into a block, then the length.
  block_[buffered_++] = 0x80;
  if (buffered_ > 56) {
    std::memset(block_.data() + buffered_, 0, block_.size() - buffered_);
    compress_(state_.data(), block_.data(), 1);
    buffered_ = 0;
  }
  std::memset(block_.data() + buffered_, 0, 56 - buffered_);
  for (int i = 0; i < 8; ++i)
    block_[56 + i] = static_cast<unsigned char>(bit_length >> (56 - 8 * i));
  compress_(state_.data(), block_.data(), 1);
  buffered_ = 0;
  Digest digest;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<unsigned char>(state_[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

std::string hex_digest(const Sha256::Digest& digest) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string hex(2 * digest.size(), '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace kavro::compiler
