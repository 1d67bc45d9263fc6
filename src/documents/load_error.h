// LoadError: why a document did not load. Renders itself as the one-line
// message that policy authors see (location path, message, position). A value
// type; building one never fails.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "documents/position.h"

namespace kavro {

class LoadError {
 public:
  enum class Kind : unsigned char {
    Record,  // a message of a record reader; gets a location once
    Parser,
    EndOfStream,
    MoreThanOneDocument,
    RecursionLimit,
    RepetitionLimit,
    UnknownAnchor,
  };

  // A record-level message that has no location yet.
  explicit LoadError(std::string message);

  static LoadError parser(std::string problem, const Position& problem_position,
                          std::size_t problem_offset, std::optional<std::string> context,
                          const Position& context_position);
  static LoadError end_of_stream();
  static LoadError more_than_one_document();
  static LoadError recursion_limit(const Position& position);
  static LoadError repetition_limit();
  static LoadError unknown_anchor(const Position& position);

  Kind kind() const { return kind_; }
  // True for a record-level message that still waits for its location.
  bool wants_location() const { return kind_ == Kind::Record && !located_; }
  // Attaches the path and position of the value whose reader saw the failure.
  // Only the first call on a record-level message has an effect.
  void locate(const std::string& path, const Position& position);

  // The complete message, composed with its path and position.
  const std::string& render() const { return text_; }
  // The location path the message starts with ("rules[0].effect"); empty
  // when it names none.
  const std::string& path() const { return path_; }
  // The position the message names (zero-based counters), if it names one.
  const std::optional<Position>& position() const { return position_; }

 private:
  LoadError(Kind kind, std::string text, std::optional<Position> position = std::nullopt)
      : kind_(kind), text_(std::move(text)), position_(position) {}

  Kind kind_;
  bool located_ = false;
  std::string text_;
  std::string path_;
  std::optional<Position> position_;
};

}  // namespace kavro
