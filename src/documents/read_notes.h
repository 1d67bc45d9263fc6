// ReadNotes: what loading a document noticed beside its records, for tools
// that help authors (lint, placed errors). Collected only when a caller asks
// for it; what a document means and every message stay the same either way.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/position.h"

namespace kavro::documents {

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

  // What to note. By default everything; a caller that only places a few
  // things (a build: its rules, and the part of a rule an error is about)
  // names the keys whose values it wants and skips the ignored keys, whose
  // search reads every choice a second time. List members are always noted,
  // unless no place is wanted at all.
  std::vector<std::string_view> place_keys;  // empty: every place
  bool note_places = true;
  bool note_ignored_keys = true;

  bool wants_place(bool list_member, std::string_view key) const {
    if (!note_places) return false;
    if (place_keys.empty() || list_member) return true;
    for (std::string_view wanted : place_keys) {
      if (wanted == key) return true;
    }
    return false;
  }
};

}  // namespace kavro::documents
