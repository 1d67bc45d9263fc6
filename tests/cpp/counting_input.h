// An input that counts its reads, so tests can see which comparisons an
// evaluation makes and where it stops.
#pragma once

#include <cstdint>

#include "evaluation/evaluation_input.h"

namespace kavro::testing {

class CountingInput {
 public:
  explicit CountingInput(const evaluation::EvaluationInput& inner) : inner_(inner) {}
  const evaluation::ValueView& at(std::uint32_t slot) const {
    ++lookups;
    return inner_.at(slot);
  }
  mutable int lookups = 0;

 private:
  const evaluation::EvaluationInput& inner_;
};

}  // namespace kavro::testing
