// Construction followed by evaluation, as a PyKavro object does it. The input
// holds up to three documents separated by the line "#==": a policy alone
// (checked against a fixed schema), a schema and a policy, or a schema, a
// policy and a governance document. A policy that compiles is hashed twice
// and evaluated against inputs derived from its own literals, so that
// conditions both hold and fail.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/policy.h"
#include "fuzz_checks.h"

namespace {

constexpr std::string_view kSeparator = "\n#==\n";

constexpr std::string_view kDefaultSchema = R"(version: 1
actions:
  refund:
    fields: {amount: number, currency: string, urgent: boolean}
  delete:
    fields: {}
actor:
  fields: {role: string, level: number, verified: boolean}
snapshot:
  fields: {load: number, maintenance: boolean, zone: string}
)";

std::vector<std::string_view> split_documents(std::string_view text) {
  std::vector<std::string_view> parts;
  while (parts.size() < 2) {
    auto at = text.find(kSeparator);
    if (at == std::string_view::npos) break;
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + kSeparator.size());
  }
  parts.push_back(text);
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parts = split_documents({reinterpret_cast<const char*>(data), size});
  std::string_view schema_text = parts.size() == 1 ? kDefaultSchema : parts[0];
  std::string_view policy_text = parts.size() == 1 ? parts[0] : parts[1];

  std::optional<std::string_view> governance_text;
  if (parts.size() == 3) governance_text = parts[2];
  auto built = kavro::engine::Policy::build(schema_text, policy_text, governance_text);
  if (!built.ok()) {
    if (built.error().render().empty()) __builtin_trap();
    return 0;
  }
  kavro::fuzzing::check_built(built.value());
  return 0;
}
