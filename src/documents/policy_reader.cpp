#include "documents/policy_reader.h"

#include <array>
#include <string_view>
#include <tuple>

#include "documents/direct_reader.h"
#include "documents/trial_reader.h"

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

}  // namespace

Result<PolicyAst, LoadError> read_policy(ReadingContext& context, std::size_t index,
                                         const PathStep& path) {
  return RecordReader<PolicyShape>{}.read(context, index, path);
}

}  // namespace kavro::documents::detail
