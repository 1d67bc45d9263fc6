// Finding: one thing lint reports about the documents. Codes are stable and
// documented in docs/errors.md; messages may improve over time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "documents/position.h"

namespace kavro::lint {

enum class Severity : std::uint8_t { Error, Warning, Info };

struct Finding {
  Severity severity;
  std::string_view code;
  std::string message;
  std::string_view document;  // "schema", "policy" or "governance"
  std::optional<Position> position;
  std::string path;  // location path in the document; empty when none applies
  std::optional<std::string> rule_id;
};

std::string_view severity_name(Severity severity);

}  // namespace kavro::lint
