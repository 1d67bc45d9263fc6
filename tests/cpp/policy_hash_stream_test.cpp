#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "compiler/policy_hash.h"
#include "compiler/sha256.h"
#include "compiler/text_form.h"
#include "compiler/text_sink.h"
#include "policy_builders.h"

namespace kavro {
namespace {

using namespace kavro::testing;

// The whole text digested in one piece, by the kernel that needs no
// processor support, against the streamed digest of the fastest kernel.
std::string sha256_hex(const std::string& text) {
  compiler::Sha256 digest(compiler::Sha256::Kernel::kPortable);
  digest.update(text);
  return compiler::hex_digest(digest.finish());
}

compiler::CompiledPolicy many_rules(int count) {
  compiler::CompiledPolicy policy;
  for (int i = 0; i < count; ++i) {
    const std::string id = "rule-" + std::to_string(i);
    policy.action_rules["action-" + std::to_string(i % 10)].push_back(
        rule(id,
             atomic(documents::Domain::Action, "amount", documents::Operator::GreaterThan,
                    number(i * 0.5)),
             documents::Effect::Block));
    policy.global_rules.push_back(
        rule(id + "\n\xE2\x80\x8B",
             compiler::AnyOf{{atomic(documents::Domain::Actor, "role", documents::Operator::Equals,
                                     text("r\"" + id)),
                              atomic(documents::Domain::Snapshot, "locked",
                                     documents::Operator::Equals, boolean(i % 2 == 0))}},
             documents::Effect::RequireApproval));
  }
  return policy;
}

compiler::CompiledPolicy one_long_rule_id(std::size_t length) {
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(
      rule(std::string(length, 'x'),
           atomic(documents::Domain::Actor, "on", documents::Operator::Equals, boolean(true)),
           documents::Effect::Allow));
  return policy;
}

struct StreamCase {
  std::string name;
  std::function<compiler::CompiledPolicy()> build;
  std::size_t minimum_text_bytes;
};

class StreamedDigest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamedDigest, EqualsTheDigestOfTheWholeText) {
  const compiler::CompiledPolicy policy = GetParam().build();
  const std::string text = compiler::policy_hash_text(policy);
  ASSERT_GE(text.size(), GetParam().minimum_text_bytes);
  EXPECT_EQ(compiler::policy_hash(policy), sha256_hex(text));

  // The chunks handed on are the text, in order, none longer than a chunk
  // unless it is one long piece passed through whole.
  std::vector<std::string> chunks;
  compiler::TextSink sink(
      [](void* context, std::string_view chunk) {
        static_cast<std::vector<std::string>*>(context)->emplace_back(chunk);
      },
      &chunks);
  compiler::render_policy_hash_text(policy, sink);
  sink.flush();
  std::string joined;
  for (const auto& chunk : chunks) joined += chunk;
  EXPECT_EQ(joined, text);
  for (const auto& chunk : chunks) EXPECT_FALSE(chunk.empty());
}

INSTANTIATE_TEST_SUITE_P(
    PolicyHash, StreamedDigest,
    ::testing::Values(StreamCase{"Empty", [] { return compiler::CompiledPolicy{}; }, 70},
                      StreamCase{"SeveralChunks", [] { return many_rules(3000); },
                                 5 * compiler::TextSink::kChunkBytes},
                      StreamCase{
                          "PieceLongerThanAChunk",
                          [] { return one_long_rule_id(3 * compiler::TextSink::kChunkBytes + 7); },
                          3 * compiler::TextSink::kChunkBytes},
                      StreamCase{"PieceOfExactlyOneChunk",
                                 [] { return one_long_rule_id(compiler::TextSink::kChunkBytes); },
                                 compiler::TextSink::kChunkBytes}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kavro
