#include "engine/values.h"

namespace kavro::engine {

PlainScalar plain_scalar(std::string_view text) {
  return documents::detail::type_scalar(text, true);
}

}  // namespace kavro::engine
