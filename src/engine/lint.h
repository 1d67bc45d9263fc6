// What an author should see about documents that build: lint's findings,
// through the door, each placed as the build places its errors. Never
// changes what a document means; a document that does not load is skipped.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/records.h"

namespace kavro::engine {

struct Finding {
  std::string_view severity;  // "error", "warning" or "info"
  std::string_view code;      // stable; listed in docs/errors.md
  std::string message;
  std::string_view document;  // "schema", "policy" or "governance"
  std::optional<Place> place;
  std::string path;  // location path in the document; empty when none applies
  std::optional<std::string> rule_id;
};

std::vector<Finding> lint(std::string_view schema_text, std::string_view policy_text,
                          std::optional<std::string_view> governance_text);

// The same findings handed to `take` one at a time, in order, until it
// returns false: a caller that keeps them in a form of its own never holds
// two copies of them all.
void lint(std::string_view schema_text, std::string_view policy_text,
          std::optional<std::string_view> governance_text,
          const std::function<bool(Finding&&)>& take);

}  // namespace kavro::engine
