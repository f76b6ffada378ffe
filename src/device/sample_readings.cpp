#include "device/sample_readings.h"

#include <vector>

#include "core/hex.h"

namespace nimbra {
namespace {

constexpr size_t kBatteryMinimum = 4;
constexpr size_t kRecordLength = 24;
constexpr int64_t kFullCharge = 100;

const Reading* findRow(std::span<const Reading> rows, int command, int module) {
  for (const Reading& row : rows) {
    if (row.ok && row.command == command && row.module == module) return &row;
  }
  return nullptr;
}

std::vector<uint8_t> rawBytes(const Reading* row) {
  if (!row) return {};
  return parseHex(row->raw).value_or(std::vector<uint8_t>{});
}

int64_t littleEndian(std::span<const uint8_t> bytes, size_t at, size_t count) {
  int64_t value = 0;
  for (size_t i = 0; i < count; ++i) value |= int64_t{bytes[at + i]} << (8 * i);
  return value;
}

std::optional<std::string> leadingText(const Reading* row) {
  if (!row) return std::nullopt;
  return row->value.substr(0, row->value.find(" · "));
}

}  // namespace

SampleReadings decodeSampleReadings(std::span<const Reading> rows) {
  SampleReadings readings;
  if (const Reading* status = findRow(rows, 129, 1)) readings.sessionCode = status->raw;

  std::vector<uint8_t> battery = rawBytes(findRow(rows, 385, 0));
  if (battery.size() >= kBatteryMinimum) {
    if (battery[2] <= kFullCharge) readings.battery = battery[2];
    readings.voltageADC = littleEndian(battery, 0, 2);
    readings.temperatureRaw = battery[3];
  }
  std::vector<uint8_t> counters = rawBytes(findRow(rows, 134, 1));
  if (counters.size() == kRecordLength) {
    readings.processCount = littleEndian(counters, 0, 2);
    readings.cumulativePuffCount = littleEndian(counters, 10, 4);
  }
  readings.firmware = leadingText(findRow(rows, 0, 0));
  readings.engine = leadingText(findRow(rows, 0, 1));

  std::vector<uint8_t> calibration = rawBytes(findRow(rows, 128, 0));
  if (readings.battery && readings.voltageADC != 0 && calibration.size() == kRecordLength) {
    int64_t value = littleEndian(calibration, 2, 2);
    if (value >= 1 && value <= 255) {
      readings.batteryInput = SampleReadings::BatteryInput{
          .charge = *readings.battery, .adc = *readings.voltageADC, .calibration = value};
    }
  }
  return readings;
}

}  // namespace nimbra
