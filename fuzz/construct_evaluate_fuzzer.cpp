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

#include "compiler/compiler.h"
#include "documents/loader.h"
#include "fuzz_checks.h"
#include "governance/governance_checker.h"

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

  auto schema = kavro::load_schema(schema_text);
  if (!schema.ok()) return 0;
  const kavro::SchemaIndex index = kavro::build_schema_index(*schema);
  auto policy = kavro::load_policy(policy_text);
  if (!policy.ok()) return 0;

  std::optional<kavro::Result<kavro::CompiledPolicy, kavro::CompileError>> compiled;
  if (parts.size() == 3) {
    auto governance = kavro::load_governance(parts[2]);
    if (!governance.ok()) return 0;
    compiled.emplace(kavro::check_governance(index, *policy, governance->governance.rules));
  } else {
    compiled.emplace(kavro::compile_policy(index, *policy));
  }
  if (!compiled->ok()) {
    if (compiled->error().render().empty()) __builtin_trap();
    return 0;
  }
  kavro::fuzzing::check_compiled(compiled->value());
  return 0;
}
