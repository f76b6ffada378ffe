#include "device/sample_readings.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nimbra {
namespace {

// A good row as the status read leaves it: raw hex text of the payload.
Reading row(int module, int command, std::string raw, std::string value = "") {
  Reading reading;
  reading.module = module;
  reading.command = command;
  reading.raw = std::move(raw);
  reading.value = std::move(value);
  reading.ok = true;
  return reading;
}

// Record C (134, hop 1): process count 7 in bytes 0-1, cumulative puffs 300 in bytes 10-13.
constexpr char kCounters[] = "070000000000000000002c01000000000000000000000000";
// Record B (128, hop 0) with the calibration value 100 in bytes 2-3.
constexpr char kCalibration100[] = "000064000000000000000000000000000000000000000000";

TEST(SampleReadings, DocumentedBatteryRowGivesChargeVoltageAndTemperature) {
  // "a battery payload 6E 0F 57 19 shows battery 87, voltage raw value 3950 and temperature
  // raw value 25"
  SampleReadings readings = decodeSampleReadings(std::vector<Reading>{row(0, 385, "6e0f5719")});
  EXPECT_EQ(readings.battery, 87);
  EXPECT_EQ(readings.voltageADC, 3950);
  EXPECT_EQ(readings.temperatureRaw, 25);
  EXPECT_FALSE(readings.batteryInput) << "no calibration row";
}

TEST(SampleReadings, EachRowIsTakenOnlyWithItsLength) {
  struct Case {
    const char* name;
    std::vector<Reading> rows;
    std::function<void(SampleReadings&)> expected;  // what differs from nothing decoded
  };
  const Case cases[] = {
      {"battery row of 3 bytes", {row(0, 385, "6e0f57")}, [](SampleReadings&) {}},
      {"charge 100 is a charge",
       {row(0, 385, "6e0f6419")},
       [](SampleReadings& r) { r.battery = 100, r.voltageADC = 3950, r.temperatureRaw = 25; }},
      {"charge 101 is not, the rest stays",
       {row(0, 385, "6e0f6519")},
       [](SampleReadings& r) { r.voltageADC = 3950, r.temperatureRaw = 25; }},
      {"record C of 24 bytes",
       {row(1, 134, kCounters)},
       [](SampleReadings& r) { r.processCount = 7, r.cumulativePuffCount = 300; }},
      {"record C of 8 bytes", {row(1, 134, "050000002c010000")}, [](SampleReadings&) {}},
      {"record C from the wrong hop", {row(0, 134, kCounters)}, [](SampleReadings&) {}},
      {"session code from hop 1",
       {row(1, 129, "0542ff7f")},
       [](SampleReadings& r) { r.sessionCode = "0542ff7f"; }},
      {"status of hop 0 is no session code", {row(0, 129, "01000000")}, [](SampleReadings&) {}},
      {"versions up to the first separator",
       {row(0, 0, "", "150.6.1 · 构建 291 · App 1"), row(1, 0, "", "102.6.0")},
       [](SampleReadings& r) { r.firmware = "150.6.1", r.engine = "102.6.0"; }},
  };
  for (const Case& c : cases) {
    SampleReadings expected;
    c.expected(expected);
    EXPECT_EQ(decodeSampleReadings(c.rows), expected) << c.name;
  }
}

TEST(SampleReadings, BatteryInputNeedsChargeVoltageAndCalibrationInRange) {
  struct Case {
    const char* battery;
    const char* calibration;
    bool asked;
  };
  const Case cases[] = {
      {"6e0f5719", kCalibration100, true},
      {"6e0f5719", "0000ff000000000000000000000000000000000000000000", true},   // 255
      {"6e0f5719", "000000000000000000000000000000000000000000000000", false},  // 0
      {"6e0f5719", "000000010000000000000000000000000000000000000000", false},  // 256
      {"6e0f5719", "00006400000000000000", false},  // B shorter than 24 bytes
      {"6e0f6519", kCalibration100, false},         // charge 101
      {"00005719", kCalibration100, false},         // voltage 0
  };
  for (const Case& c : cases) {
    std::vector<Reading> rows{row(0, 385, c.battery), row(0, 128, c.calibration)};
    std::optional<SampleReadings::BatteryInput> input = decodeSampleReadings(rows).batteryInput;
    EXPECT_EQ(input.has_value(), c.asked) << c.battery << " " << c.calibration;
  }
  std::vector<Reading> rows{row(0, 385, "6e0f5719"), row(0, 128, kCalibration100)};
  EXPECT_EQ(decodeSampleReadings(rows).batteryInput,
            (SampleReadings::BatteryInput{.charge = 87, .adc = 3950, .calibration = 100}));
}

TEST(SampleReadings, FailedRowsAreIgnored) {
  Reading failed = row(0, 385, "02000000");
  failed.ok = false;
  EXPECT_EQ(decodeSampleReadings(std::vector<Reading>{failed}), SampleReadings{});
}

}  // namespace
}  // namespace nimbra
