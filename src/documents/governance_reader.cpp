#include "documents/governance_reader.h"

#include <string_view>
#include <tuple>

#include "documents/direct_reader.h"
#include "documents/trial_reader.h"

namespace kavro::documents::detail {
namespace {

struct ExistsVariantShape {
  using value_type = ExistsConstraint;
  static constexpr std::string_view choice = "Constraint";
  static constexpr std::string_view name = "Exists";
  static constexpr auto fields =
      std::tuple{field("exists", &ExistsConstraint::exists, TreeBooleanReader{})};
};

struct MinCountVariantShape {
  using value_type = MinCountConstraint;
  static constexpr std::string_view choice = "Constraint";
  static constexpr std::string_view name = "MinCount";
  static constexpr auto fields =
      std::tuple{field("min_count", &MinCountConstraint::min_count, TreeCountReader{})};
};

struct MaxCountVariantShape {
  using value_type = MaxCountConstraint;
  static constexpr std::string_view choice = "Constraint";
  static constexpr std::string_view name = "MaxCount";
  static constexpr auto fields =
      std::tuple{field("max_count", &MaxCountConstraint::max_count, TreeCountReader{})};
};

struct ForbidVariantShape {
  using value_type = ForbidConstraint;
  static constexpr std::string_view choice = "Constraint";
  static constexpr std::string_view name = "Forbid";
  static constexpr auto fields =
      std::tuple{field("forbid", &ForbidConstraint::forbid, TreeBooleanReader{})};
};

struct AllowedFieldsVariantShape {
  using value_type = AllowedFieldsConstraint;
  static constexpr std::string_view choice = "Constraint";
  static constexpr std::string_view name = "AllowedFields";
  static constexpr auto fields =
      std::tuple{field("allowed_fields", &AllowedFieldsConstraint::allowed_fields,
                       TreeSequenceReader<TreeTextReader>{})};
};

struct ConstraintChoice {
  using value_type = Constraint;
  static constexpr std::string_view name = "Constraint";
  static constexpr auto variants =
      std::tuple{TreeRecordReader<ExistsVariantShape>{}, TreeRecordReader<MinCountVariantShape>{},
                 TreeRecordReader<MaxCountVariantShape>{}, TreeRecordReader<ForbidVariantShape>{},
                 TreeRecordReader<AllowedFieldsVariantShape>{}};
};

using OptionalText = OptionalReader<TextReader>;

struct SubjectFilterShape {
  using value_type = SubjectFilter;
  static constexpr std::string_view name = "SubjectFilter";
  static constexpr auto fields = std::tuple{
      field("domain", &SubjectFilter::domain, OptionalText{}),
      field("field", &SubjectFilter::field, OptionalText{}),
  };
};

struct WhenFilterShape {
  using value_type = WhenFilter;
  static constexpr std::string_view name = "WhenFilter";
  static constexpr auto fields = std::tuple{
      field("subject", &WhenFilter::subject, OptionalReader<RecordReader<SubjectFilterShape>>{})};
};

struct ScopeFilterShape {
  using value_type = ScopeFilter;
  static constexpr std::string_view name = "ScopeFilter";
  static constexpr auto fields = std::tuple{
      field("global", &ScopeFilter::global, OptionalReader<BooleanReader>{}),
      field("action", &ScopeFilter::action, OptionalText{}),
  };
};

struct RuleFilterShape {
  using value_type = RuleFilter;
  static constexpr std::string_view name = "RuleFilter";
  static constexpr auto fields = std::tuple{
      field("id", &RuleFilter::id, OptionalText{}),
      field("scope", &RuleFilter::scope, OptionalReader<RecordReader<ScopeFilterShape>>{}),
      field("effect", &RuleFilter::effect, OptionalText{}),
      field("when", &RuleFilter::when, OptionalReader<RecordReader<WhenFilterShape>>{}),
  };
};

struct SelectorShape {
  using value_type = Selector;
  static constexpr std::string_view name = "Selector";
  static constexpr auto fields =
      std::tuple{field("where", &Selector::where, RecordReader<RuleFilterShape>{})};
};

struct AppliesToShape {
  using value_type = AppliesTo;
  static constexpr std::string_view name = "AppliesTo";
  static constexpr auto fields =
      std::tuple{field("actions", &AppliesTo::actions, SequenceReader<TextReader>{})};
};

struct GovernanceRuleShape {
  using value_type = GovernanceRule;
  static constexpr std::string_view name = "GovernanceRule";
  static constexpr auto fields = std::tuple{
      field("id", &GovernanceRule::id, TextReader{}),
      field("applies_to", &GovernanceRule::applies_to,
            OptionalReader<RecordReader<AppliesToShape>>{}),
      field("select", &GovernanceRule::select, RecordReader<SelectorShape>{}),
      field("must", &GovernanceRule::must, ChoiceReader<ConstraintChoice>{}),
      field("error", &GovernanceRule::error, TextReader{}),
  };
};

struct GovernanceBlockShape {
  using value_type = GovernanceBlock;
  static constexpr std::string_view name = "GovernanceBlock";
  static constexpr auto fields = std::tuple{
      field("rules", &GovernanceBlock::rules, SequenceReader<RecordReader<GovernanceRuleShape>>{})};
};

struct GovernanceShape {
  using value_type = GovernanceAst;
  static constexpr std::string_view name = "GovernanceAst";
  static constexpr auto fields = std::tuple{
      field("version", &GovernanceAst::version, U32Reader{}),
      field("governance", &GovernanceAst::governance, RecordReader<GovernanceBlockShape>{}),
  };
};

}  // namespace

Result<GovernanceAst, LoadError> read_governance(ReadingContext& context, std::size_t index,
                                                 const PathStep& path) {
  return RecordReader<GovernanceShape>{}.read(context, index, path);
}

}  // namespace kavro::documents::detail
