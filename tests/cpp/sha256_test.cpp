#include "compiler/sha256.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

namespace kavro {
namespace {

using compiler::Sha256;

std::string digest_of(Sha256::Kernel kernel, const std::string& message, std::size_t piece) {
  Sha256 digest(kernel);
  for (std::size_t at = 0; at < message.size(); at += piece) {
    digest.update(std::string_view(message).substr(at, piece));
  }
  return compiler::hex_digest(digest.finish());
}

// Bytes of every value, in an order that repeats only after 2^32 steps.
std::string scrambled(std::size_t length) {
  std::string bytes(length, '\0');
  std::uint32_t x = 0x9E3779B9u;
  for (char& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<char>(x >> 24);
  }
  return bytes;
}

void skip_unless_present(Sha256::Kernel kernel) {
  if (kernel == Sha256::Kernel::kShaExtensions && !Sha256::has_sha_extensions()) {
    GTEST_SKIP() << "this processor has no SHA extensions";
  }
}

std::string kernel_name(Sha256::Kernel kernel) {
  switch (kernel) {
    case Sha256::Kernel::kPortable:
      return "Portable";
    case Sha256::Kernel::kShaExtensions:
      return "ShaExtensions";
  }
  return "Unknown";
}

const auto kKernels = ::testing::Values(Sha256::Kernel::kPortable, Sha256::Kernel::kShaExtensions);

struct Vector {
  std::string name;
  std::string message;
  std::string digest;
};

class StandardVector : public ::testing::TestWithParam<std::tuple<Vector, Sha256::Kernel>> {};

TEST_P(StandardVector, Digest) {
  const auto& [vector, kernel] = GetParam();
  skip_unless_present(kernel);
  EXPECT_EQ(Sha256(kernel).kernel(), kernel);
  EXPECT_EQ(digest_of(kernel, vector.message, vector.message.size() + 1), vector.digest);
  // Fed a byte at a time, the padding and block boundaries fall elsewhere.
  if (vector.message.size() <= 4096) {
    EXPECT_EQ(digest_of(kernel, vector.message, 1), vector.digest);
  }
}

// The published examples for SHA-256: the empty message, one and two blocks
// of text, a million 'a', and single bytes.
INSTANTIATE_TEST_SUITE_P(
    Sha256, StandardVector,
    ::testing::Combine(
        ::testing::Values(
            Vector{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
            Vector{"Abc", "abc",
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
            Vector{"FiftySixBytes", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
            Vector{
                "HundredTwelveBytes",
                "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
                "klmnopqrlmnopqrsmnopqrstnopqrstu",
                "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
            Vector{"MillionA", std::string(1000000, 'a'),
                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
            Vector{"ByteBd", "\xbd",
                   "68325720aabd7c82f30f554b313d0570c95accbb7dc4b5aae11204c08ffe732b"},
            Vector{"ByteD3", "\xd3",
                   "28969cdfa74a12c82f3bad960b0b000aca2ac329deea5c2328ebc6f2ba9802c1"}),
        kKernels),
    [](const auto& info) {
      return std::get<0>(info.param).name + kernel_name(std::get<1>(info.param));
    });

// Pieces of every size around a block give the digest of the whole: the
// buffering of a partial block is where a streaming digest goes wrong.
class PieceSize : public ::testing::TestWithParam<std::tuple<std::size_t, Sha256::Kernel>> {};

TEST_P(PieceSize, DigestOfTheWhole) {
  const auto& [piece, kernel] = GetParam();
  skip_unless_present(kernel);
  const std::string message = scrambled(1000);
  EXPECT_EQ(digest_of(kernel, message, piece),
            digest_of(Sha256::Kernel::kPortable, message, message.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Sha256, PieceSize,
    ::testing::Combine(::testing::Values(1, 3, 55, 56, 63, 64, 65, 127, 128, 129, 999), kKernels),
    [](const auto& info) {
      return std::to_string(std::get<0>(info.param)) + kernel_name(std::get<1>(info.param));
    });

TEST(Sha256, KernelsAgreeOnEveryLengthUpToFiveBlocks) {
  skip_unless_present(Sha256::Kernel::kShaExtensions);
  const std::string bytes = scrambled(320);
  for (std::size_t length = 0; length <= bytes.size(); ++length) {
    const std::string message = bytes.substr(0, length);
    EXPECT_EQ(digest_of(Sha256::Kernel::kShaExtensions, message, message.size() + 1),
              digest_of(Sha256::Kernel::kPortable, message, message.size() + 1))
        << length << " bytes";
  }
}

}  // namespace
}  // namespace kavro
