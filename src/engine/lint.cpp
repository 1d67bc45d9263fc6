#include "engine/lint.h"

#include <utility>
#include <vector>

#include "engine/build_error.h"
#include "lint/lint.h"

namespace kavro::engine {

void lint(std::string_view schema_text, std::string_view policy_text,
          std::optional<std::string_view> governance_text,
          const std::function<bool(Finding&&)>& take) {
  std::vector<lint::Finding> found =
      lint::lint_documents(schema_text, policy_text, governance_text);
  for (lint::Finding& finding : found) {
    std::optional<Place> place;
    if (finding.position) place = place_of(*finding.position);
    if (!take(Finding{lint::severity_name(finding.severity), finding.code,
                      std::move(finding.message), finding.document, place, std::move(finding.path),
                      std::move(finding.rule_id)})) {
      return;
    }
  }
}

std::vector<Finding> lint(std::string_view schema_text, std::string_view policy_text,
                          std::optional<std::string_view> governance_text) {
  std::vector<Finding> findings;
  lint(schema_text, policy_text, governance_text, [&](Finding&& finding) {
    findings.push_back(std::move(finding));
    return true;
  });
  return findings;
}

}  // namespace kavro::engine
