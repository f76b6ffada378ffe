// What the status read sends and decides, pinned to the device's own texts: the command order
// within each hop, the read selectors, the power-hint rule, and when a read runs in the
// background.

#include <gtest/gtest.h>

#include "device/model_status_read.h"
#include "devicelink/iqos_device.h"
#include "model_fixture.h"

namespace nimbra {
namespace {

using testing::ModelTest;

std::pair<int, int> hopAndCommand(const std::vector<uint8_t>& frame) {
  return {static_cast<int>(iqos::hopOfAddress(frame[2])),
          static_cast<int>(iqos::commandKey(frame[3], frame[4]))};
}

TEST_F(ModelTest, StatusCommandsGoOutInTheirOrderHopZeroThenHopOne) {
  auto device = connected();
  ASSERT_GE(device->frameLog.size(), 10u);
  std::vector<std::pair<int, int>> sent;
  for (std::size_t i = 0; i < 10; ++i) sent.push_back(hopAndCommand(device->frameLog[i].bytes));
  EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{{0, 0},
                                                    {0, 1},
                                                    {0, 128},
                                                    {0, 129},
                                                    {0, 130},
                                                    {0, 385},
                                                    {1, 0},
                                                    {1, 129},
                                                    {1, 130},
                                                    {1, 134}}));
}

// The simulator answers a setting read only with the selector the device expects, so a read
// with another selector leaves the value unknown.
TEST_F(ModelTest, FlexAndAutostartAreReadWithTheirSelectors) {
  auto device = connected();
  auto frames = framesFrom(*device);
  ASSERT_GE(frames.size(), 13u);
  EXPECT_EQ(frames[10], "3f04c00024fc");          // light, no selector
  EXPECT_EQ(frames[11], "3f08c905220300000017");  // flex: selector 03 00 00 00, hop 1
  EXPECT_EQ(frames[12], "3f08c007240100000022");  // autostart: selector 01 00 00 00
  EXPECT_TRUE(model().values().contains("flex"));
  EXPECT_TRUE(model().values().contains("auto"));
}

TEST_F(ModelTest, AutomaticReadIsInTheBackgroundOnlyAfterAGoodRead) {
  plugIn();
  model().refresh(true);
  EXPECT_FALSE(model().backgroundReading()) << "no good read yet";
  settle();
  ASSERT_TRUE(model().updated());
  model().refresh(true);
  EXPECT_TRUE(model().backgroundReading());
  settle();
  EXPECT_FALSE(model().backgroundReading());
  model().refresh(false);
  EXPECT_FALSE(model().backgroundReading());
  settle();
}

class PowerHint : public ::testing::Test {
 protected:
  static Reading refused(int hop, int command, const std::string& payload = "02000000") {
    Error error{"IQOSDevice", 2, "设备返回应用错误：" + payload, {{"payload", payload}}};
    return errorReading(error, hop, command, "x");
  }
  static std::vector<Reading> identity() {
    const std::vector<uint8_t> bytes{0x01};
    return {successReading(0, 0, bytes), successReading(0, 1, bytes)};
  }
  static bool hint(std::vector<Reading> extra) {
    std::vector<Reading> rows = identity();
    rows.insert(rows.end(), extra.begin(), extra.end());
    return powerHintApplies(rows);
  }
};

// Battery (0/385) and system state (0/129) refused, with at least two more of calibration
// (0/128), light (0/144), flex (1/137) and autostart (0/147), each with exactly 02000000.
TEST_F(PowerHint, CountsOnlyTheSixProbesRefusedWithExactly02000000) {
  EXPECT_TRUE(hint({refused(0, 385), refused(0, 129), refused(0, 128), refused(0, 144)}));
  EXPECT_TRUE(hint({refused(0, 385), refused(0, 129), refused(1, 137), refused(0, 147)}));
  EXPECT_FALSE(
      hint({refused(0, 385), refused(0, 129), refused(0, 128), refused(0, 144, "02000001")}));
  EXPECT_FALSE(
      hint({refused(0, 385), refused(0, 129), refused(0, 128), refused(0, 144, "03000000")}));
  EXPECT_FALSE(hint({refused(0, 385), refused(0, 129), refused(0, 128), refused(0, 130)}))
      << "0/130 is not a probe";
  EXPECT_FALSE(hint({refused(0, 385), refused(0, 129), refused(0, 128), refused(1, 147)}))
      << "autostart counts on hop 0 only";
  EXPECT_FALSE(hint({refused(0, 385), refused(0, 128), refused(0, 144), refused(0, 147)}))
      << "system state must be among them";
  EXPECT_FALSE(hint({refused(0, 129), refused(0, 128), refused(0, 144), refused(0, 147)}))
      << "battery must be among them";
  EXPECT_FALSE(hint({refused(0, 385, "02000001"), refused(0, 129), refused(0, 128), refused(0, 144),
                     refused(0, 147)}));
}

TEST_F(PowerHint, NeedsBothIdentityReadsOnHopZero) {
  const std::vector<uint8_t> bytes{0x01};
  std::vector<Reading> rows{successReading(0, 0, bytes), refused(0, 385), refused(0, 129),
                            refused(0, 128), refused(0, 144)};
  EXPECT_FALSE(powerHintApplies(rows));
}

}  // namespace
}  // namespace nimbra
