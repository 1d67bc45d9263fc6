// LoadError: why a document did not load. Renders itself as the one-line
// message that policy authors see (location path, message, position).
#pragma once

#include <string>

namespace kavro {

class LoadError {
 public:
  explicit LoadError(std::string text) : text_(std::move(text)) {}
  // The complete message, composed with its path and position.
  const std::string& render() const { return text_; }

 private:
  std::string text_;
};

}  // namespace kavro
