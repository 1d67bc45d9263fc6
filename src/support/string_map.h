// Hash maps keyed by owned text that can be searched by std::string_view
// without building a std::string for the probe.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/text_hash.h"

namespace kavro {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return text_hash(text); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

}  // namespace kavro
