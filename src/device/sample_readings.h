#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "device/readings.h"

namespace nimbra {

// What one status read says about the device's use and battery, taken from the rows a
// sample is made of. A row counts only when it was read successfully; its bytes are its raw
// hex text, multi-byte values little-endian:
//   (129, hop 1)  the raw text is the live status code of the use session
//   (385, hop 0)  A: charge byte 2 (at most 100), voltage ADC bytes 0-1, temperature byte 3,
//                 when A has at least 4 bytes
//   (128, hop 0)  B: calibration bytes 2-3, when B has exactly 24 bytes
//   (134, hop 1)  C: process count bytes 0-1, cumulative puff count bytes 10-13, when C has
//                 exactly 24 bytes
//   (0, hop 0/1)  firmware and engine: the formatted value up to the first " · "
struct SampleReadings {
  // What a battery estimate is asked from: only a plausible charge, voltage and calibration.
  struct BatteryInput {
    int64_t charge = 0;
    int64_t adc = 0;
    int64_t calibration = 0;
    bool operator==(const BatteryInput&) const = default;
  };

  std::optional<std::string> sessionCode;
  std::optional<int64_t> battery;
  std::optional<int64_t> voltageADC;
  std::optional<int64_t> temperatureRaw;
  std::optional<int64_t> processCount;
  std::optional<int64_t> cumulativePuffCount;
  std::optional<std::string> firmware;
  std::optional<std::string> engine;
  // Present when A has a charge of at most 100 and a voltage other than 0, and B's
  // calibration lies between 1 and 255.
  std::optional<BatteryInput> batteryInput;

  bool operator==(const SampleReadings&) const = default;
};

// Pure; any thread.
SampleReadings decodeSampleReadings(std::span<const Reading> rows);

}  // namespace nimbra
