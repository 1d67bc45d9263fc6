// Lint: what the engine accepts silently but an author most likely did not
// mean. It reads the documents as construction does and reports warnings and
// notes, and the compile error of every rule that has one (construction
// raises only the first; the caller drops that one); it never changes what a
// document means. A policy is read past its faulty rules, each fault an error
// (the first is construction's), and the rules that read are linted; any
// other document that does not load is skipped. Pure; safe to call from any
// number of threads.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "lint/finding.h"

namespace kavro::lint {

std::vector<Finding> lint_documents(std::string_view schema_text, std::string_view policy_text,
                                    std::optional<std::string_view> governance_text);

}  // namespace kavro::lint
