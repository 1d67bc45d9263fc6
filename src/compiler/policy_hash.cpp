#include "compiler/policy_hash.h"

#include "compiler/sha256.h"
#include "compiler/text_form.h"
#include "compiler/text_sink.h"

namespace kavro::compiler {
namespace {

void digest_chunk(void* state, std::string_view chunk) {
  static_cast<Sha256*>(state)->update(chunk);
}

}  // namespace

std::string policy_hash(const CompiledPolicy& policy) {
  // The text is digested chunk by chunk as it is rendered, so a large policy
  // never exists twice over in memory.
  Sha256 digest;
  TextSink sink(digest_chunk, &digest);
  render_policy_hash_text(policy, sink);
  sink.flush();
  return hex_digest(digest.finish());
}

}  // namespace kavro::compiler
