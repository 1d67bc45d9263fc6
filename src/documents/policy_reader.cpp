#include "documents/policy_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "documents/direct_reader.h"
#include "documents/trial_reader.h"
#include "support/near_miss.h"

namespace kavro::documents::detail {
namespace {

struct SubjectShape {
  using value_type = SubjectAst;
  static constexpr std::string_view name = "SubjectAst";
  static constexpr bool sequence_form = true;
  static constexpr auto fields = std::tuple{
      field("domain", &SubjectAst::domain, TreeTextReader{}),
      field("field", &SubjectAst::field, TreeTextReader{}),
  };
};

struct LiteralValueChoice {
  using value_type = LiteralValueAst;
  static constexpr std::string_view name = "LiteralValueAst";
  static constexpr auto variants =
      std::tuple{TreeTextReader{}, TreeFloatReader{}, TreeBooleanReader{}};
};

struct LiteralVariantShape {
  using value_type = LiteralValueAst;
  static constexpr std::string_view choice = "ValueAst";
  static constexpr std::string_view name = "Literal";
  static constexpr auto fields =
      std::tuple{whole<LiteralValueAst>("literal", TreeChoiceReader<LiteralValueChoice>{})};
};

struct SubjectVariantShape {
  using value_type = SubjectAst;
  static constexpr std::string_view choice = "ValueAst";
  static constexpr std::string_view name = "Subject";
  static constexpr auto fields =
      std::tuple{whole<SubjectAst>("subject", TreeRecordReader<SubjectShape>{})};
};

struct ValueChoice {
  using value_type = ValueAst;
  static constexpr std::string_view name = "ValueAst";
  static constexpr auto variants =
      std::tuple{TreeRecordReader<LiteralVariantShape>{}, TreeRecordReader<SubjectVariantShape>{}};
};

struct AtomicConditionShape {
  using value_type = AtomicConditionAst;
  static constexpr std::string_view name = "AtomicConditionAst";
  static constexpr bool sequence_form = true;
  static constexpr auto fields = std::tuple{
      field("subject", &AtomicConditionAst::subject, TreeRecordReader<SubjectShape>{}),
      field("operator", &AtomicConditionAst::op, TreeTextReader{}),
      field("value", &AtomicConditionAst::value, TreeChoiceReader<ValueChoice>{}),
  };
};

using AtomicListReader = TreeSequenceReader<TreeRecordReader<AtomicConditionShape>>;

struct AllVariantShape {
  using value_type = AllConditionAst;
  static constexpr std::string_view choice = "ConditionAst";
  static constexpr std::string_view name = "All";
  static constexpr auto fields =
      std::tuple{field("all", &AllConditionAst::all, AtomicListReader{})};
};

struct AnyVariantShape {
  using value_type = AnyConditionAst;
  static constexpr std::string_view choice = "ConditionAst";
  static constexpr std::string_view name = "Any";
  static constexpr auto fields =
      std::tuple{field("any", &AnyConditionAst::any, AtomicListReader{})};
};

struct ConditionChoice {
  using value_type = ConditionAst;
  static constexpr std::string_view name = "ConditionAst";
  static constexpr auto variants =
      std::tuple{TreeRecordReader<AtomicConditionShape>{}, TreeRecordReader<AllVariantShape>{},
                 TreeRecordReader<AnyVariantShape>{}};
};

struct ActionVariantShape {
  using value_type = ActionScopeAst;
  static constexpr std::string_view choice = "ScopeAst";
  static constexpr std::string_view name = "Action";
  static constexpr auto fields =
      std::tuple{field("action", &ActionScopeAst::action, TreeTextReader{})};
};

struct ActorVariantShape {
  using value_type = ActorScopeAst;
  static constexpr std::string_view choice = "ScopeAst";
  static constexpr std::string_view name = "Actor";
  static constexpr auto fields =
      std::tuple{field("actor", &ActorScopeAst::actor, TreeTextReader{})};
};

struct GlobalVariantShape {
  using value_type = GlobalScopeAst;
  static constexpr std::string_view choice = "ScopeAst";
  static constexpr std::string_view name = "Global";
  static constexpr auto fields =
      std::tuple{field("global", &GlobalScopeAst::global, TreeBooleanReader{})};
};

struct ScopeChoice {
  using value_type = ScopeAst;
  static constexpr std::string_view name = "ScopeAst";
  static constexpr auto variants =
      std::tuple{TreeRecordReader<ActionVariantShape>{}, TreeRecordReader<ActorVariantShape>{},
                 TreeRecordReader<GlobalVariantShape>{}};
};

struct EffectNames {
  using value_type = Effect;
  static constexpr auto spellings = spellings_of<Effect>();
  static constexpr auto values = values_of<Effect>();
};

struct RuleShape {
  using value_type = RuleAst;
  static constexpr std::string_view name = "RuleAst";
  static constexpr auto fields = std::tuple{
      field("id", &RuleAst::id, TextReader{}),
      field("scope", &RuleAst::scope, ChoiceReader<ScopeChoice>{}),
      field("when", &RuleAst::when, ChoiceReader<ConditionChoice>{}),
      field("effect", &RuleAst::effect, NamedValueReader<EffectNames>{}),
  };
};

struct PolicyShape {
  using value_type = PolicyAst;
  static constexpr std::string_view name = "PolicyAst";
  static constexpr auto fields = std::tuple{
      field("version", &PolicyAst::version, U32Reader{}),
      field("rules", &PolicyAst::rules, SequenceReader<RecordReader<RuleShape>, true>{}),
  };
};

// Version 2. A condition is read straight from the events, so that every
// fault is placed at the part of the condition it is about, and its messages
// name what may be written instead.

// All, any and not may hold each other this deep; deeper is refused.
constexpr std::size_t kMostConditionLevels = 8;

// Words authors reach for, with the operator the language spells for them.
constexpr std::array<std::pair<std::string_view, std::string_view>, 27> kOperatorSynonyms = {{
    {">=", "greater_or_equal"},
    {"=>", "greater_or_equal"},
    {"gte", "greater_or_equal"},
    {"<=", "less_or_equal"},
    {"=<", "less_or_equal"},
    {"lte", "less_or_equal"},
    {">", "greater_than"},
    {"gt", "greater_than"},
    {"<", "less_than"},
    {"lt", "less_than"},
    {"==", "equals"},
    {"=", "equals"},
    {"eq", "equals"},
    {"!=", "not_equals"},
    {"ne", "not_equals"},
    {"has", "present"},
    {"exists", "present"},
    {"is_present", "present"},
    {"missing", "absent"},
    {"not_present", "absent"},
    {"one_of", "in"},
    {"not_one_of", "not_in"},
    {"nin", "not_in"},
    {"prefix", "starts_with"},
    {"startswith", "starts_with"},
    {"suffix", "ends_with"},
    {"endswith", "ends_with"},
}};

std::string unknown_operator_v2(std::string_view written) {
  std::string message = "unknown operator '" + std::string(written) + "': use ";
  for (const auto& [synonym, word] : kOperatorSynonyms) {
    if (synonym == written) return message + std::string(word);
  }
  constexpr auto words = spellings_of<Operator>();
  if (const auto near = nearest_name(written, words)) return message + std::string(*near);
  message = "unknown operator '" + std::string(written) + "': use one of ";
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i) message += ", ";
    message += words[i];
  }
  return message;
}

std::string_view kind_word(const LiteralValueAst& literal) {
  return spelling(static_cast<FieldType>(literal.index()));
}

// A located failure of the node at `index`.
LoadError fault_at(ReadingContext& context, std::size_t index, const PathStep& path,
                   std::string message) {
  LoadError error(std::move(message));
  error.locate(path.render(), context.document().position(context.document()[index]));
  return error;
}

class ConditionV2Reader {
 public:
  explicit ConditionV2Reader(ReadingContext& context) : context_(context) {}

  Result<TreeConditionAst, LoadError> read(std::size_t index, const PathStep& path) {
    auto root = node(index, path, 0);
    if (!root) return fail(std::move(root).error());
    return TreeConditionAst{std::move(root).value(), std::move(comparisons_)};
  }

 private:
  struct Keys {
    std::optional<std::size_t> subject, op, value, all, any, negated;
  };

  Result<ConditionNodeAst, LoadError> node(std::size_t index, const PathStep& path,
                                           std::size_t levels) {
    const EventDocument& document = context_.document();
    return read_located<ConditionNodeAst>(
        context_, index, path,
        [&](std::size_t at, const Event& event) -> Result<ConditionNodeAst, LoadError> {
          current_path_ = &path;
          if (event.kind == EventKind::SequenceStart) return listed_comparison(at, event);
          if (event.kind != EventKind::MappingStart) {
            return fail(LoadError(
                "a condition is a map with subject, operator and value, or with one of all, "
                "any, not: found " +
                document.found(event)));
          }
          NestingLevel level(context_);
          if (!level.entered()) return fail(LoadError::recursion_limit(document.position(event)));
          Keys keys;
          for (std::size_t i = at + 1;; i = document.after(document.after(i))) {
            if (i >= document.size()) return fail(document.end_error());
            if (document[i].kind == EventKind::MappingEnd) break;
            auto key = key_text(context_, i);
            if (!key) return fail(std::move(key).error());
            const std::string_view name = key->value_or(std::string_view());
            std::optional<std::size_t>* slot = name == "subject"    ? &keys.subject
                                               : name == "operator" ? &keys.op
                                               : name == "value"    ? &keys.value
                                               : name == "all"      ? &keys.all
                                               : name == "any"      ? &keys.any
                                               : name == "not"      ? &keys.negated
                                                                    : nullptr;
            if (slot == nullptr) {
              return fail(fault_at(context_, i, PathStep::key(path, name),
                                   "unknown key '" + std::string(name) +
                                       "' in a condition: use subject, operator and value, or "
                                       "one of all, any, not"));
            }
            if (*slot) return fail(LoadError(duplicate_field(name)));
            *slot = document.after(i);
          }
          const int logical = (keys.all ? 1 : 0) + (keys.any ? 1 : 0) + (keys.negated ? 1 : 0);
          const bool comparing = keys.subject || keys.op || keys.value;
          if (logical > 1 || (logical == 1 && comparing)) {
            return fail(LoadError(
                "a condition holds either subject, operator and value, or one of all, any, not: "
                "put the others inside it"));
          }
          if (logical == 0) return comparison(keys, path);
          if (levels + 1 > kMostConditionLevels) {
            return fail(LoadError("conditions nest at most " +
                                  std::to_string(kMostConditionLevels) +
                                  " levels of all, any and not: move the inner part into a "
                                  "rule of its own"));
          }
          if (keys.negated) {
            const PathStep step = PathStep::key(path, "not");
            auto inner = context_.resolve(*keys.negated);
            if (!inner) return fail(std::move(inner).error());
            if (document[*inner].kind == EventKind::SequenceStart) {
              return fail(fault_at(context_, *inner, step,
                                   "'not' holds one condition, not a list: wrap several in all "
                                   "or any"));
            }
            auto negated = node(*inner, step, levels + 1);
            if (!negated) return fail(std::move(negated).error());
            ConditionNodeAst result{NodeKind::Not, 0, {}};
            result.members.push_back(std::move(negated).value());
            return result;
          }
          const bool all = keys.all.has_value();
          return members(all ? *keys.all : *keys.any, PathStep::key(path, all ? "all" : "any"),
                         all ? NodeKind::All : NodeKind::Any, levels + 1);
        });
  }

  // [subject, operator, value], as version 1 writes a comparison, or
  // [subject, operator] for present and absent.
  Result<ConditionNodeAst, LoadError> listed_comparison(std::size_t at, const Event& event) {
    const EventDocument& document = context_.document();
    NestingLevel level(context_);
    if (!level.entered()) return fail(LoadError::recursion_limit(document.position(event)));
    std::vector<std::size_t> items;
    for (std::size_t i = at + 1;; i = document.after(i)) {
      if (i >= document.size()) return fail(document.end_error());
      if (document[i].kind == EventKind::SequenceEnd) break;
      items.push_back(i);
    }
    if (items.size() != 2 && items.size() != 3) {
      return fail(
          LoadError("a condition written as a list is [subject, operator, value], or "
                    "[subject, operator] for present and absent: found " +
                    std::to_string(items.size()) + " items"));
    }
    Keys keys;
    keys.subject = items[0];
    keys.op = items[1];
    if (items.size() == 3) keys.value = items[2];
    return comparison(keys, *current_path_);
  }

  Result<ConditionNodeAst, LoadError> members(std::size_t index, const PathStep& path,
                                              NodeKind kind, std::size_t levels) {
    const EventDocument& document = context_.document();
    const std::string_view word = kind == NodeKind::All ? "all" : "any";
    return read_located<ConditionNodeAst>(
        context_, index, path,
        [&](std::size_t at, const Event& event) -> Result<ConditionNodeAst, LoadError> {
          if (event.kind != EventKind::SequenceStart) {
            return fail(LoadError("'" + std::string(word) + "' holds a list of conditions: found " +
                                  document.found(event)));
          }
          NestingLevel level(context_);
          if (!level.entered()) return fail(LoadError::recursion_limit(document.position(event)));
          ConditionNodeAst result{kind, 0, {}};
          for (std::size_t i = at + 1, n = 0;; i = document.after(i), ++n) {
            if (i >= document.size()) return fail(document.end_error());
            if (document[i].kind == EventKind::SequenceEnd) break;
            auto member = node(i, PathStep::index(path, n), levels);
            if (!member) return fail(std::move(member).error());
            result.members.push_back(std::move(member).value());
          }
          if (result.members.size() < 2) {
            return fail(LoadError("'" + std::string(word) +
                                  "' needs at least two conditions: write a single condition "
                                  "without it"));
          }
          return result;
        });
  }

  Result<ConditionNodeAst, LoadError> comparison(const Keys& keys, const PathStep& path) {
    if (!keys.subject) return fail(LoadError(missing_field("subject")));
    if (!keys.op) return fail(LoadError(missing_field("operator")));
    AtomicConditionAst atomic;
    const PathStep subject_step = PathStep::key(path, "subject");
    auto subject = tree_at(*keys.subject, subject_step);
    if (!subject) return fail(std::move(subject).error());
    auto read_subject = TreeRecordReader<SubjectShape>{}.read(subject->node);
    if (!read_subject) {
      return fail(
          fault_at(context_, subject->index, subject_step,
                   "a subject is {domain: ..., field: ...}: " + read_subject.error().message));
    }
    atomic.subject = std::move(read_subject).value();
    const PathStep op_step = PathStep::key(path, "operator");
    auto op_index = context_.resolve(*keys.op);
    if (!op_index) return fail(std::move(op_index).error());
    const Event& op_event = context_.document()[*op_index];
    if (op_event.kind != EventKind::Scalar) {
      return fail(fault_at(
          context_, *op_index, op_step,
          "an operator is a word such as equals: found " + context_.document().found(op_event)));
    }
    atomic.op = std::string(context_.document().text(op_event));
    const auto op = operator_in_version(atomic.op, 2);
    if (!op) return fail(fault_at(context_, *op_index, op_step, unknown_operator_v2(atomic.op)));
    auto value = operand(*op, keys, path);
    if (!value) return fail(std::move(value).error());
    atomic.value = std::move(value).value();
    comparisons_.push_back(std::move(atomic));
    return ConditionNodeAst{
        NodeKind::Comparison, static_cast<std::uint32_t>(comparisons_.size() - 1), {}};
  }

  struct Taken {
    std::size_t index;
    TreeNode node;
  };
  Result<Taken, LoadError> tree_at(std::size_t index, const PathStep& path) {
    auto resolved = context_.resolve(index);
    if (!resolved) return fail(std::move(resolved).error());
    auto tree = take_tree(context_, *resolved);
    if (!tree) return fail(std::move(tree).error());
    if (ReadNotes* notes = context_.notes();
        notes && notes->wants_place(path.is_index(), path.key_text())) {
      const std::string place = path.render();
      notes->places.emplace_back(place,
                                 context_.document().position(context_.document()[*resolved]));
      // The field name or literal a later error is about.
      if (notes->place_keys.empty()) {
        note_inner_places(context_.document(), *resolved, place, *notes);
      }
    }
    return Taken{*resolved, std::move(tree).value()};
  }

  // The list under `literal`, when the value is {literal: [...]}.
  static const TreeNode::Sequence* literal_list(const TreeNode& value) {
    const auto* entries = std::get_if<TreeNode::Mapping>(&value.value);
    if (entries == nullptr) return nullptr;
    for (const TreeEntry& entry : *entries) {
      const auto* key = std::get_if<std::string_view>(&entry.key.value);
      if (key != nullptr && *key == "literal") {
        return std::get_if<TreeNode::Sequence>(&entry.value.value);
      }
    }
    return nullptr;
  }

  static bool names_subject(const TreeNode& value) {
    const auto* entries = std::get_if<TreeNode::Mapping>(&value.value);
    if (entries == nullptr) return false;
    for (const TreeEntry& entry : *entries) {
      const auto* key = std::get_if<std::string_view>(&entry.key.value);
      if (key != nullptr && *key == "subject") return true;
    }
    return false;
  }

  Result<ValueAst, LoadError> operand(Operator op, const Keys& keys, const PathStep& path) {
    const std::string said = "operator '" + std::string(spelling(op)) + "'";
    const Operand kind = word(op).operand;
    if (kind == Operand::None) {
      if (keys.value) {
        return fail(fault_at(context_, *keys.value, PathStep::key(path, "value"),
                             said + " takes no value: remove the value key"));
      }
      return ValueAst(NoValueAst{});
    }
    if (!keys.value) {
      const std::string example = kind == Operand::List   ? "{literal: [EUR, USD]}"
                                  : kind == Operand::Text ? "{literal: /tmp/}"
                                                          : "{literal: 10}";
      return fail(LoadError(said + " needs a value, such as " + example));
    }
    const PathStep step = PathStep::key(path, "value");
    auto taken = tree_at(*keys.value, step);
    if (!taken) return fail(std::move(taken).error());
    const auto at = [&](std::string message) {
      return fail(fault_at(context_, taken->index, step, std::move(message)));
    };
    const TreeNode::Sequence* list = literal_list(taken->node);
    switch (kind) {
      case Operand::List:
        if (names_subject(taken->node)) {
          return at(said + " compares with a list literal, not a field: write {literal: [...]}");
        }
        if (list == nullptr) {
          return at(said + " takes a list: write {literal: [...]}; for one value use " +
                    (op == Operator::In ? "equals" : "not_equals"));
        }
        return list_members(*list, taken->index, step, said);
      case Operand::Text:
        if (names_subject(taken->node)) {
          return at(said + " compares with a string literal, not a field");
        }
        if (list != nullptr) return at(said + " takes one string, not a list");
        break;
      case Operand::Value:
        if (list != nullptr) {
          return at(said + " compares with one value: for a list use " +
                    (op == Operator::NotEquals ? "not_in" : "in"));
        }
        break;
      case Operand::None:
        break;
    }
    auto value = TreeChoiceReader<ValueChoice>{}.read(taken->node);
    if (!value) {
      return at(
          "a value is {literal: ...} with a string, a number or a boolean, or "
          "{subject: {domain: ..., field: ...}}");
    }
    return std::move(value).value();
  }

  Result<ValueAst, LoadError> list_members(const TreeNode::Sequence& items, std::size_t index,
                                           const PathStep& step, const std::string& said) {
    const PathStep literal_step = PathStep::key(step, "literal");
    const auto at = [&](std::string message) {
      return fail(fault_at(context_, index, literal_step, std::move(message)));
    };
    if (items.empty()) return at(said + " needs at least one member in its list");
    ListValueAst list;
    list.members.reserve(items.size());
    for (std::size_t n = 0; n < items.size(); ++n) {
      const std::string member = "member " + std::to_string(n + 1);
      auto value = TreeChoiceReader<LiteralValueChoice>{}.read(items[n]);
      if (!value) {
        return at(member + " of the list is " + describe_found(items[n]) +
                  ": members are strings, numbers or booleans");
      }
      const LiteralValueAst& read = *value;
      if (const auto* number = std::get_if<double>(&read); number && std::isnan(*number)) {
        return at(member + " of the list is .nan, which equals nothing: remove it");
      }
      if (!list.members.empty() && read.index() != list.members.front().index()) {
        return at(member + " of the list is a " + std::string(kind_word(read)) + ", the first a " +
                  std::string(kind_word(list.members.front())) + ": members are all of one kind");
      }
      list.members.push_back(std::move(value).value());
    }
    for (std::size_t n = 1; n < list.members.size(); ++n) {
      for (std::size_t earlier = 0; earlier < n && list.members.size() <= kPairwiseLimit;
           ++earlier) {
        if (list.members[earlier] == list.members[n] ||
            (read_zero(list.members[earlier]) && read_zero(list.members[n]))) {
          return at("member " + std::to_string(n + 1) + " of the list repeats member " +
                    std::to_string(earlier + 1) + ": remove it");
        }
      }
    }
    if (list.members.size() > kPairwiseLimit) {
      if (auto repeat = first_repeat(list.members)) {
        return at("member " + std::to_string(repeat->second + 1) + " of the list repeats member " +
                  std::to_string(repeat->first + 1) + ": remove it");
      }
    }
    return ValueAst(std::move(list));
  }

  static bool read_zero(const LiteralValueAst& value) {
    const auto* number = std::get_if<double>(&value);
    return number != nullptr && *number == 0.0;
  }

  // Long lists are searched for repeats by sorting, short ones pair by pair.
  static constexpr std::size_t kPairwiseLimit = 32;
  static std::optional<std::pair<std::size_t, std::size_t>> first_repeat(
      const std::vector<LiteralValueAst>& members) {
    std::vector<std::size_t> order(members.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    const auto key_less = [&](std::size_t a, std::size_t b) {
      const LiteralValueAst& x = members[a];
      const LiteralValueAst& y = members[b];
      if (const auto* number = std::get_if<double>(&x)) {
        const double other = std::get<double>(y);
        if (*number != other) return *number < other;
      } else if (x != y) {
        return x < y;
      }
      return a < b;
    };
    std::sort(order.begin(), order.end(), key_less);
    std::optional<std::pair<std::size_t, std::size_t>> found;
    for (std::size_t i = 1; i < order.size(); ++i) {
      const LiteralValueAst& x = members[order[i - 1]];
      const LiteralValueAst& y = members[order[i]];
      const bool same =
          std::holds_alternative<double>(x) ? std::get<double>(x) == std::get<double>(y) : x == y;
      if (same && (!found || order[i] < found->second)) found = std::pair(order[i - 1], order[i]);
    }
    return found;
  }

  ReadingContext& context_;
  std::vector<AtomicConditionAst> comparisons_;
  const PathStep* current_path_ = nullptr;  // of the node being read
};

struct ConditionV2 {
  using value_type = ConditionAst;
  Result<ConditionAst, LoadError> read(ReadingContext& context, std::size_t index,
                                       const PathStep& path) const {
    auto tree = ConditionV2Reader(context).read(index, path);
    if (!tree) return fail(std::move(tree).error());
    return ConditionAst(std::move(tree).value());
  }
};

struct RuleV2Shape {
  using value_type = RuleAst;
  static constexpr std::string_view name = "RuleAst";
  static constexpr auto fields = std::tuple{
      field("id", &RuleAst::id, TextReader{}),
      field("scope", &RuleAst::scope, ChoiceReader<ScopeChoice>{}),
      field("when", &RuleAst::when, ConditionV2{}),
      field("effect", &RuleAst::effect, NamedValueReader<EffectNames>{}),
      field("description", &RuleAst::description, OptionalReader<TextReader>{}),
      field("tags", &RuleAst::tags, OptionalReader<SequenceReader<TextReader>>{}),
  };
};

struct PolicyV2Shape {
  using value_type = PolicyAst;
  static constexpr std::string_view name = "PolicyAst";
  static constexpr auto fields = std::tuple{
      field("version", &PolicyAst::version, U32Reader{}),
      field("rules", &PolicyAst::rules, SequenceReader<RecordReader<RuleV2Shape>, true>{}),
      field("default", &PolicyAst::default_effect, OptionalReader<NamedValueReader<EffectNames>>{}),
  };
};

// True when the root is a map whose `version` is the plain integer 2. Any
// other document is read as version 1, faults and all.
bool declares_version_two(ReadingContext& context, std::size_t index) {
  const EventDocument& document = context.document();
  auto root = context.resolve(index);
  if (!root || document[*root].kind != EventKind::MappingStart) return false;
  for (std::size_t i = *root + 1; i < document.size(); i = document.after(document.after(i))) {
    if (document[i].kind == EventKind::MappingEnd) return false;
    if (document[i].kind != EventKind::Scalar || document.text(document[i]) != "version") continue;
    const std::size_t value = document.after(i);
    if (value >= document.size() || document[value].kind != EventKind::Scalar) return false;
    const TypedScalar typed = document.typed(document[value]);
    const auto* number = std::get_if<std::uint64_t>(&typed);
    return number != nullptr && *number == 2;
  }
  return false;
}

}  // namespace

Result<PolicyAst, LoadError> read_policy(ReadingContext& context, std::size_t index,
                                         const PathStep& path) {
  if (declares_version_two(context, index)) {
    return RecordReader<PolicyV2Shape>{}.read(context, index, path);
  }
  return RecordReader<PolicyShape>{}.read(context, index, path);
}

}  // namespace kavro::documents::detail
