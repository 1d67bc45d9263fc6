// Every message form of loading, compared whole: record-level messages with
// their path and position, parser errors, document framing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document_test_support.h"

namespace kavro::testing {
namespace {

class LoadMessageTable : public ::testing::TestWithParam<MessageCase> {};

TEST_P(LoadMessageTable, GivesTheCompleteMessage) {
  const MessageCase& row = GetParam();
  EXPECT_EQ(load_message(row.root, row.text), row.message);
}

// A policy whose only rule starts on line 3, column 3 with `body`.
std::string one_rule(const std::string& body) {
  return "version: 1\nrules:\n- " + body;
}

const std::string kScope = "  scope: {global: true}\n";
const std::string kWhen = "  when: [[actor, role], equals, {literal: admin}]\n";
const std::string kEffect = "  effect: allow\n";

std::vector<MessageCase> framing_cases() {
  const std::string valid = one_rule("id: r1\n" + kScope + kWhen + kEffect);
  return {
      {"EmptyText", Root::Policy, "", "EOF while parsing a value"},
      {"OnlyComments", Root::Policy, "# nothing here\n\n", "EOF while parsing a value"},
      {"OnlyWhitespace", Root::Schema, "  \n\n", "EOF while parsing a value"},
      {"EmptyGovernanceText", Root::Governance, "", "EOF while parsing a value"},
      {"OnlyDocumentMarker", Root::Policy, "---\n", "missing field `version` at line 2 column 1"},
      // The parser places the end of a text without final line break on a line of its own.
      {"DocumentMarkerWithoutNewline", Root::Policy, "---",
       "missing field `version` at line 2 column 1"},
      {"SecondDocumentAfterValidOne", Root::Policy, valid + "---\nversion: 2\n",
       "deserializing from YAML containing more than one document is not supported"},
      {"SecondEmptyDocumentAfterValidOne", Root::Policy, valid + "---\n",
       "deserializing from YAML containing more than one document is not supported"},
      {"SecondDocumentAfterInvalidOne", Root::Policy, "version: 1\n---\nversion: 2\nrules: []\n",
       "missing field `rules`"},
      {"SecondDocumentAfterSyntaxError", Root::Policy, "a: b: c\n---\nversion: 2\n",
       "mapping values are not allowed in this context at line 1 column 5"},
      {"DocumentEndMarkerOnly", Root::Policy, valid + "...\n", ""},
      {"GarbageAfterDocumentEnd", Root::Policy, valid + "...\n]\n",
       "did not find expected <document start> at line 8 column 1"},
      {"ByteOrderMarkIsDropped", Root::Policy, "\xEF\xBB\xBF" + valid, ""},
      {"ByteOrderMarkBeforeDocumentMarker", Root::Policy, "\xEF\xBB\xBF---\nversion: 1\n",
       "missing field `rules` at line 2 column 1"},
      {"ByteOrderMarkTakesNoColumn", Root::Policy, "\xEF\xBB\xBFrules: []\n",
       "missing field `version`"},
      {"ByteOrderMarkCountsInByteOffsets", Root::Policy, "\xEF\xBB\xBFversion: \xff\n",
       "invalid leading UTF-8 octet at position 12"},
  };
}

std::vector<MessageCase> parser_error_cases() {
  return {
      {"ProblemWithoutContext", Root::Policy, "version: 1\nrules: []\nx: a: b\n",
       "mapping values are not allowed in this context at line 3 column 5"},
      {"ProblemAndContextPositions", Root::Policy, "version: 1\nrules: []\nx: [1\n",
       "did not find expected ',' or ']' at line 4 column 1, while parsing a flow sequence at "
       "line 3 column 4"},
      {"ContextAtSamePlaceIsNotRepeated", Root::Policy, "version: 1\nrules: []\nx: ]\n",
       "did not find expected node content at line 3 column 4, while parsing a block node"},
      {"ContextAtFirstCharacterIsNotPrinted", Root::Policy, "version: 1\n- rules\n",
       "did not find expected key at line 2 column 1, while parsing a block mapping"},
      {"ValueReadBeforeTheErrorIsChecked", Root::Policy, "version: 1\nrules: a: b\n",
       "rules: invalid type: string \"a\", expected a sequence at line 2 column 8"},
      {"BothAtFirstCharacter", Root::Policy, "\tversion: 1\n",
       "found character that cannot start any token, while scanning for the next token"},
      {"UnterminatedQuotedScalar", Root::Policy, "version: \"1\n",
       "found unexpected end of stream at line 2 column 1, while scanning a quoted scalar at "
       "line 1 column 10"},
      {"InvalidEscape", Root::Policy, "version: 1\nrules: \"\\q\"\n",
       "found unknown escape character at line 2 column 9, while parsing a quoted scalar at "
       "line 2 column 8"},
      {"NulCharacterGivesByteOffset", Root::Policy, std::string("version: 1\0\n", 12),
       "control characters are not allowed at position 10"},
      {"InvalidUtf8GivesByteOffset", Root::Policy, "version: \xff\n",
       "invalid leading UTF-8 octet at position 9"},
      {"TruncatedUtf8", Root::Policy, "version: 1\nrules: \xc3",
       "incomplete UTF-8 octet sequence at position 18"},
      {"ReportedWhenReadingReachesIt", Root::Policy, "version: 1\nrules: [\n",
       "did not find expected node content at line 3 column 1, while parsing a flow node"},
      {"ReportedAfterReadingSucceeded", Root::Policy, "version: 1\nrules: []\nextra: [1,\n",
       "did not find expected node content at line 4 column 1, while parsing a flow node"},
      {"InsideSkippedValue", Root::Policy, "version: 1\nextra: {a: [1}\nrules: []\n",
       "did not find expected ',' or ']' at line 2 column 14, while parsing a flow sequence at "
       "line 2 column 12"},
      {"RecordFailureBeforeItComesFirst", Root::Policy, "version: x\nrules: [\n",
       "version: invalid type: string \"x\", expected u32 at line 1 column 10"},
      {"UnknownAnchor", Root::Policy, "version: *v\nrules: []\n",
       "unknown anchor at line 1 column 10"},
      {"UnknownAnchorAtFirstCharacter", Root::Policy, "*root\n", "unknown anchor"},
      {"UnknownAnchorAfterReadingSucceeded", Root::Policy, "version: 1\nrules: []\nx: *nope\n",
       "unknown anchor at line 3 column 4"},
      {"AnchorDefinedOnlyLater", Root::Policy, "version: *v\nrules: &v []\n",
       "unknown anchor at line 1 column 10"},
  };
}

std::vector<MessageCase> policy_cases() {
  return {
      {"RootIsSequence", Root::Policy, "- 1\n- 2\n",
       "invalid type: sequence, expected struct PolicyAst"},
      {"RootIsText", Root::Policy, "hello\n",
       "invalid type: string \"hello\", expected struct PolicyAst"},
      {"RootIsNull", Root::Policy, "~\n", "invalid type: unit value, expected struct PolicyAst"},
      {"MissingVersionAtFirstCharacter", Root::Policy, "rules: []\n", "missing field `version`"},
      {"MissingVersionAfterComment", Root::Policy, "# policy\nrules: []\n",
       "missing field `version` at line 2 column 1"},
      {"MissingRules", Root::Policy, "version: 1\n", "missing field `rules`"},
      {"AliasKeyIsItsTargetText", Root::Policy, "name: &k version\n*k : x\nrules: []\n",
       "version: invalid type: string \"x\", expected u32 at line 2 column 6"},
      {"ComplexKeyIsSkipped", Root::Policy, "? [version]\n: x\nversion: 1\nrules: []\n", ""},
      {"DuplicateRules", Root::Policy, "version: 1\nrules: []\nrules: []\n",
       "duplicate field `rules`"},
      {"DuplicateReportedBeforeValueIsRead", Root::Policy, "version: 1\nversion: x\n",
       "duplicate field `version`"},
      {"VersionQuoted", Root::Policy, "version: \"1\"\nrules: []\n",
       "version: invalid type: string \"1\", expected u32 at line 1 column 10"},
      {"VersionQuotedAfterComment", Root::Policy, "# c\nversion: '1'\nrules: []\n",
       "version: invalid type: string \"1\", expected u32 at line 2 column 10"},
      {"VersionAboveU32", Root::Policy, "version: 4294967296\n",
       "version: invalid value: integer `4294967296`, expected u32 at line 1 column 10"},
      {"VersionHexAboveU32", Root::Policy, "version: 0x100000000\n",
       "version: invalid value: integer `4294967296`, expected u32 at line 1 column 10"},
      {"VersionNegative", Root::Policy, "version: -1\n",
       "version: invalid type: integer `-1`, expected u32 at line 1 column 10"},
      {"VersionFloat", Root::Policy, "version: 2.0\n",
       "version: invalid type: floating point `2.0`, expected u32 at line 1 column 10"},
      {"VersionExponent", Root::Policy, "version: 1e3\n",
       "version: invalid type: floating point `1000.0`, expected u32 at line 1 column 10"},
      {"VersionBeyondU64IsOutOfRange", Root::Policy, "version: 99999999999999999999\n",
       "version: invalid value: integer `99999999999999999999`, expected u32 at line 1 column 10"},
      {"VersionTwoTo64", Root::Policy, "version: +18446744073709551616\n",
       "version: invalid value: integer `18446744073709551616`, expected u32 at line 1 column 10"},
      {"HexVersionBeyondU64", Root::Policy, "version: 0x10000000000000000\n",
       "version: invalid value: integer `18446744073709551616`, expected u32 at line 1 column 10"},
      {"BinaryVersionBeyondU64", Root::Policy, "version: 0b1" + std::string(70, '0') + "\n",
       "version: invalid value: integer `1180591620717411303424`, expected u32 at line 1 column "
       "10"},
      {"OctalVersionWithLeadingZeros", Root::Policy, "version: 0o00000002000000000000000000000\n",
       "version: invalid value: integer `18446744073709551616`, expected u32 at line 1 column 10"},
      {"NegativeVersionBeyondI64IsFloat", Root::Policy, "version: -99999999999999999999\n",
       "version: invalid type: floating point `-100000000000000000000.0`, expected u32 at line 1 "
       "column 10"},
      {"QuotedVersionBeyondU64IsText", Root::Policy, "version: '18446744073709551616'\n",
       "version: invalid type: string \"18446744073709551616\", expected u32 at line 1 column 10"},
      {"VersionLeadingZero", Root::Policy, "version: 0123\n",
       "version: invalid type: string \"0123\", expected u32 at line 1 column 10"},
      {"VersionBoolean", Root::Policy, "version: true\n",
       "version: invalid type: boolean `true`, expected u32 at line 1 column 10"},
      {"VersionNull", Root::Policy, "version: ~\n",
       "version: invalid type: unit value, expected u32 at line 1 column 10"},
      {"VersionEmpty", Root::Policy, "version:\nrules: []\n",
       "version: invalid type: unit value, expected u32 at line 1 column 9"},
      {"VersionMap", Root::Policy, "version: {a: 1}\n",
       "version: invalid type: map, expected u32 at line 1 column 10"},
      {"VersionSequence", Root::Policy, "version: [1]\n",
       "version: invalid type: sequence, expected u32 at line 1 column 10"},
      {"RulesScalar", Root::Policy, "version: 1\nrules: 5\n",
       "rules: invalid type: integer `5`, expected a sequence at line 2 column 8"},
      {"RulesMap", Root::Policy, "version: 1\nrules: {id: a}\n",
       "rules: invalid type: map, expected a sequence at line 2 column 8"},
      {"RulesNull", Root::Policy, "version: 1\nrules: null\n",
       "rules: invalid type: unit value, expected a sequence at line 2 column 8"},
      {"RuleIsText", Root::Policy, one_rule("hello\n"),
       "rules[0]: invalid type: string \"hello\", expected struct RuleAst at line 3 column 3"},
      {"RuleIsSequence", Root::Policy, one_rule("[a]\n"),
       "rules[0]: invalid type: sequence, expected struct RuleAst at line 3 column 3"},
      {"RuleMissingEffect", Root::Policy, one_rule("id: r1\n" + kScope + kWhen),
       "rules[0]: missing field `effect` at line 3 column 3"},
      {"RuleMissingKeysInDeclarationOrder", Root::Policy,
       one_rule("effect: allow\n  scope: {global: true}\n"),
       "rules[0]: missing field `id` at line 3 column 3"},
      {"EmptyRuleMissesId", Root::Policy, "version: 1\nrules:\n-\n",
       "rules[0]: missing field `id` at line 3 column 2"},
      {"FlowRuleIsLocatedAtItsBrace", Root::Policy, "version: 1\nrules: [ {id: r1} ]\n",
       "rules[0]: missing field `scope` at line 2 column 10"},
      {"DuplicateKeyInRule", Root::Policy, one_rule("id: r1\n  id: r2\n"),
       "rules[0]: duplicate field `id` at line 3 column 3"},
      {"SecondRule", Root::Policy,
       one_rule("id: r1\n" + kScope + kWhen + kEffect + "- id: r2\n" + kScope + kWhen +
                "  effect: deny\n"),
       "rules[1].effect: unknown variant `deny`, expected one of `allow`, `block`, "
       "`require_approval` at line 10 column 11"},
      {"IdIsMap", Root::Policy, one_rule("id: {a: 1}\n"),
       "rules[0].id: invalid type: map, expected a string at line 3 column 7"},
      {"IdIsSequence", Root::Policy, one_rule("id: [a]\n"),
       "rules[0].id: invalid type: sequence, expected a string at line 3 column 7"},
      {"EffectCapitalised", Root::Policy,
       one_rule("id: r1\n" + kScope + kWhen + "  effect: Allow\n"),
       "rules[0].effect: unknown variant `Allow`, expected one of `allow`, `block`, "
       "`require_approval` at line 6 column 11"},
      {"EffectIsMap", Root::Policy, one_rule("id: r1\n  effect: {allow: 1}\n"),
       "rules[0].effect: invalid type: map, expected a YAML tag starting with '!' at line 4 "
       "column 11"},
      {"EffectIsSequence", Root::Policy, one_rule("id: r1\n  effect: [allow]\n"),
       "rules[0].effect: invalid type: sequence, expected a YAML tag starting with '!' at line 4 "
       "column 11"},
      {"EffectTagWithUnknownName", Root::Policy, one_rule("id: r1\n  effect: !permit\n"),
       "rules[0].effect: unknown variant `permit`, expected one of `allow`, `block`, "
       "`require_approval` at line 4 column 11"},
      {"EffectTagWithValue", Root::Policy, one_rule("id: r1\n  effect: !block now\n"),
       "rules[0].effect: invalid type: string \"now\", expected an empty value at line 4 "
       "column 11"},
      {"EffectThroughAliasIsLocatedAtAnchor", Root::Policy,
       "bad: &e nope\nversion: 1\nrules:\n- id: r1\n" + kScope + kWhen + "  effect: *e\n",
       "rules[0].effect: unknown variant `nope`, expected one of `allow`, `block`, "
       "`require_approval` at line 1 column 6"},
      {"RuleThroughAliasKeepsItsPath", Root::Policy,
       "spare: &r {id: r1}\nversion: 1\nrules:\n- *r\n",
       "rules[0]: missing field `scope` at line 1 column 8"},
      {"ScopeActionIsNumber", Root::Policy,
       one_rule("id: r1\n  scope: {action: 5}\n" + kWhen + kEffect),
       "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 3"},
      {"ScopeGlobalIsQuoted", Root::Policy,
       one_rule("id: r1\n  scope: {global: 'true'}\n" + kWhen + kEffect),
       "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 3"},
      {"ScopeEmpty", Root::Policy, one_rule("id: r1\n  scope:\n" + kWhen + kEffect),
       "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 3"},
      {"ScopeAsSequence", Root::Policy, one_rule("id: r1\n  scope: [refund]\n" + kWhen + kEffect),
       "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 3"},
      {"ScopeUnknownKeyOnly", Root::Policy,
       one_rule("id: r1\n  scope: {team: ops}\n" + kWhen + kEffect),
       "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 3"},
      {"ScopeFailsInFlowRule", Root::Policy,
       "version: 1\nrules: [{id: r1, scope: {action: [a]}}]\n",
       "rules[0]: data did not match any variant of untagged enum ScopeAst at line 2 column 9"},
      {"ValueIsBareScalar", Root::Policy,
       one_rule("id: r1\n" + kScope +
                "  when: {subject: [actor, role], operator: equals, value: admin}\n" + kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"NestedAll", Root::Policy,
       one_rule("id: r1\n" + kScope + "  when: {all: [{all: []}]}\n" + kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"SubjectWithOneElement", Root::Policy,
       one_rule("id: r1\n" + kScope +
                "  when: {subject: [actor], operator: equals, value: {literal: x}}\n" + kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"SubjectFieldIsPlainNumber", Root::Policy,
       one_rule("id: r1\n" + kScope + "  when: [[actor, 5], equals, {literal: x}]\n" + kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"OperatorIsBoolean", Root::Policy,
       one_rule("id: r1\n" + kScope + "  when: [[actor, role], true, {literal: x}]\n" + kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"LiteralIsNull", Root::Policy,
       one_rule("id: r1\n" + kScope + "  when: [[actor, role], equals, {literal: ~}]\n" + kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"LiteralIsMap", Root::Policy,
       one_rule("id: r1\n" + kScope + "  when: [[actor, role], equals, {literal: {a: 1}}]\n" +
                kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"AtomicSequenceTooLong", Root::Policy,
       one_rule("id: r1\n" + kScope + "  when: [[actor, role], equals, {literal: x}, extra]\n" +
                kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"AtomicDuplicateKey", Root::Policy,
       one_rule("id: r1\n" + kScope +
                "  when: {subject: [a, b], subject: [a, b], operator: equals, value: {literal: "
                "x}}\n" +
                kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"AtomicKeyOfOtherKind", Root::Policy,
       one_rule("id: r1\n" + kScope +
                "  when: {subject: [a, b], operator: equals, value: {literal: x}, true: 1}\n" +
                kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
      {"WhenEmpty", Root::Policy, one_rule("id: r1\n" + kScope + "  when:\n" + kEffect),
       "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column "
       "3"},
  };
}

std::vector<MessageCase> schema_cases() {
  const std::string fields = "{fields: {}}";
  return {
      {"MissingActor", Root::Schema, "version: 1\nactions: {}\nsnapshot: " + fields + "\n",
       "missing field `actor`"},
      {"MissingKeysInDeclarationOrder", Root::Schema, "snapshot: " + fields + "\n",
       "missing field `version`"},
      {"ActorWithoutFields", Root::Schema,
       "version: 1\nactions: {}\nactor: {}\nsnapshot: " + fields + "\n",
       "actor: missing field `fields` at line 3 column 8"},
      {"ActionWithoutFields", Root::Schema,
       "version: 1\nactions:\n  refund:\n    label: x\nactor: " + fields + "\nsnapshot: " + fields +
           "\n",
       "actions.refund: missing field `fields` at line 4 column 5"},
      {"FieldTypeCapitalised", Root::Schema,
       "version: 1\nactions:\n  refund:\n    fields: {amount: String}\n",
       "actions.refund.fields.amount: unknown variant `String`, expected one of `string`, "
       "`number`, `boolean` at line 4 column 22"},
      {"FieldTypeTagUnknown", Root::Schema,
       "version: 1\nactions: {}\nactor:\n  fields:\n    role: !text\n",
       "actor.fields.role: unknown variant `text`, expected one of `string`, `number`, "
       "`boolean` at line 5 column 11"},
      {"FieldTypeIsMap", Root::Schema, "version: 1\nactions: {}\nactor:\n  fields: {role: {}}\n",
       "actor.fields.role: invalid type: map, expected a YAML tag starting with '!' at line 4 "
       "column 18"},
      {"FieldTypeIsSequence", Root::Schema,
       "version: 1\nactions: {}\nactor:\n  fields: {role: [string]}\n",
       "actor.fields.role: invalid type: sequence, expected a YAML tag starting with '!' at line "
       "4 column 18"},
      {"ActionsIsScalar", Root::Schema, "version: 1\nactions: 5\n",
       "actions: invalid type: integer `5`, expected a map at line 2 column 10"},
      {"ActionsIsSequence", Root::Schema, "version: 1\nactions: [refund]\n",
       "actions: invalid type: sequence, expected a map at line 2 column 10"},
      {"FieldsIsText", Root::Schema, "version: 1\nactions: {}\nactor: {fields: none}\n",
       "actor.fields: invalid type: string \"none\", expected a map at line 3 column 17"},
      {"ActorIsText", Root::Schema, "version: 1\nactions: {}\nactor: anyone\n",
       "actor: invalid type: string \"anyone\", expected struct ActorSchemaAst at line 3 column 8"},
      {"SnapshotIsSequence", Root::Schema,
       "version: 1\nactions: {}\nactor: " + fields + "\nsnapshot: []\n",
       "snapshot: invalid type: sequence, expected struct SnapshotSchemaAst at line 4 column 11"},
      {"ActionIsBoolean", Root::Schema, "version: 1\nactions: {refund: true}\n",
       "actions.refund: invalid type: boolean `true`, expected struct ActionSchemaAst at line 2 "
       "column 19"},
      {"ActionNameIsSequence", Root::Schema, "version: 1\nactions: {[a]: {fields: {}}}\n",
       "actions: invalid type: sequence, expected a string at line 2 column 11"},
      {"VersionIsText", Root::Schema, "version: one\n",
       "version: invalid type: string \"one\", expected u32 at line 1 column 10"},
  };
}

std::vector<MessageCase> governance_cases() {
  const std::string head = "version: 1\ngovernance:\n  rules:\n  - id: g1\n";
  const std::string select = "    select: {where: {effect: allow}}\n";
  const std::string must = "    must: {forbid: true}\n";
  const std::string error = "    error: no\n";
  const std::string rule_at = " at line 4 column 5";
  const std::string no_constraint =
      "governance.rules[0]: data did not match any variant of untagged enum Constraint" + rule_at;
  return {
      {"MissingGovernance", Root::Governance, "version: 1\n", "missing field `governance`"},
      {"GovernanceIsScalar", Root::Governance, "version: 1\ngovernance: 5\n",
       "governance: invalid type: integer `5`, expected struct GovernanceBlock at line 2 column "
       "13"},
      {"GovernanceEmpty", Root::Governance, "version: 1\ngovernance:\n",
       "governance: missing field `rules` at line 2 column 12"},
      {"RootIsSequence", Root::Governance, "[]\n",
       "invalid type: sequence, expected struct GovernanceAst"},
      {"RuleMissingError", Root::Governance, head + select + must,
       "governance.rules[0]: missing field `error`" + rule_at},
      {"RuleMissingSelectBeforeMust", Root::Governance, head + error,
       "governance.rules[0]: missing field `select`" + rule_at},
      {"RuleIsText", Root::Governance, "version: 1\ngovernance:\n  rules: [x]\n",
       "governance.rules[0]: invalid type: string \"x\", expected struct GovernanceRule at line 3 "
       "column 11"},
      {"SelectIsSequence", Root::Governance, head + "    select: []\n",
       "governance.rules[0].select: invalid type: sequence, expected struct Selector at line 5 "
       "column 13"},
      {"WhereIsText", Root::Governance, head + "    select: {where: all}\n",
       "governance.rules[0].select.where: invalid type: string \"all\", expected struct "
       "RuleFilter at line 5 column 21"},
      {"SelectWithoutWhere", Root::Governance, head + "    select: {}\n",
       "governance.rules[0].select: missing field `where` at line 5 column 13"},
      {"ScopeFilterIsText", Root::Governance, head + "    select: {where: {scope: global}}\n",
       "governance.rules[0].select.where.scope: invalid type: string \"global\", expected struct "
       "ScopeFilter at line 5 column 29"},
      {"WhenFilterIsSequence", Root::Governance, head + "    select: {where: {when: []}}\n",
       "governance.rules[0].select.where.when: invalid type: sequence, expected struct "
       "WhenFilter at line 5 column 28"},
      {"SubjectFilterIsNumber", Root::Governance,
       head + "    select: {where: {when: {subject: 1}}}\n",
       "governance.rules[0].select.where.when.subject: invalid type: integer `1`, expected "
       "struct SubjectFilter at line 5 column 38"},
      {"AppliesToIsText", Root::Governance, head + "    applies_to: refund\n",
       "governance.rules[0].applies_to: invalid type: string \"refund\", expected struct "
       "AppliesTo at line 5 column 17"},
      {"ActionsNotASequence", Root::Governance, head + "    applies_to: {actions: refund}\n",
       "governance.rules[0].applies_to.actions: invalid type: string \"refund\", expected a "
       "sequence at line 5 column 27"},
      {"GlobalNotABoolean", Root::Governance,
       head + "    select: {where: {scope: {global: yes}}}\n",
       "governance.rules[0].select.where.scope.global: invalid type: string \"yes\", expected a "
       "boolean at line 5 column 38"},
      {"GlobalQuoted", Root::Governance,
       head + "    select: {where: {scope: {global: \"true\"}}}\n",
       "governance.rules[0].select.where.scope.global: invalid type: string \"true\", expected a "
       "boolean at line 5 column 38"},
      {"FilterIdIsMap", Root::Governance, head + "    select: {where: {id: {a: b}}}\n",
       "governance.rules[0].select.where.id: invalid type: map, expected a string at line 5 "
       "column 26"},
      {"DuplicateMust", Root::Governance, head + select + must + must + error,
       "governance.rules[0]: duplicate field `must`" + rule_at},
      {"MinCountNegative", Root::Governance, head + select + "    must: {min_count: -1}\n" + error,
       no_constraint},
      {"MinCountFloat", Root::Governance, head + select + "    must: {min_count: 2.0}\n" + error,
       no_constraint},
      {"ExistsQuoted", Root::Governance, head + select + "    must: {exists: 'true'}\n" + error,
       no_constraint},
      {"AllowedFieldsWithNumber", Root::Governance,
       head + select + "    must: {allowed_fields: [actor.role, 5]}\n" + error, no_constraint},
      {"AllowedFieldsEmptyValue", Root::Governance,
       head + select + "    must: {allowed_fields: }\n" + error, no_constraint},
      {"MustUnknownKey", Root::Governance, head + select + "    must: {require: true}\n" + error,
       no_constraint},
      {"MustIsScalar", Root::Governance, head + select + "    must: forbid\n" + error,
       no_constraint},
      {"ErrorIsSequence", Root::Governance, head + select + must + "    error: [a]\n",
       "governance.rules[0].error: invalid type: sequence, expected a string at line 7 column 12"},
  };
}

INSTANTIATE_TEST_SUITE_P(Framing, LoadMessageTable, ::testing::ValuesIn(framing_cases()), row_name);
INSTANTIATE_TEST_SUITE_P(ParserErrors, LoadMessageTable, ::testing::ValuesIn(parser_error_cases()),
                         row_name);
INSTANTIATE_TEST_SUITE_P(Policy, LoadMessageTable, ::testing::ValuesIn(policy_cases()), row_name);
INSTANTIATE_TEST_SUITE_P(Schema, LoadMessageTable, ::testing::ValuesIn(schema_cases()), row_name);
INSTANTIATE_TEST_SUITE_P(Governance, LoadMessageTable, ::testing::ValuesIn(governance_cases()),
                         row_name);

}  // namespace
}  // namespace kavro::testing
