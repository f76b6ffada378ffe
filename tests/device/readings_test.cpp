#include "device/readings.h"

#include <cstdlib>
#include <ctime>
#include <set>

#include <gtest/gtest.h>

#include "device/exchange.h"

namespace nimbra {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSoftware{0x01, 0x00, 0x02, 0x04, 0x01, 0x23, 0x01,
                      0x03, 0x01, 0x00, 0x05, 0x02, 0x01, 0x07};

TEST(FormatValue, SoftwareNeedsFourteenBytes) {
  EXPECT_EQ(formatValue(0, kSoftware),
            "2.4.1 · 构建 291 · App 1 · 公共参数 3/1.0 · 应用参数 5/2.1 · SBL 7");
  EXPECT_EQ(formatValue(0, Bytes(kSoftware.begin(), kSoftware.end() - 1)),
            "01000204012301030100050201");
}

TEST(FormatValue, ModuleSerialNeedsTenBytes) {
  const Bytes serial{0x12, 0x00, 0x34, 0x00, 0xAB, 0x00, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(formatValue(1, serial), "0x0012003400AB12345678");
  EXPECT_EQ(formatValue(1, Bytes(serial.begin(), serial.end() - 1)), "12003400ab00785634");
}

TEST(FormatValue, StartDateNeedsFourBytes) {
  EXPECT_EQ(formatValue(3, Bytes{0xE8, 0x07, 0x05, 0x1F}), "2024-5-31");
  EXPECT_EQ(formatValue(3, Bytes{0xE8, 0x07, 0x05}), "e80705");
}

class DeviceClock : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    setenv("TZ", "CST-8", 1);  // UTC+8 without daylight saving
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

TEST_F(DeviceClock, ShortPayloadShowsTheDeviceEpochInLocalTime) {
  // 2010-01-01 00:00:00 UTC is 08:00 in UTC+8; the "C" locale's numeric date is mm/dd/yy.
  EXPECT_EQ(formatValue(4, Bytes{0x01, 0x02}), "01/01/10 08:00:00");
}

TEST_F(DeviceClock, CountsSecondsFrom2010) {
  EXPECT_EQ(formatValue(4, Bytes{0x80, 0x51, 0x01, 0x00}), "01/02/10 08:00:00");  // 86,400 s
}

TEST(FormatValue, RawFieldsAreLittleEndianCounts) {
  for (int command : {7, 130, 132}) {
    EXPECT_EQ(formatValue(command, Bytes{0x01, 0x02, 0x00, 0x00}), "513（原始字段）");
    EXPECT_EQ(formatValue(command, Bytes{0x01, 0x02}), "0（原始字段）");
  }
}

TEST(FormatValue, CodentifyDropsZeroBytesAndFallsBackToHex) {
  EXPECT_EQ(formatValue(12, Bytes{0x41, 0x00, 0x42}), "AB");
  EXPECT_EQ(formatValue(12, Bytes{0xE4, 0xB8, 0xAD}), "中");
  EXPECT_EQ(formatValue(12, Bytes{0xFF, 0x41}), "ff41");
  EXPECT_EQ(formatValue(12, Bytes{0xE4, 0xB8}), "e4b8");          // cut sequence
  EXPECT_EQ(formatValue(12, Bytes{0xC0, 0x80}), "c080");          // overlong
  EXPECT_EQ(formatValue(12, Bytes{0xED, 0xA0, 0x80}), "eda080");  // surrogate
}

TEST(FormatValue, BatteryNeedsFourBytes) {
  EXPECT_EQ(formatValue(385, Bytes{0x6E, 0x0F, 0x57, 0x19}),
            "87% · 电压原始值 3950 · 温度原始值 25");
  EXPECT_EQ(formatValue(385, Bytes{0x6E, 0x0F, 0x57}), "6e0f57");
}

TEST(FormatValue, OtherCommandsShowHex) {
  EXPECT_EQ(formatValue(129, Bytes{0x01, 0x00, 0xAB, 0x00}), "0100ab00");
  EXPECT_EQ(formatValue(134, Bytes{}), "");
}

TEST(ReadingName, EveryStatusReadHasANameAndTheTableIsUnique) {
  std::set<int> commands;
  for (const auto& entry : kReadingNames) commands.insert(entry.command);
  EXPECT_EQ(commands.size(), 21u);
  for (const auto& read : kStatusReads) EXPECT_FALSE(readingName(read.command).empty());
  EXPECT_EQ(readingName(385), "电池状态");
  EXPECT_EQ(readingName(12), "Codentify");
  EXPECT_EQ(readingName(2), "");
}

TEST(Readings, SuccessRowCarriesFormattedValueAndRawHex) {
  const Reading row = successReading(0, 385, Bytes{0x6E, 0x0F, 0x57, 0x19});
  EXPECT_TRUE(row.ok);
  EXPECT_EQ(row.module, 0);
  EXPECT_EQ(row.name, "电池状态");
  EXPECT_EQ(row.raw, "6e0f5719");
  EXPECT_FALSE(row.applicationError);
  EXPECT_NE(row.id, successReading(0, 385, Bytes{}).id);
}

TEST(Readings, ErrorRowKeepsOnlyAnApplicationErrorsPayload) {
  Error applicationError = Error::make("IQOSDevice", 2, "设备返回应用错误：02000000");
  applicationError.userInfo["payload"] = "02000000";
  const Reading failed = errorReading(applicationError, 1, 134, "记录 86");
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.module, 1);
  EXPECT_EQ(failed.value, "设备返回应用错误：02000000");
  EXPECT_EQ(failed.raw, "02000000");
  EXPECT_EQ(failed.applicationError, "02000000");

  const Reading timedOut = errorReading(transferError(-3), 0, 0, "软件标识");
  EXPECT_EQ(timedOut.value, "设备响应超时，请退出官方 IQOS 程序后重试");
  EXPECT_EQ(timedOut.raw, "");
  EXPECT_FALSE(timedOut.applicationError);
}

}  // namespace
}  // namespace nimbra
