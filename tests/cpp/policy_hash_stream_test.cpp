#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <functional>
#include <string>
#include <vector>

#include "compiler/policy_hash.h"
#include "compiler/text_form.h"
#include "compiler/text_sink.h"
#include "policy_builders.h"

namespace kavro {
namespace {

using namespace kavro::testing;

std::string sha256_hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr), 1);
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHexDigits[digest[i] >> 4];
    hex += kHexDigits[digest[i] & 0x0F];
  }
  return hex;
}

CompiledPolicy many_rules(int count) {
  CompiledPolicy policy;
  for (int i = 0; i < count; ++i) {
    const std::string id = "rule-" + std::to_string(i);
    policy.action_rules["action-" + std::to_string(i % 10)].push_back(
        rule(id, atomic(Domain::Action, "amount", Operator::GreaterThan, number(i * 0.5)),
             Effect::Block));
    policy.global_rules.push_back(
        rule(id + "\n\xE2\x80\x8B",
             AnyOf{{atomic(Domain::Actor, "role", Operator::Equals, text("r\"" + id)),
                    atomic(Domain::Snapshot, "locked", Operator::Equals, boolean(i % 2 == 0))}},
             Effect::RequireApproval));
  }
  return policy;
}

CompiledPolicy one_long_rule_id(std::size_t length) {
  CompiledPolicy policy;
  policy.global_rules.push_back(rule(std::string(length, 'x'),
                                     atomic(Domain::Actor, "on", Operator::Equals, boolean(true)),
                                     Effect::Allow));
  return policy;
}

struct StreamCase {
  std::string name;
  std::function<CompiledPolicy()> build;
  std::size_t minimum_text_bytes;
};

class StreamedDigest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamedDigest, EqualsTheDigestOfTheWholeText) {
  const CompiledPolicy policy = GetParam().build();
  const std::string text = policy_hash_text(policy);
  ASSERT_GE(text.size(), GetParam().minimum_text_bytes);
  EXPECT_EQ(policy_hash(policy), sha256_hex(text));

  // The chunks handed on are the text, in order, none longer than a chunk
  // unless it is one long piece passed through whole.
  std::vector<std::string> chunks;
  TextSink sink(
      [](void* context, std::string_view chunk) {
        static_cast<std::vector<std::string>*>(context)->emplace_back(chunk);
      },
      &chunks);
  render_policy_hash_text(policy, sink);
  sink.flush();
  std::string joined;
  for (const auto& chunk : chunks) joined += chunk;
  EXPECT_EQ(joined, text);
  for (const auto& chunk : chunks) EXPECT_FALSE(chunk.empty());
}

INSTANTIATE_TEST_SUITE_P(
    PolicyHash, StreamedDigest,
    ::testing::Values(
        StreamCase{"Empty", [] { return CompiledPolicy{}; }, 70},
        StreamCase{"SeveralChunks", [] { return many_rules(3000); }, 5 * TextSink::kChunkBytes},
        StreamCase{"PieceLongerThanAChunk",
                   [] { return one_long_rule_id(3 * TextSink::kChunkBytes + 7); },
                   3 * TextSink::kChunkBytes},
        StreamCase{"PieceOfExactlyOneChunk", [] { return one_long_rule_id(TextSink::kChunkBytes); },
                   TextSink::kChunkBytes}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kavro
