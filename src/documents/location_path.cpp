#include "documents/location_path.h"

namespace kavro::documents::detail {

void PathStep::append_to(std::string& text) const {
  if (kind_ == Kind::Root) return;
  parent_->append_to(text);
  // Keys are joined with a dot, except directly below the root.
  const bool below_root = parent_->kind_ == Kind::Root;
  switch (kind_) {
    case Kind::Key:
      if (!below_root) text += '.';
      text += key_;
      break;
    case Kind::UnknownKey:
      if (!below_root) text += '.';
      text += '?';
      break;
    case Kind::Index:
      if (below_root) text += '.';
      text += '[';
      text += std::to_string(index_);
      text += ']';
      break;
    case Kind::Root:
      break;
  }
}

std::string PathStep::render() const {
  if (kind_ == Kind::Root) return ".";
  std::string text;
  append_to(text);
  return text;
}

}  // namespace kavro::documents::detail
