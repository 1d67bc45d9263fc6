#include "compiler/policy_hash.h"

#include <openssl/evp.h>

#include <memory>
#include <new>

#include "compiler/text_form.h"
#include "compiler/text_sink.h"

namespace kavro::compiler {
namespace {

struct DigestFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestFree>;

struct Digesting {
  EVP_MD_CTX* context;
  bool ok;
};

void digest_chunk(void* state, std::string_view chunk) {
  auto& digesting = *static_cast<Digesting*>(state);
  if (digesting.ok) {
    digesting.ok = EVP_DigestUpdate(digesting.context, chunk.data(), chunk.size()) == 1;
  }
}

}  // namespace

std::string policy_hash(const CompiledPolicy& policy) {
  // The text is digested chunk by chunk as it is rendered, so a large policy
  // never exists twice over in memory. OpenSSL fails here only when it cannot
  // allocate, which the binding reports as MemoryError.
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  Digesting digesting{context.get(), true};
  TextSink sink(digest_chunk, &digesting);
  render_policy_hash_text(policy, sink);
  sink.flush();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!digesting.ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    throw std::bad_alloc();
  }
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string hex(2 * length, '0');
  for (unsigned int i = 0; i < length; ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace kavro::compiler
