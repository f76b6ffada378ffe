// The diagnostics report's error times: a message keeps the moment it first showed while it
// stays the same, a new message gets a new moment, and the last one of a kind outlives its
// clearing.

#include "app/error_moments.h"

#include <chrono>

#include <gtest/gtest.h>

namespace nimbra {
namespace {

Date at(int second) { return Date{} + std::chrono::seconds(second); }

TEST(ErrorMoments, KeepsWhenEachMessageFirstShowed) {
  struct Step {
    int second;
    std::optional<std::string> message;
    std::string expectedMessage;  // empty: nothing recorded yet
    int expectedSince;
    bool expectedCurrent;
  };
  const Step steps[] = {
      {1, std::nullopt, "", 0, false},
      {2, "", "", 0, false},
      {3, "disk full", "disk full", 3, true},
      {4, "disk full", "disk full", 3, true},          // the same message keeps its moment
      {5, "no permission", "no permission", 5, true},  // another one replaces it
      {6, std::nullopt, "no permission", 5, false},    // cleared, kept for the report
      {7, std::nullopt, "no permission", 5, false},
      {8, "no permission", "no permission", 8, true},  // shown again: a new moment
  };
  ErrorMoments moments;
  for (const Step& step : steps) {
    moments.note("storage", step.message, at(step.second));
    std::vector<ErrorMoments::Moment> all = moments.moments();
    if (step.expectedMessage.empty()) {
      EXPECT_TRUE(all.empty()) << "second " << step.second;
      continue;
    }
    ASSERT_EQ(all.size(), 1u) << "second " << step.second;
    EXPECT_EQ(all[0].message, step.expectedMessage) << "second " << step.second;
    EXPECT_EQ(all[0].since, at(step.expectedSince)) << "second " << step.second;
    EXPECT_EQ(all[0].current, step.expectedCurrent) << "second " << step.second;
  }
  moments.note("device", "open failed", at(9));
  ASSERT_EQ(moments.moments().size(), 2u);
  EXPECT_EQ(moments.moments()[1].kind, "device");
}

}  // namespace
}  // namespace nimbra
