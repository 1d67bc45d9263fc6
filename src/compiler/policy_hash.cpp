#include "compiler/policy_hash.h"

#include <openssl/evp.h>

#include <new>

#include "compiler/text_form.h"

namespace kavro {

std::string policy_hash(const CompiledPolicy& policy) {
  const std::string text = policy_hash_text(policy);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // One-shot digest: no context object to own or free. It fails only when
  // OpenSSL cannot allocate, which the binding reports as MemoryError.
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
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

}  // namespace kavro
