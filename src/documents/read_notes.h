// ReadNotes: what loading a document noticed beside its records, for tools
// that help authors (lint, placed errors). Collected only when a caller asks
// for it; what a document means and every message stay the same either way.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/position.h"

namespace kavro {

// A key of a record that names none of its fields: skipped when reading.
struct IgnoredKey {
  std::string path;  // the record holding the key, "." for the root
  std::string key;
  Position position;                    // of the key
  std::vector<std::string_view> known;  // the record's own keys
};

struct ReadNotes {
  std::vector<IgnoredKey> ignored_keys;
  // Where each value read directly from the events starts, by location path
  // ("rules[0]", "rules[0].when"); values inside a choice are not listed.
  std::vector<std::pair<std::string, Position>> places;
};

}  // namespace kavro
