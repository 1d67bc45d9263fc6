#include "documents/location_path.h"

#include <vector>

namespace kavro::documents::detail {

std::string PathStep::render() const {
  if (kind_ == Kind::Root) return ".";
  std::vector<const PathStep*> chain;
  for (const PathStep* step = this; step->kind_ != Kind::Root; step = step->parent_) {
    chain.push_back(step);
  }
  std::string text;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const PathStep& step = **it;
    // Keys are joined with a dot, except directly below the root.
    const bool below_root = step.parent_->kind_ == Kind::Root;
    switch (step.kind_) {
      case Kind::Key:
        if (!below_root) text += '.';
        text += step.key_;
        break;
      case Kind::UnknownKey:
        if (!below_root) text += '.';
        text += '?';
        break;
      case Kind::Index:
        if (below_root) text += '.';
        text += '[';
        text += std::to_string(step.index_);
        text += ']';
        break;
      case Kind::Root:
        break;
    }
  }
  return text;
}

}  // namespace kavro::documents::detail
