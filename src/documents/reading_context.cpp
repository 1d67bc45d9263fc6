#include "documents/reading_context.h"

namespace kavro {
namespace {

constexpr std::size_t kRepetitionFactor = 100;
// What aliases may materialise beyond the document itself (events plus bytes
// replayed): memory must stay proportionate to the text, which a hundredfold
// replay of a large node is not.
constexpr std::size_t kMaterialisedFactor = 1;
constexpr std::size_t kMaterialisedAllowance = std::size_t{1} << 20;

}  // namespace

NestingLevel::NestingLevel(ReadingContext& context)
    : context_(context), entered_(context.levels_left_ > 0) {
  if (entered_) --context_.levels_left_;
}

NestingLevel::~NestingLevel() {
  if (entered_) ++context_.levels_left_;
}

Result<std::size_t, LoadError> ReadingContext::resolve(std::size_t index) {
  if (index >= document_.size()) return fail(document_.end_error());
  const Event& event = document_[index];
  if (event.kind != EventKind::Alias) return index;
  // Counting aliases alone would let a few aliases to one large node replay it
  // without bound, so the replayed events and bytes are limited as well.
  ++aliases_followed_;
  weight_replayed_ += document_.weight(document_.link(event));
  const std::size_t weight = document_.total_weight();
  if (aliases_followed_ > kRepetitionFactor * document_.size() ||
      weight_replayed_ > kRepetitionFactor * weight ||
      weight_replayed_ > kMaterialisedFactor * weight + kMaterialisedAllowance) {
    return fail(LoadError::repetition_limit());
  }
  return document_.link(event);
}

}  // namespace kavro
