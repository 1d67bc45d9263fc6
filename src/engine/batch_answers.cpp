#include "engine/batch_answers.h"

#include "engine/decision_json.h"
#include "support/json_text.h"

namespace kavro::engine {

BatchAnswers::BatchAnswers(const Policy& policy, std::string_view policy_hash)
    : policy_(policy), policy_hash_(policy_hash), counts_(policy.rules().size() + 1, 0) {
  out_ += "{\"policy_hash\":";
  append_json_text(out_, policy_hash_);
  out_ += ",\"decisions\":[";
}

void BatchAnswers::separate() {
  if (!first_) out_ += ',';
  first_ = false;
}

void BatchAnswers::decided(std::uint32_t number, std::optional<std::string_view> decision_id) {
  separate();
  ++counts_[number];
  if (number == policy_.no_rule()) {
    append_decision(out_, policy_.default_effect(), std::nullopt, policy_hash_, decision_id);
    return;
  }
  const RuleEntry& rule = policy_.rules()[number];
  append_decision(out_, rule.effect, rule.id, policy_hash_, decision_id);
}

void BatchAnswers::answered(std::string_view json) {
  separate();
  out_ += json;
}

std::string BatchAnswers::finish() {
  out_ += "]}";
  return std::move(out_);
}

}  // namespace kavro::engine
