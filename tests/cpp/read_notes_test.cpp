// Notes taken while reading: the keys a record skipped, with their places,
// and nothing else about loading changes when notes are taken.
#include "documents/read_notes.h"

#include <gtest/gtest.h>

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

std::string load_message_with_notes(Root root, std::string_view text, ReadNotes& notes) {
  switch (root) {
    case Root::Schema:
      if (auto result = load_schema(text, &notes); !result) return result.error().render();
      return "";
    case Root::Policy:
      if (auto result = load_policy(text, &notes); !result) return result.error().render();
      return "";
    case Root::Governance:
      if (auto result = load_governance(text, &notes); !result) return result.error().render();
      return "";
  }
  return "unreachable";
}

class ReadNotesTable : public ::testing::TestWithParam<NotesCase> {};

TEST_P(ReadNotesTable, ListsSkippedKeysAndLoadsAsBefore) {
  const NotesCase& row = GetParam();
  ReadNotes notes;
  EXPECT_EQ(load_message_with_notes(row.root, row.text, notes), load_message(row.root, row.text));
  std::vector<std::string> ignored;
  for (const IgnoredKey& key : notes.ignored_keys) {
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

struct NearCase {
  std::string word;
  std::vector<std::string> names;
  std::string expected;  // "" for no suggestion
};

class NearestNameTable : public ::testing::TestWithParam<NearCase> {};

TEST_P(NearestNameTable, SuggestsOnlyCloseNames) {
  const NearCase& row = GetParam();
  const auto near = nearest_name(row.word, row.names);
  EXPECT_EQ(near ? std::string(*near) : std::string(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Words, NearestNameTable,
                         ::testing::Values(NearCase{"Role", {"role", "id"}, "role"},
                                           NearCase{
                                               "aplies_to", {"id", "applies_to"}, "applies_to"},
                                           NearCase{"efefct", {"effect", "scope"}, "effect"},
                                           NearCase{"ammount", {"amount", "account"}, "amount"},
                                           NearCase{"id", {"id"}, ""},
                                           NearCase{"unless", {"when", "scope", "effect"}, ""},
                                           NearCase{"ab", {"xy"}, ""}));

}  // namespace
}  // namespace kavro
