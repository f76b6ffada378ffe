#include <gtest/gtest.h>

#include "sample_fixture.h"

namespace nimbra::testing {
namespace {

// A firmware or engine text that is not UTF-8 used to throw from the encoder after the
// cached day had been extended; the next append then wrote a day file that never read again.
TEST_F(SampleStoreTest, TextsThatAreNotUtf8AreStoredRepairedAndTheDayStaysReadable) {
  setToday(20000);
  DeviceStore store = openStore();
  DeviceSample broken = sampleAt(20000 * kDay + 1);
  broken.firmware = "v1.\xff";
  broken.engine = "E\xc3";
  broken.settings = {{"li\xe2\x82ght", true}};
  ASSERT_OK(store.append(broken, profile_, kDeviceKey));
  ASSERT_OK(store.append(sampleAt(20000 * kDay + 2), profile_, kDeviceKey));

  std::vector<DeviceSample> stored = samplesIn(dayFile(20000));
  ASSERT_EQ(timesOf(stored), (std::vector<double>{20000 * kDay + 1, 20000 * kDay + 2}));
  EXPECT_EQ(stored[0].firmware, "v1.\xEF\xBF\xBD");
  EXPECT_EQ(stored[0].engine, "E\xEF\xBF\xBD");
  EXPECT_TRUE(stored[0].settings.contains("li\xEF\xBF\xBDght"));

  DeviceStore reopened = openStore();
  auto recent = reopened.recent(profile_, kDeviceKey);
  ASSERT_OK(recent);
  EXPECT_EQ(recent->size(), 2u);
}

}  // namespace
}  // namespace nimbra::testing
