// RuntimeValue: the one scalar type of the engine. The literals of compiled
// conditions hold it, and input values are read into views of the same three
// kinds, so the two compare without conversion.
#pragma once

#include <string>
#include <variant>

namespace kavro {

// Alternatives in this order: String, Number, Boolean.
using RuntimeValue = std::variant<std::string, double, bool>;

}  // namespace kavro
