// Sha256: the SHA-256 digest (FIPS 180-4), fed in pieces of any size. Built
// in so that the module needs no cryptographic library at run time. On x86-64
// processors with the SHA extensions the blocks are compressed with them
// (chosen once, at run time); elsewhere by portable code giving the same bytes.
// One object digests one message; it is not shared between threads. Nothing
// here allocates or fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavro::compiler {

class Sha256 {
 public:
  using Digest = std::array<unsigned char, 32>;
  enum class Kernel { kPortable, kShaExtensions };

  // Whether this processor has the SHA extensions (and the SSE levels they
  // are used with); always false off x86-64.
  static bool has_sha_extensions();

  // The fastest kernel this processor runs.
  Sha256();
  // A chosen kernel, for tests and benchmarks; kShaExtensions falls back to
  // kPortable where the processor lacks them (kernel() tells which runs).
  explicit Sha256(Kernel kernel);

  Kernel kernel() const { return kernel_; }
  void update(std::string_view bytes);
  // Pads and returns the digest; the object is spent afterwards.
  Digest finish();

 private:
  using Compress = void (*)(std::uint32_t* state, const unsigned char* blocks, std::size_t count);

  Kernel kernel_;
  Compress compress_;
  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> block_{};
  std::size_t buffered_ = 0;
  std::uint64_t total_bytes_ = 0;
};

// 64 lower-case hexadecimal digits.
std::string hex_digest(const Sha256::Digest& digest);

}  // namespace kavro::compiler
