// Notes taken while reading: the keys a record skipped, with their places,
// and nothing else about loading changes when notes are taken.
#include "documents/read_notes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "document_test_support.h"
#include "support/near_miss.h"

namespace kavro {
namespace {

using namespace kavro::testing;

struct NotesCase {
  std::string name;
  Root root;
  std::string text;
  std::vector<std::string> ignored;  // "path key line:column", one-based
};

void PrintTo(const NotesCase& row, std::ostream* out) {
  *out << row.name;
}

std::string load_message_with_notes(Root root, std::string_view text, documents::ReadNotes& notes) {
  switch (root) {
    case Root::Schema:
      if (auto result = documents::load_schema(text, &notes); !result)
        return result.error().render();
      return "";
    case Root::Policy:
      if (auto result = documents::load_policy(text, &notes); !result)
        return result.error().render();
      return "";
    case Root::Governance:
      if (auto result = documents::load_governance(text, &notes); !result)
        return result.error().render();
      return "";
  }
  return "unreachable";
}

class ReadNotesTable : public ::testing::TestWithParam<NotesCase> {};

TEST_P(ReadNotesTable, ListsSkippedKeysAndLoadsAsBefore) {
  const NotesCase& row = GetParam();
  documents::ReadNotes notes;
  EXPECT_EQ(load_message_with_notes(row.root, row.text, notes), load_message(row.root, row.text));
  std::vector<std::string> ignored;
  for (const documents::IgnoredKey& key : notes.ignored_keys) {
    ignored.push_back(key.path + " " + key.key + " " + std::to_string(key.position.line + 1) + ":" +
                      std::to_string(key.position.column + 1));
  }
  EXPECT_EQ(ignored, row.ignored);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ReadNotesTable,
    ::testing::Values(
        NotesCase{"Clean", Root::Schema, "version: 1\nactions: {}\nactor: {}\nsnapshot: {}\n", {}},
        NotesCase{"RootAndNestedKeys",
                  Root::Schema,
                  "version: 1\nnote: x\nactions: { a: { fields: {}, extra: 1 } }\n"
                  "actor: {}\nsnapshot: {}\n",
                  {". note 2:1", "actions.a extra 3:29"}},
        NotesCase{"RuleKeyBeforeAFailure",
                  Root::Policy,
                  "version: 1\nrules:\n  - id: a\n    unless: 1\n    effect: nope\n",
                  {"rules[0] unless 4:5"}},
        NotesCase{"KeysInsideChoicesAtTheChoice",
                  Root::Policy,
                  "version: 1\nrules:\n  - id: a\n    scope: { global: true, other: 1 }\n"
                  "    when: { subject: [actor, r], operator: equals, value: { literal: 1 } }\n"
                  "    effect: block\n",
                  {"rules[0].scope other 4:12"}},
        NotesCase{"GovernanceFilter",
                  Root::Governance,
                  "version: 1\ngovernance:\n  rules:\n    - id: g\n"
                  "      select: { where: { efect: allow } }\n"
                  "      must: { forbid: true }\n      error: e\n",
                  {"governance.rules[0].select.where efect 5:26"}}),
    [](const auto& info) { return info.param.name; });

struct PlaceCase {
  std::string name;
  std::string when;   // the rule's condition, written after "when: "
  std::string path;   // a place below the rule's `when`
  std::string place;  // "line:column", one-based; "" when not noted
};

void PrintTo(const PlaceCase& row, std::ostream* out) {
  *out << row.name;
}

class InnerPlacesTable : public ::testing::TestWithParam<PlaceCase> {};

// Places inside a condition are noted for a caller that wants every place, up
// to the depth and key length of the language's own words.
TEST_P(InnerPlacesTable, NotesPlacesInsideConditions) {
  const PlaceCase& row = GetParam();
  const std::string text =
      "version: 1\nrules:\n  - id: a\n    scope: { global: true }\n    when: " + row.when +
      "\n    effect: block\n";
  documents::ReadNotes notes;
  ASSERT_TRUE(documents::load_policy(text, &notes));
  std::string place;
  for (const auto& [path, position] : notes.places) {
    if (path == "rules[0].when" + row.path) {
      place = std::to_string(position.line + 1) + ":" + std::to_string(position.column + 1);
    }
  }
  EXPECT_EQ(place, row.place);

  // A build's notes name the keys they want and get no inner place.
  documents::ReadNotes wanted;
  wanted.place_keys = {"when"};
  ASSERT_TRUE(documents::load_policy(text, &wanted));
  for (const auto& [path, position] : wanted.places)
    EXPECT_FALSE(path.starts_with("rules[0].when."));
}

const std::string kComparison =
    "{ subject: { domain: actor, field: role }, operator: equals, value: { literal: x } }";

INSTANTIATE_TEST_SUITE_P(
    Conditions, InnerPlacesTable,
    ::testing::Values(
        PlaceCase{"Field", kComparison, ".subject.field", "5:46"},
        PlaceCase{"Literal", kComparison, ".value.literal", "5:90"},
        PlaceCase{"Operator", kComparison, ".operator", "5:64"},
        PlaceCase{"ListForms", "[[actor, role], equals, { literal: x }]", "[0][1]", "5:20"},
        PlaceCase{"MemberOfAll", "{ all: [" + kComparison + ", " + kComparison + "] }",
                  ".all[1].value.literal", "5:184"},
        PlaceCase{"FifthLevel",
                  "{ all: [{ subject: [actor, role], operator: equals, value: "
                  "{ subject: [actor, role] } }, " +
                      kComparison + "] }",
                  ".all[0].value.subject[1]", "5:89"},
        PlaceCase{"SixthLevelIsNotNoted",
                  "{ all: [{ subject: [actor, role], operator: equals, "
                  "value: { literal: x, junk: { a: { b: 1 } } } }, " +
                      kComparison + "] }",
                  ".all[0].value.junk.a.b", ""},
        PlaceCase{"LongKeyIsNotNoted",
                  "{ subject: [actor, role], operator: equals, value: "
                  "{ literal: x }, " +
                      std::string(65, 'k') + ": 1 }",
                  "." + std::string(65, 'k'), ""}),
    [](const auto& info) { return info.param.name; });

struct NearCase {
  std::string word;
  std::vector<std::string> names;
  std::string expected;  // "" for no suggestion
};

// More names of the word's length than a search compares, then `last`: too
// late to be suggested.
std::vector<std::string> far_then(const std::string& last) {
  std::vector<std::string> names(300, "zzzzzz");
  for (std::size_t i = 0; i < names.size(); ++i) names[i][0] = static_cast<char>('0' + i % 10);
  names.push_back(last);
  return names;
}

// `first`, then as many far names: found before the search stops.
std::vector<std::string> close_then_far(const std::string& first) {
  std::vector<std::string> names = far_then(first);
  std::rotate(names.rbegin(), names.rbegin() + 1, names.rend());
  return names;
}

class NearestNameTable : public ::testing::TestWithParam<NearCase> {};

TEST_P(NearestNameTable, SuggestsOnlyCloseNames) {
  const NearCase& row = GetParam();
  const auto near = nearest_name(row.word, row.names);
  EXPECT_EQ(near ? std::string(*near) : std::string(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Words, NearestNameTable,
    ::testing::Values(
        NearCase{"Role", {"role", "id"}, "role"},
        NearCase{"aplies_to", {"id", "applies_to"}, "applies_to"},
        NearCase{"efefct", {"effect", "scope"}, "effect"},
        NearCase{"ammount", {"amount", "account"}, "amount"}, NearCase{"id", {"id"}, ""},
        NearCase{"unless", {"when", "scope", "effect"}, ""}, NearCase{"ab", {"xy"}, ""},
        NearCase{"amuont", {"amount"}, "amount"},
        NearCase{"amount", {"amountxyz", "mount"}, "mount"},
        NearCase{"refnud", {"rfeunx", "refund"}, "refund"}, NearCase{"refund", {"rfeuxx"}, ""},
        NearCase{std::string(100, 'A'), {std::string(100, 'a')}, std::string(100, 'a')},
        NearCase{std::string(100, 'a') + "b", {std::string(100, 'a') + "c"}, ""},
        NearCase{"amount", far_then("amounx"), ""},
        NearCase{"amount", close_then_far("amounx"), "amounx"}));

}  // namespace
}  // namespace kavro
