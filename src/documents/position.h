// Where an event starts in the document text. All counters start at 0; a
// position is printed one-based ("line 1 column 1" is the first character).
#pragma once

#include <cstddef>
#include <string>

namespace kavro::documents {

struct Position {
  std::size_t index = 0;  // as counted by the parser
  std::size_t line = 0;
  std::size_t column = 0;

  // The very first character of the text is never printed as a position.
  bool is_start() const { return line == 0 && column == 0; }
  bool same_place(const Position& other) const {
    return line == other.line && column == other.column;
  }
};

// Appends " at line <l> column <c>".
void append_position(std::string& out, const Position& position);

}  // namespace kavro::documents
