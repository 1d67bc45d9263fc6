#include "evaluation/field_slots.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavro {
namespace {

// A name of `length` bytes whose bytes all differ from their neighbours, so
// that changing any one of them is visible.
std::string name_of_length(std::size_t length) {
  std::string name;
  for (std::size_t i = 0; i < length; ++i) name += static_cast<char>('a' + i % 26);
  return name;
}

class NameLength : public ::testing::TestWithParam<std::size_t> {};

// Every byte takes part in the comparison: a name that differs from an
// interned one in any single byte, or is one byte shorter or longer, is absent.
TEST_P(NameLength, FindsOnlyTheExactName) {
  const std::size_t length = GetParam();
  const std::string name = name_of_length(length);
  FieldSlots slots;
  const std::uint32_t slot = slots.intern(Domain::Actor, name);
  EXPECT_EQ(slots.find(Domain::Actor, name), slot);
  EXPECT_EQ(slots.intern(Domain::Actor, name), slot);
  for (std::size_t i = 0; i < length; ++i) {
    std::string changed = name;
    changed[i] = static_cast<char>(changed[i] ^ 0x40);
    EXPECT_EQ(slots.find(Domain::Actor, changed), kNoSlot) << "byte " << i;
  }
  EXPECT_EQ(slots.find(Domain::Actor, name + "a"), kNoSlot);
  if (length > 0) {
    EXPECT_EQ(slots.find(Domain::Actor, name.substr(0, length - 1)), kNoSlot);
  }
  EXPECT_EQ(slots.find(Domain::Snapshot, name), kNoSlot);
}

INSTANTIATE_TEST_SUITE_P(FieldSlots, NameLength, ::testing::Range<std::size_t>(0, 41),
                         [](const auto& info) { return "Length" + std::to_string(info.param); });

struct Probe {
  Domain domain;
  std::string field;
  // Index into the interned list, or -1 when the field must be absent.
  int expected;
};

struct LookupCase {
  std::string name;
  std::vector<std::pair<Domain, std::string>> interned;
  std::vector<Probe> probes;
};

class Lookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, ResolvesEachFieldToItsOwnSlot) {
  FieldSlots slots;
  std::vector<std::uint32_t> assigned;
  for (const auto& [domain, field] : GetParam().interned) {
    assigned.push_back(slots.intern(domain, field));
  }
  // Slots are dense: "type" holds 0, the others follow in order of first use.
  for (std::size_t i = 0; i < assigned.size(); ++i) EXPECT_EQ(assigned[i], i + 1) << i;
  EXPECT_EQ(slots.size(), assigned.size() + 1);
  EXPECT_EQ(slots.find(Domain::Action, "type"), kActionTypeSlot);
  for (const Probe& probe : GetParam().probes) {
    const std::uint32_t expected =
        probe.expected < 0 ? kNoSlot : assigned[static_cast<std::size_t>(probe.expected)];
    EXPECT_EQ(slots.find(probe.domain, probe.field), expected)
        << variant_name(probe.domain) << " " << probe.field;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FieldSlots, Lookup,
    ::testing::Values(
        LookupCase{
            "OnlyType",
            {},
            {{Domain::Actor, "type", -1}, {Domain::Action, "typ", -1}, {Domain::Action, "", -1}}},
        LookupCase{"SharedPrefixes",
                   {{Domain::Action, "amount"},
                    {Domain::Action, "amount_limit"},
                    {Domain::Action, "amount_limit_daily"},
                    {Domain::Action, "amount_limit_daily_for_the_account"}},
                   {{Domain::Action, "amount", 0},
                    {Domain::Action, "amount_limit", 1},
                    {Domain::Action, "amount_limit_daily", 2},
                    {Domain::Action, "amount_limit_daily_for_the_account", 3},
                    {Domain::Action, "amount_limit_daily_for_the_accounts", -1},
                    {Domain::Action, "amount_limit_dail", -1},
                    {Domain::Action, "amoun", -1}}},
        LookupCase{"SameNameInTwoDomains",
                   {{Domain::Actor, "role"}, {Domain::Snapshot, "role"}},
                   {{Domain::Actor, "role", 0},
                    {Domain::Snapshot, "role", 1},
                    {Domain::Action, "role", -1}}},
        LookupCase{"TypeOutsideTheActionDomain",
                   {{Domain::Actor, "type"}},
                   {{Domain::Actor, "type", 0}, {Domain::Snapshot, "type", -1}}},
        LookupCase{"SameEdgesDifferentMiddle",
                   {{Domain::Snapshot, "account_0001_balance"},
                    {Domain::Snapshot, "account_0002_balance"},
                    {Domain::Snapshot, "account_x_0001_y_balance"},
                    {Domain::Snapshot, "account_x_0002_y_balance"}},
                   {{Domain::Snapshot, "account_0001_balance", 0},
                    {Domain::Snapshot, "account_0002_balance", 1},
                    {Domain::Snapshot, "account_0003_balance", -1},
                    {Domain::Snapshot, "account_x_0001_y_balance", 2},
                    {Domain::Snapshot, "account_x_0002_y_balance", 3},
                    {Domain::Snapshot, "account_x_0003_y_balance", -1}}},
        LookupCase{"NonAsciiAndNulBytes",
                   {{Domain::Actor, "r\xC3\xB4le"}, {Domain::Actor, std::string("a\0b", 3)}},
                   {{Domain::Actor, "r\xC3\xB4le", 0},
                    {Domain::Actor, std::string("a\0b", 3), 1},
                    {Domain::Actor, std::string("a\0c", 3), -1},
                    {Domain::Actor, "a", -1}}}),
    [](const auto& info) { return info.param.name; });

// Thousands of names that share their first and last eight bytes force the
// table to grow many times and its probe chains to collide.
TEST(FieldSlots, ManyFieldsKeepTheirSlotsThroughGrowth) {
  FieldSlots slots;
  const auto field = [](int i, const char* domain_tag) {
    return std::string("customer_") + domain_tag + "_" + std::to_string(i) + "_attribute";
  };
  std::vector<std::uint32_t> actor;
  std::vector<std::uint32_t> snapshot;
  for (int i = 0; i < 5000; ++i) {
    actor.push_back(slots.intern(Domain::Actor, field(i, "a")));
    snapshot.push_back(slots.intern(Domain::Snapshot, field(i, "a")));
  }
  EXPECT_EQ(slots.size(), 10001u);
  const FieldSlots copy = slots;
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(slots.find(Domain::Actor, field(i, "a")), actor[i]) << i;
    ASSERT_EQ(slots.find(Domain::Snapshot, field(i, "a")), snapshot[i]) << i;
    ASSERT_EQ(copy.find(Domain::Actor, field(i, "a")), actor[i]) << i;
    ASSERT_EQ(slots.find(Domain::Actor, field(i, "b")), kNoSlot) << i;
    ASSERT_EQ(slots.find(Domain::Actor, field(i + 5000, "a")), kNoSlot) << i;
  }
  slots.clear();
  EXPECT_EQ(slots.size(), 1u);
  EXPECT_EQ(slots.find(Domain::Action, "type"), kActionTypeSlot);
  EXPECT_EQ(slots.find(Domain::Actor, field(0, "a")), kNoSlot);
}

}  // namespace
}  // namespace kavro
