#include "platform/gtk/state_delivery.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nimbra {
namespace {

// One step a test takes and the state that should go out after it ("" for none).
struct Step {
  enum Kind { kPush, kShow, kHide, kLoad, kFailLast } kind;
  std::string state;
  std::string delivered;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class StateDeliveryTest : public ::testing::TestWithParam<Case> {};

TEST_P(StateDeliveryTest, DeliversWhatThePageHasNotSeen) {
  StateDelivery delivery;
  uint64_t lastId = 0;
  int index = 0;
  for (const Step& step : GetParam().steps) {
    std::optional<StateDelivery::Delivery> out;
    switch (step.kind) {
      case Step::kPush:
        out = delivery.push(step.state);
        break;
      case Step::kShow:
        out = delivery.setVisible(true);
        break;
      case Step::kHide:
        out = delivery.setVisible(false);
        break;
      case Step::kLoad:
        delivery.pageLoaded();
        break;
      case Step::kFailLast:
        delivery.failed(lastId);
        break;
    }
    if (out) {
      EXPECT_GT(out->id, lastId) << "step " << index;
      lastId = out->id;
    }
    EXPECT_EQ(out ? out->stateJSON : "", step.delivered) << "step " << index;
    ++index;
  }
}

using S = Step;
INSTANTIATE_TEST_SUITE_P(
    Cases, StateDeliveryTest,
    ::testing::Values(Case{"RepeatsAreDropped",
                           {{S::kPush, "a", "a"},
                            {S::kPush, "a", ""},
                            {S::kPush, "b", "b"},
                            {S::kPush, "a", "a"},
                            {S::kPush, "a", ""}}},
                      Case{"HiddenWindowGetsTheLatestWhenShown",
                           {{S::kPush, "a", "a"},
                            {S::kHide, "", ""},
                            {S::kPush, "b", ""},
                            {S::kPush, "c", ""},
                            {S::kShow, "", "c"},
                            {S::kShow, "", ""}}},
                      Case{"HiddenAndBackToTheSameStateSendsNothing",
                           {{S::kPush, "a", "a"},
                            {S::kHide, "", ""},
                            {S::kPush, "b", ""},
                            {S::kPush, "a", ""},
                            {S::kShow, "", ""}}},
                      Case{"NothingBeforeTheFirstShow",
                           {{S::kHide, "", ""}, {S::kPush, "a", ""}, {S::kShow, "", "a"}}},
                      Case{"ANewDocumentGetsTheSameStateAgain",
                           {{S::kPush, "a", "a"}, {S::kLoad, "", ""}, {S::kPush, "a", "a"}}},
                      Case{"AFailedDeliveryIsMadeAgain",
                           {{S::kPush, "a", "a"}, {S::kFailLast, "", ""}, {S::kPush, "a", "a"}}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The failure of an earlier delivery, reported after a newer one went out, changes nothing.
TEST(StateDelivery, ALateFailureOfAnOlderDeliveryIsIgnored) {
  StateDelivery delivery;
  auto first = delivery.push("a");
  ASSERT_TRUE(first);
  ASSERT_TRUE(delivery.push("b"));
  delivery.failed(first->id);
  EXPECT_FALSE(delivery.push("b"));
}

// The counts the resident-cost measurement reads: every push, the pushes that differ from the
// one before (hidden or not), and what reached the page.
TEST(StateDelivery, CountsPushesChangesAndDeliveries) {
  StateDelivery delivery;
  for (const char* state : {"a", "a", "b"}) (void)delivery.push(state);
  (void)delivery.setVisible(false);
  for (const char* state : {"c", "c", "b"}) (void)delivery.push(state);
  (void)delivery.setVisible(true);
  EXPECT_EQ(delivery.counts().pushed, 6u);
  EXPECT_EQ(delivery.counts().changed, 4u);    // a, b, c, b
  EXPECT_EQ(delivery.counts().delivered, 2u);  // a, b (the last b was the page's already)
}

}  // namespace
}  // namespace nimbra
