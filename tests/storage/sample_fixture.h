#pragma once

#include "core/clock.h"
#include "core/dates.h"
#include "storage/device_store.h"
#include "storage/sample_codec.h"
#include "storage_fixture.h"

namespace nimbra::testing {

inline DeviceSample sampleAt(double observedAt, int64_t battery = 80) {
  DeviceSample sample;
  sample.observedAt = observedAt;
  sample.battery = battery;
  sample.voltageADC = 3987;
  sample.firmware = "v1.2.3";
  sample.settings = {{"light", true}, {"flex", false}, {"lock", false}};
  return sample;
}

inline std::vector<double> timesOf(const std::vector<DeviceSample>& samples) {
  std::vector<double> times;
  for (const DeviceSample& sample : samples) times.push_back(sample.observedAt);
  return times;
}

constexpr char kDeviceKey[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

class SampleStoreTest : public StorageTest {
 protected:
  static constexpr double kDay = 86400.0;

  DeviceStore openStore() {
    auto store = DeviceStore::open(storage(), clock_);
    EXPECT_OK(store);
    return std::move(store).value();
  }
  fs::path deviceDir() {
    return dataDir() / "DeviceSamples" / (std::string("iqos-m0033-usb-hid-") + kDeviceKey);
  }
  fs::path dayFile(int64_t day) { return deviceDir() / (std::to_string(day) + ".json"); }
  std::string plaintextOf(const fs::path& file) {
    auto text = freshProcess().readSealed(file);
    EXPECT_OK(text) << file;
    return text.ok() ? *text : std::string();
  }
  std::vector<DeviceSample> samplesIn(const fs::path& file) {
    return nlohmann::json::parse(plaintextOf(file)).get<std::vector<DeviceSample>>();
  }
  void setToday(int64_t day, double secondsIntoDay = 43200) {
    clock_.set(dateFromSecondsSince1970(static_cast<double>(day) * kDay + secondsIntoDay));
  }

  DeviceProfile profile_ = DeviceProfile::iqosIlumaOne();
  FakeClock clock_;
};

}  // namespace nimbra::testing
