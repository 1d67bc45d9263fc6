// The cost model that picks how a batch's rows are decided: which way it
// takes before, while and after measuring.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <vector>

#include "columnar/path_choice.h"

namespace kavro::columnar::detail {
namespace {

using Way = PathChoice::Way;

// One step: record a chunk of `rows` that took `nanoseconds` per row the
// given way (when `nanoseconds` > 0), or ask for the way of `rows` rows.
struct Step {
  std::size_t rows;
  Way way;
  double nanoseconds = 0;
  bool timed = true;
};

struct ChoiceCase {
  const char* name;
  std::vector<Step> steps;
};

class PathChoices : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(PathChoices, FollowTheMeasurements) {
  PathChoice choice;
  int index = 0;
  for (const Step& step : GetParam().steps) {
    if (step.nanoseconds > 0) {
      choice.record(step.way, step.rows,
                    std::chrono::nanoseconds(static_cast<long>(step.nanoseconds * step.rows)));
    } else {
      bool timed = false;
      EXPECT_EQ(choice.choose(step.rows, timed), step.way) << "step " << index;
      EXPECT_EQ(timed, step.timed) << "step " << index;
    }
    ++index;
  }
}

constexpr std::size_t kFew = PathChoice::kTimedRows - 1;
constexpr std::size_t kMany = 1024;

INSTANTIATE_TEST_SUITE_P(Columnar, PathChoices,
                         ::testing::Values(
                             // Nothing to set up row by row: few rows go that way, untimed.
                             ChoiceCase{"few_rows_before_measuring", {{kFew, Way::Rows, 0, false}}},
                             ChoiceCase{"both_ways_measured_first",
                                        {{kMany, Way::Columns},
                                         {kMany, Way::Columns, 50},
                                         {kMany, Way::Rows},
                                         {kMany, Way::Rows, 80},
                                         {kMany, Way::Columns},
                                         {kFew, Way::Columns, 0, false}}},
                             ChoiceCase{"rows_cheaper",
                                        {{kMany, Way::Columns, 90},
                                         {kMany, Way::Rows, 30},
                                         {kMany, Way::Rows},
                                         {kFew, Way::Rows, 0, false}}},
                             // A chunk during which the thread lost its core moves the average
                             // by at most a factor of two: 40 then 4000 averages to 80, not 1030.
                             ChoiceCase{"one_slow_sample_is_bounded",
                                        {{kMany, Way::Columns, 40},
                                         {kMany, Way::Rows, 100},
                                         {kMany, Way::Columns, 4000},
                                         {kMany, Way::Columns}}},
                             // The data changed: the dearer way, retried, is now cheaper.
                             ChoiceCase{"averages_follow_new_costs",
                                        {{kMany, Way::Columns, 40},
                                         {kMany, Way::Rows, 60},
                                         {kMany, Way::Columns, 100},
                                         {kMany, Way::Columns, 100},
                                         {kMany, Way::Columns, 100},
                                         {kMany, Way::Rows}}}),
                         [](const ::testing::TestParamInfo<ChoiceCase>& info) {
                           return info.param.name;
                         });

TEST(Columnar, PathChoiceRetriesTheDearerWayNowAndThen) {
  PathChoice choice;
  choice.record(Way::Columns, kMany, std::chrono::nanoseconds(10 * kMany));
  choice.record(Way::Rows, kMany, std::chrono::nanoseconds(20 * kMany));
  std::size_t dearer = 0;
  for (std::uint32_t turn = 0; turn < 4 * PathChoice::kRetry; ++turn) {
    bool timed = false;
    dearer += choice.choose(kMany, timed) == Way::Rows ? 1 : 0;
  }
  EXPECT_EQ(dearer, 4U);
}

}  // namespace
}  // namespace kavro::columnar::detail
