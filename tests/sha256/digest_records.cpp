// Reads records from standard input, each a line "<length> <piece>" and then
// <length> bytes, and prints the SHA-256 of each record's bytes, fed in pieces
// of <piece> bytes, as one line of hexadecimal. The one argument names the
// kernel: portable or sha-extensions. against_hashlib.py drives it.
#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/sha256.h"

int main(int argc, char** argv) {
  using kavro::compiler::Sha256;
  if (argc != 2) {
    std::fprintf(stderr, "usage: digest_records portable|sha-extensions\n");
    return 2;
  }
  const bool portable = std::strcmp(argv[1], "portable") == 0;
  if (!portable && std::strcmp(argv[1], "sha-extensions") != 0) {
    std::fprintf(stderr, "digest_records: unknown kernel '%s'\n", argv[1]);
    return 2;
  }
  if (!portable && !Sha256::has_sha_extensions()) {
    std::printf("unsupported\n");
    return 0;
  }
  const auto kernel = portable ? Sha256::Kernel::kPortable : Sha256::Kernel::kShaExtensions;
  unsigned long long length = 0, piece = 0;
  while (std::scanf("%llu %llu", &length, &piece) == 2 && std::getchar() == '\n') {
    std::string bytes(length, '\0');
    if (std::fread(bytes.data(), 1, bytes.size(), stdin) != bytes.size() || piece == 0) return 1;
    Sha256 digest(kernel);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      digest.update(std::string_view(bytes).substr(at, piece));
    }
    std::printf("%s\n", kavro::compiler::hex_digest(digest.finish()).c_str());
  }
  return std::feof(stdin) ? 0 : 1;
}
