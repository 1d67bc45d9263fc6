#include "documents/load_error.h"

#include <utility>

namespace kavro {

void append_position(std::string& out, const Position& position) {
  out += " at line ";
  out += std::to_string(position.line + 1);
  out += " column ";
  out += std::to_string(position.column + 1);
}

namespace {

std::string with_position(std::string message, const Position& position) {
  if (!position.is_start()) append_position(message, position);
  return message;
}

// The start of the text is never printed, so it is not a position either.
std::optional<Position> printed(const Position& position) {
  if (position.is_start()) return std::nullopt;
  return position;
}

}  // namespace

LoadError::LoadError(std::string message) : kind_(Kind::Record), text_(std::move(message)) {}

LoadError LoadError::parser(std::string problem, const Position& problem_position,
                            std::size_t problem_offset, std::optional<std::string> context,
                            const Position& context_position) {
  std::string text = std::move(problem);
  if (!problem_position.is_start()) {
    append_position(text, problem_position);
  } else if (problem_offset != 0) {
    text += " at position ";
    text += std::to_string(problem_offset);
  }
  if (context) {
    text += ", ";
    text += *context;
    if (!context_position.is_start() && !context_position.same_place(problem_position)) {
      append_position(text, context_position);
    }
  }
  return LoadError(Kind::Parser, std::move(text), printed(problem_position));
}

LoadError LoadError::end_of_stream() {
  return LoadError(Kind::EndOfStream, "EOF while parsing a value");
}

LoadError LoadError::more_than_one_document() {
  return LoadError(Kind::MoreThanOneDocument,
                   "deserializing from YAML containing more than one document is not supported");
}

LoadError LoadError::recursion_limit(const Position& position) {
  return LoadError(Kind::RecursionLimit, with_position("recursion limit exceeded", position),
                   printed(position));
}

LoadError LoadError::repetition_limit() {
  return LoadError(Kind::RepetitionLimit, "repetition limit exceeded");
}

LoadError LoadError::unknown_anchor(const Position& position) {
  return LoadError(Kind::UnknownAnchor, with_position("unknown anchor", position),
                   printed(position));
}

void LoadError::locate(const std::string& path, const Position& position) {
  if (!wants_location()) return;
  located_ = true;
  if (path != ".") path_ = path;
  std::string text = path == "." ? std::string() : path + ": ";
  text += text_;
  text_ = with_position(std::move(text), position);
  position_ = printed(position);
}

}  // namespace kavro
