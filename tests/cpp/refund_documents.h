// The smallest documents that build: one action with one number field and a
// rule that blocks above 10, for tests of what surrounds a decision.
#pragma once

namespace kavro::test_documents {

inline constexpr const char* kRefundSchema = R"(version: 1
actions:
  refund:
    fields: {amount: number}
actor:
  fields: {role: string}
snapshot:
  fields: {}
)";

inline constexpr const char* kRefundPolicy = R"(version: 1
rules:
  - id: big
    scope: {action: refund}
    when: {subject: {domain: action, field: amount}, operator: greater_than, value: {literal: 10}}
    effect: block
)";

}  // namespace kavro::test_documents
