#include "documents/reading_context.h"

namespace kavro {
namespace {

constexpr std::size_t kRepetitionFactor = 100;
// Memory must stay proportionate to the text, which a hundredfold replay of a
// large node is not: aliases may replay at most this many events beyond the
// document's own, and trial reading may build at most this many tree nodes
// beyond one per event (a node costs more than most replayed records).
constexpr std::size_t kReplayedEventsFactor = 2;
constexpr std::size_t kReplayedEventsAllowance = std::size_t{1} << 20;
constexpr std::size_t kTreeNodesAllowance = std::size_t{1} << 20;

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
  const std::size_t target = document_.link(event);
  ++aliases_followed_;
  weight_replayed_ += document_.weight(target);
  events_replayed_ += document_.after(target) - target;
  if (aliases_followed_ > kRepetitionFactor * document_.size() ||
      weight_replayed_ > kRepetitionFactor * document_.total_weight() ||
      events_replayed_ > kReplayedEventsFactor * document_.size() + kReplayedEventsAllowance) {
    return fail(LoadError::repetition_limit());
  }
  return target;
}

bool ReadingContext::add_tree_node() {
  return ++tree_nodes_ <= document_.size() + kTreeNodesAllowance;
}

}  // namespace kavro
