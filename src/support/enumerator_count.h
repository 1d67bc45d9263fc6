// enumerator_count<Enum>(): how many enumerators an enumeration has, counted by
// the compiler, for enumerations numbered 0, 1, 2, ... (the vocabulary's). A
// table with one row per enumerator asserts its size against it, so that a new
// enumerator without its row fails to compile rather than reading past the table.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace kavro {
namespace enumerator_detail {

// The compiler writes a template argument that names an enumerator by its
// name, and any other value of the type as a cast: "(kavro::Enum)6".
template <auto Value>
constexpr bool is_named() {
  constexpr std::string_view signature = __PRETTY_FUNCTION__;
  constexpr std::string_view marker = "Value = ";
  constexpr std::size_t at = signature.find(marker);
  static_assert(at != std::string_view::npos, "unknown __PRETTY_FUNCTION__ layout");
  return signature[at + marker.size()] != '(';
}

template <class Enum, std::size_t... Values>
constexpr std::size_t leading_named(std::index_sequence<Values...>) {
  std::size_t count = 0;
  bool named = true;
  ((named = named && is_named<static_cast<Enum>(Values)>(), count += named ? 1 : 0), ...);
  return count;
}

}  // namespace enumerator_detail

// Enumerators past the 64th are not counted; the count then equals the limit.
template <class Enum>
constexpr std::size_t enumerator_count() {
  return enumerator_detail::leading_named<Enum>(std::make_index_sequence<64>{});
}

}  // namespace kavro
