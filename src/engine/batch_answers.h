// A batch of requests answered in one pass, as the decision service answers
// it: one JSON document {"policy_hash":…,"decisions":[…]}, one entry per
// request in order. Each request the caller's source converts is checked
// against the schema by the engine's own check (when asked) and decided; one
// the source cannot convert, or that the check finds problems in, is answered
// by the source itself, which words the refusal as it answers a lone request.
// The decisions are counted by deciding rule. One batch, one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/policy.h"
#include "engine/values.h"

namespace kavro::engine {

// What a source made of one request.
enum class Conversion {
  Converted,  // the request's fields are in the ConvertedRequest
  Elsewhere,  // the source answers it itself
  Failed,     // the source failed; the batch stops
};

// One request as converted: a view per field slot for the decision, and its
// sections and every entry of its maps for the check.
struct ConvertedRequest {
  std::vector<ValueView> row;
  std::vector<std::string_view> sections;
  std::vector<RequestEntry> entries;

  void clear(std::size_t slots) {
    row.assign(slots == 0 ? 1 : slots, ValueView{});
    sections.clear();
    entries.clear();
  }
};

class BatchAnswers {
 public:
  BatchAnswers(const Policy& policy, std::string_view policy_hash);

  void decided(std::uint32_t number, std::optional<std::string_view> decision_id);
  // One entry already written as JSON.
  void answered(std::string_view json);
  // The whole document; the answers are spent.
  std::string finish();
  // Decisions by the deciding rule's number; the policy's no_rule() last.
  const std::vector<std::uint64_t>& counts() const { return counts_; }

 private:
  void separate();

  const Policy& policy_;
  std::string policy_hash_;
  std::string out_;
  std::vector<std::uint64_t> counts_;
  bool first_ = true;
};

// Source: Conversion convert(std::size_t index, ConvertedRequest&);
// bool answer(std::size_t index, BatchAnswers&), false when it failed;
// bool log(std::size_t index, std::uint32_t number, std::optional<std::string>& id),
// false when it failed, `id` set when it logged the decision.
template <class Source>
bool answer_batch(const Policy& policy, std::size_t count, Source& source, bool check,
                  BatchAnswers& answers) {
  ConvertedRequest request;
  std::optional<std::string> id;
  for (std::size_t index = 0; index < count; ++index) {
    request.clear(policy.input_fields().size());
    switch (source.convert(index, request)) {
      case Conversion::Failed:
        return false;
      case Conversion::Elsewhere:
        if (!source.answer(index, answers)) return false;
        continue;
      case Conversion::Converted:
        break;
    }
    if (check && !policy.check_request(request.sections, request.entries).empty()) {
      if (!source.answer(index, answers)) return false;
      continue;
    }
    const std::uint32_t number = policy.deciding_number(RowInput{request.row.data()});
    id.reset();
    if (!source.log(index, number, id)) return false;
    answers.decided(number, id);
  }
  return true;
}

}  // namespace kavro::engine
