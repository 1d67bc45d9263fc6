// The location path of the value being read ("rules[0].effect", "." for the
// root). Steps live on the reader's stack and point at their parent; the text
// is only built when a message needs it. Aliases add no step.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavro::documents::detail {

class PathStep {
 public:
  static PathStep root() { return PathStep(nullptr, Kind::Root, {}, 0); }
  // `key` must outlive the step.
  static PathStep key(const PathStep& parent, std::string_view key) {
    return PathStep(&parent, Kind::Key, key, 0);
  }
  static PathStep index(const PathStep& parent, std::size_t index) {
    return PathStep(&parent, Kind::Index, {}, index);
  }
  // The value of a key that is not text.
  static PathStep unknown_key(const PathStep& parent) {
    return PathStep(&parent, Kind::UnknownKey, {}, 0);
  }

  std::string render() const;
  // Whether the step is a list member, and the key it is under otherwise.
  bool is_index() const { return kind_ == Kind::Index; }
  std::string_view key_text() const { return key_; }

 private:
  void append_to(std::string& text) const;

  enum class Kind : unsigned char { Root, Key, Index, UnknownKey };
  PathStep(const PathStep* parent, Kind kind, std::string_view key, std::size_t index)
      : parent_(parent), kind_(kind), key_(key), index_(index) {}

  const PathStep* parent_;
  Kind kind_;
  std::string_view key_;
  std::size_t index_;
};

}  // namespace kavro::documents::detail
