// A prototype of a denser evaluation form, measured by core_bench beside the
// engine's evaluator. Every comparison becomes one 24-byte Check whose code
// already fixes the literal's kind and the operator, and every rule a range
// of checks; a bucket is one contiguous array. Evaluation then makes one
// dispatch per comparison instead of three and walks memory in order.
// Semantics are the evaluator's: a missing value or a kind mismatch is false.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiled_policy.h"
#include "evaluation/evaluation_input.h"

namespace kavro::prototype {

enum class CheckCode : std::uint8_t {
  TextEquals,
  TextNotEquals,
  NumberEquals,
  NumberNotEquals,
  NumberGreater,
  NumberLess,
  BooleanEquals,
  BooleanNotEquals,
  Never,   // an operator that no literal kind admits
  Fields,  // right-hand side is another input field: the general comparison
};

struct Check {
  std::uint32_t slot = 0;
  CheckCode code = CheckCode::Never;
  Operator op = Operator::Equals;  // for Fields
  std::uint32_t length = 0;        // text literal length, or the right-hand slot
  union {
    const char* text;
    double number;
    bool boolean;
  };
  Check() : number(0.0) {}
};
static_assert(sizeof(Check) == 24);

struct PlanRule {
  std::uint32_t first = 0;
  std::uint16_t count = 0;
  bool any = false;  // an Any list; Atomic and All require every check
  const CompiledRule* rule = nullptr;
};

struct BucketPlan {
  std::vector<Check> checks;
  std::vector<PlanRule> rules;
};

inline Check make_check(const AtomicCondition& atomic) {
  Check check;
  check.slot = atomic.lhs.slot;
  check.op = atomic.op;
  if (const auto* subject = std::get_if<SubjectRef>(&atomic.rhs)) {
    check.code = CheckCode::Fields;
    check.length = subject->slot;
    return check;
  }
  const auto& literal = std::get<RuntimeValue>(atomic.rhs);
  const bool equals = atomic.op == Operator::Equals;
  const bool not_equals = atomic.op == Operator::NotEquals;
  if (const auto* text = std::get_if<std::string>(&literal)) {
    check.text = text->data();
    check.length = static_cast<std::uint32_t>(text->size());
    check.code = equals       ? CheckCode::TextEquals
                 : not_equals ? CheckCode::TextNotEquals
                              : CheckCode::Never;
  } else if (const auto* number = std::get_if<double>(&literal)) {
    check.number = *number;
    check.code = equals                               ? CheckCode::NumberEquals
                 : not_equals                         ? CheckCode::NumberNotEquals
                 : atomic.op == Operator::GreaterThan ? CheckCode::NumberGreater
                 : atomic.op == Operator::LessThan    ? CheckCode::NumberLess
                                                      : CheckCode::Never;
  } else {
    check.boolean = std::get<bool>(literal);
    check.code = equals       ? CheckCode::BooleanEquals
                 : not_equals ? CheckCode::BooleanNotEquals
                              : CheckCode::Never;
  }
  return check;
}

inline BucketPlan make_plan(const RuleSequence& rules) {
  BucketPlan plan;
  for (const auto& rule : rules) {
    PlanRule entry{static_cast<std::uint32_t>(plan.checks.size()), 0, false, &rule};
    if (const auto* atomic = std::get_if<AtomicCondition>(&rule.condition)) {
      plan.checks.push_back(make_check(*atomic));
    } else {
      const auto* all = std::get_if<AllOf>(&rule.condition);
      entry.any = all == nullptr;
      const auto& members = all ? all->members : std::get<AnyOf>(rule.condition).members;
      for (const auto& member : members) plan.checks.push_back(make_check(member));
    }
    entry.count = static_cast<std::uint16_t>(plan.checks.size() - entry.first);
    plan.rules.push_back(entry);
  }
  return plan;
}

inline bool check_holds(const Check& check, const EvaluationInput& input) {
  const ValueView& left = input.at(check.slot);
  switch (check.code) {
    case CheckCode::TextEquals:
      return left.kind == ValueKind::String && left.text.size() == check.length &&
             std::memcmp(left.text.data(), check.text, check.length) == 0;
    case CheckCode::TextNotEquals:
      return left.kind == ValueKind::String &&
             (left.text.size() != check.length ||
              std::memcmp(left.text.data(), check.text, check.length) != 0);
    case CheckCode::NumberEquals:
      return left.kind == ValueKind::Number && left.number == check.number;
    case CheckCode::NumberNotEquals:
      return left.kind == ValueKind::Number && left.number != check.number;
    case CheckCode::NumberGreater:
      return left.kind == ValueKind::Number && left.number > check.number;
    case CheckCode::NumberLess:
      return left.kind == ValueKind::Number && left.number < check.number;
    case CheckCode::BooleanEquals:
      return left.kind == ValueKind::Boolean && left.boolean == check.boolean;
    case CheckCode::BooleanNotEquals:
      return left.kind == ValueKind::Boolean && left.boolean != check.boolean;
    case CheckCode::Never:
      return false;
    case CheckCode::Fields: {
      const ValueView& right = input.at(check.length);
      if (!left.present() || left.kind != right.kind) return false;
      switch (left.kind) {
        case ValueKind::String:
          return check.op == Operator::Equals      ? left.text == right.text
                 : check.op == Operator::NotEquals ? left.text != right.text
                                                   : false;
        case ValueKind::Number:
          return check.op == Operator::Equals        ? left.number == right.number
                 : check.op == Operator::NotEquals   ? left.number != right.number
                 : check.op == Operator::GreaterThan ? left.number > right.number
                 : check.op == Operator::LessThan    ? left.number < right.number
                                                     : false;
        case ValueKind::Boolean:
          return check.op == Operator::Equals      ? left.boolean == right.boolean
                 : check.op == Operator::NotEquals ? left.boolean != right.boolean
                                                   : false;
        default:
          return false;
      }
    }
  }
  return false;
}

inline const CompiledRule* find_first_match(const BucketPlan& plan, const EvaluationInput& input) {
  const Check* checks = plan.checks.data();
  for (const PlanRule& entry : plan.rules) {
    const Check* check = checks + entry.first;
    const Check* end = check + entry.count;
    // All: stop at the first false check; Any: at the first true one.
    while (check != end && check_holds(*check, input) != entry.any) ++check;
    if ((check != end) == entry.any) return entry.rule;
  }
  return nullptr;
}

}  // namespace kavro::prototype

namespace kavro::prototype {

// The branch-free variant: every check of a bucket is evaluated in one
// linear pass with no data-dependent branch except "a rule matched". Rules
// are pure, so evaluating all members of an `all` or `any` list gives the
// same truth value as stopping early. Texts are compared by a 64-bit
// fingerprint (the bytes themselves up to 8 bytes, a hash beyond) and
// confirmed byte by byte only when fingerprints and lengths agree.

inline std::uint64_t fingerprint(std::string_view text) {
  std::uint64_t packed = 0;
  if (text.size() <= 8) {
    std::memcpy(&packed, text.data(), text.size());
    return packed;
  }
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3u;
  return hash;
}

// One input value as the pass reads it: numbers and booleans (as 0 or 1)
// in `number`, texts as their fingerprint in `bits`.
struct SlotValue {
  ValueKind kind = ValueKind::Absent;
  std::uint32_t length = 0;
  union {
    double number;
    std::uint64_t bits;
  };
  const char* text = nullptr;
  SlotValue() : bits(0) {}
};

inline SlotValue slot_value(const ValueView& view) {
  SlotValue value;
  value.kind = view.kind;
  switch (view.kind) {
    case ValueKind::String:
      value.bits = fingerprint(view.text);
      value.length = static_cast<std::uint32_t>(view.text.size());
      value.text = view.text.data();
      break;
    case ValueKind::Number:
      value.number = view.number;
      break;
    case ValueKind::Boolean:
      value.number = view.boolean ? 1.0 : 0.0;
      break;
    default:
      break;
  }
  return value;
}

enum : std::uint8_t { kLess = 1, kGreater = 2, kEqual = 4, kNotEqual = 8 };

struct StreamCheck {
  std::uint32_t slot = 0;
  std::uint32_t rhs_slot = 0;  // kNoSlot for a literal
  SlotValue literal;
  std::uint8_t tests = 0;  // kLess | kGreater | kEqual | kNotEqual
  bool any = false;        // member of an Any list
  bool last = false;       // last check of its rule
  bool next_start = true;  // starting value of the next rule (true unless Any)
};

struct StreamPlan {
  std::vector<StreamCheck> checks;
  std::vector<std::uint32_t> rule_ends;  // index one past each rule's last check
  std::vector<const CompiledRule*> rules;
  bool first_start = true;
};

inline std::uint8_t tests_of(Operator op) {
  switch (op) {
    case Operator::Equals:
      return kEqual;
    case Operator::NotEquals:
      return kNotEqual;
    case Operator::GreaterThan:
      return kGreater;
    case Operator::LessThan:
      return kLess;
    default:
      return 0;
  }
}

inline StreamPlan make_stream(const RuleSequence& rules) {
  StreamPlan plan;
  for (const auto& rule : rules) {
    std::vector<const AtomicCondition*> members;
    bool any = false;
    if (const auto* atomic = std::get_if<AtomicCondition>(&rule.condition)) {
      members.push_back(atomic);
    } else if (const auto* all = std::get_if<AllOf>(&rule.condition)) {
      for (const auto& member : all->members) members.push_back(&member);
    } else {
      any = true;
      for (const auto& member : std::get<AnyOf>(rule.condition).members) members.push_back(&member);
    }
    if (plan.checks.empty()) plan.first_start = !any;
    if (!plan.checks.empty()) plan.checks.back().next_start = !any;
    for (const auto* member : members) {
      StreamCheck check;
      check.slot = member->lhs.slot;
      check.any = any;
      check.tests = tests_of(member->op);
      if (const auto* subject = std::get_if<SubjectRef>(&member->rhs)) {
        check.rhs_slot = subject->slot;
      } else {
        check.rhs_slot = kNoSlot;
        check.literal = slot_value(view_of(std::get<RuntimeValue>(member->rhs)));
        if (check.literal.kind == ValueKind::String) check.tests &= kEqual | kNotEqual;
        if (check.literal.kind == ValueKind::Boolean) check.tests &= kEqual | kNotEqual;
      }
      plan.checks.push_back(check);
    }
    plan.checks.back().last = true;
    plan.rule_ends.push_back(static_cast<std::uint32_t>(plan.checks.size()));
    plan.rules.push_back(&rule);
  }
  return plan;
}

[[gnu::always_inline]] inline bool stream_check(const StreamCheck& check, const SlotValue* values) {
  const SlotValue& left = values[check.slot];
  const SlotValue& right = check.rhs_slot == kNoSlot ? check.literal : values[check.rhs_slot];
  // Bitwise operators throughout: no branch depends on the data.
  const unsigned text = right.kind == ValueKind::String;
  const unsigned kinds_agree = (left.kind == right.kind) & (left.kind != ValueKind::Absent);
  const unsigned same_print = (left.bits == right.bits) & (left.length == right.length);
  const unsigned same_number = left.number == right.number;
  const unsigned equal = (text & same_print) | (~text & same_number & 1u);
  const unsigned tests = check.tests;
  const unsigned less = (~text & 1u) & (left.number < right.number);
  const unsigned greater = (~text & 1u) & (left.number > right.number);
  unsigned holds = ((tests >> 2) & equal) | ((tests >> 3) & (equal ^ 1u)) | (tests & less) |
                   ((tests >> 1) & greater);
  holds &= kinds_agree;
  // Long texts with equal fingerprints: confirm the bytes (rare).
  if (text & same_print & kinds_agree & (left.length > 8)) [[unlikely]] {
    const unsigned bytes_equal = std::memcmp(left.text, right.text, left.length) == 0;
    holds = ((tests >> 2) & bytes_equal) | ((tests >> 3) & (bytes_equal ^ 1u));
  }
  return holds & 1u;
}

inline const CompiledRule* find_first_match(const StreamPlan& plan, const SlotValue* values) {
  bool state = plan.first_start;
  const StreamCheck* checks = plan.checks.data();
  const std::size_t count = plan.checks.size();
  for (std::size_t i = 0; i < count; ++i) {
    const StreamCheck& check = checks[i];
    const bool holds = stream_check(check, values);
    state = (state & (holds | check.any)) | (holds & check.any);
    if (check.last & state) [[unlikely]] {
      auto end = std::upper_bound(plan.rule_ends.begin(), plan.rule_ends.end(),
                                  static_cast<std::uint32_t>(i));
      return plan.rules[static_cast<std::size_t>(end - plan.rule_ends.begin())];
    }
    state = check.last ? check.next_start : state;
  }
  return nullptr;
}

}  // namespace kavro::prototype

namespace kavro::prototype {

// An equality index: a rule whose condition requires `field == literal`
// (an Atomic, or one member of an All) can only match requests that carry
// that value, so the scan visits it only then. Rules are still tried in
// document order: the candidate lists are merged by position. Of a rule's
// usable equalities the rarest in its bucket is indexed; booleans, NaN and
// Any lists stay in the list of rules visited for every request.
struct IndexedBucket {
  struct Key {
    std::uint32_t slot = 0;
    std::map<std::string, std::vector<std::uint32_t>, std::less<>> by_text;
    std::map<double, std::vector<std::uint32_t>> by_number;
  };
  const RuleSequence* rules = nullptr;
  std::vector<Key> keys;
  std::vector<std::uint32_t> always;  // positions visited for every request
};

inline bool indexable(const AtomicCondition& atomic) {
  if (atomic.op != Operator::Equals) return false;
  const auto* literal = std::get_if<RuntimeValue>(&atomic.rhs);
  if (literal == nullptr || std::holds_alternative<bool>(*literal)) return false;
  const auto* number = std::get_if<double>(literal);
  return number == nullptr || *number == *number;
}

inline std::vector<const AtomicCondition*> required_equalities(const CompiledRule& rule) {
  std::vector<const AtomicCondition*> found;
  if (const auto* atomic = std::get_if<AtomicCondition>(&rule.condition)) {
    if (indexable(*atomic)) found.push_back(atomic);
  } else if (const auto* all = std::get_if<AllOf>(&rule.condition)) {
    for (const auto& member : all->members) {
      if (indexable(member)) found.push_back(&member);
    }
  }
  return found;
}

inline std::string equality_key(const AtomicCondition& atomic) {
  const auto& literal = std::get<RuntimeValue>(atomic.rhs);
  std::string key = std::to_string(atomic.lhs.slot);
  if (const auto* text = std::get_if<std::string>(&literal)) return key + "s" + *text;
  // -0.0 and 0.0 are equal numbers, so they share a key.
  return key + "n" + std::to_string(std::get<double>(literal) + 0.0);
}

inline IndexedBucket make_indexed(const RuleSequence& rules) {
  IndexedBucket bucket;
  bucket.rules = &rules;
  std::map<std::string, std::size_t> frequency;
  for (const auto& rule : rules) {
    for (const auto* atomic : required_equalities(rule)) ++frequency[equality_key(*atomic)];
  }
  for (std::uint32_t position = 0; position < rules.size(); ++position) {
    const AtomicCondition* rarest = nullptr;
    for (const auto* atomic : required_equalities(rules[position])) {
      if (!rarest || frequency[equality_key(*atomic)] < frequency[equality_key(*rarest)]) {
        rarest = atomic;
      }
    }
    if (rarest == nullptr) {
      bucket.always.push_back(position);
      continue;
    }
    auto key = std::find_if(bucket.keys.begin(), bucket.keys.end(),
                            [&](const auto& k) { return k.slot == rarest->lhs.slot; });
    if (key == bucket.keys.end()) {
      bucket.keys.push_back({});
      key = bucket.keys.end() - 1;
      key->slot = rarest->lhs.slot;
    }
    const auto& literal = std::get<RuntimeValue>(rarest->rhs);
    if (const auto* text = std::get_if<std::string>(&literal)) {
      key->by_text[*text].push_back(position);
    } else {
      key->by_number[std::get<double>(literal) + 0.0].push_back(position);
    }
  }
  return bucket;
}

inline const CompiledRule* find_first_match(const IndexedBucket& bucket,
                                            const EvaluationInput& input) {
  // At most a few lists: the always-visited one and one per key slot.
  struct Cursor {
    const std::uint32_t* next;
    const std::uint32_t* end;
  };
  Cursor cursors[8];
  std::size_t count = 0;
  cursors[count++] = {bucket.always.data(), bucket.always.data() + bucket.always.size()};
  for (const auto& key : bucket.keys) {
    const ValueView value = input.at(key.slot);
    const std::vector<std::uint32_t>* list = nullptr;
    if (value.kind == ValueKind::String) {
      auto it = key.by_text.find(value.text);
      if (it != key.by_text.end()) list = &it->second;
    } else if (value.kind == ValueKind::Number) {
      auto it = key.by_number.find(value.number + 0.0);
      if (it != key.by_number.end()) list = &it->second;
    }
    if (list != nullptr && count < 8)
      cursors[count++] = {list->data(), list->data() + list->size()};
  }
  for (;;) {
    Cursor* lowest = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
      if (cursors[i].next != cursors[i].end && (!lowest || *cursors[i].next < *lowest->next)) {
        lowest = &cursors[i];
      }
    }
    if (lowest == nullptr) return nullptr;
    const CompiledRule& rule = (*bucket.rules)[*lowest->next++];
    if (condition_holds(rule.condition, input)) return &rule;
  }
}

}  // namespace kavro::prototype
