#pragma once

// Fixture for the history analysis and sample flows: the controller fixture with a loopback
// server answering the analysis and battery endpoints, and a peer that reads and drives the
// controller's private state.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/controller.h"
#include "app/controller_fixture.h"
#include "core/sha256.h"
#include "server/battery_estimate.h"
#include "server/history_analysis.h"
#include "support/test_http_server.h"

namespace nimbra {

class ControllerPeer {
 public:
  static bool historyNeedsAnalysis(const Controller& c) { return c.history_.needsAnalysis(); }
  static bool retryScheduled(const Controller& c) { return c.history_.retryScheduled(); }
  static const std::optional<std::vector<uint8_t>>& analyzedCatalog(const Controller& c) {
    return c.history_.analyzedCatalog();
  }
  static const std::optional<std::vector<HistoryObservation>>& observations(const Controller& c) {
    return c.history_.observations();
  }
  static const std::optional<HistoryAPI::BatteryInput>& batteryInput(const Controller& c) {
    return c.battery_.batteryInput();
  }
  static const std::optional<Date>& uploadedDeviceAt(const Controller& c) {
    return c.samples_.uploadedDeviceAt();
  }
  static const std::optional<DeviceSample>& lastSample(const Controller& c) {
    return c.samples_.lastSample();
  }
  static const Uuid& connectionId(const Controller& c) { return c.connectionId_; }
  static bool readOnce(const Controller& c) { return c.connection_.readOnce(); }
  static void refreshArchive(Controller& c) { c.history_.refreshArchive(c.deviceKey()); }
  static void reportDevice(Controller& c) {
    c.samples_.reportDevice(c.deviceKey(), c.connectionId_, c.paused_);
  }
  static void historyReadFinished(Controller& c, const std::string& serial,
                                  const HistoryOutcome& outcome, const Uuid& connection) {
    c.history_.historyReadFinished(serial, outcome, connection);
  }
};

namespace testing {

// A format 18 record of directory 0, the kind the analysis server reads.
inline std::vector<uint8_t> analysableEntry(uint32_t position, uint8_t seed = 0) {
  return sim::makeHistoryEntry(0x80 | HistoryArchive::kAnalysableFormat, 40,
                               static_cast<uint8_t>(position + seed));
}

// The default device with `count` analysable records at positions 0 .. count-1.
inline sim::SimulatedDeviceState withHistory(uint32_t count) {
  sim::SimulatedDeviceState device = sim::ilumaOne(ControllerTest::kSerial);
  device.history.records[0] = {0, 0, count};
  for (uint32_t position = 0; position < count; ++position) {
    device.history.entries[{0, position}] = analysableEntry(position);
  }
  return device;
}

class FlowTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    analysisEndpoint_ = {server_.baseUrl(), std::chrono::seconds(5)};
  }
  void TearDown() override {
    ControllerTest::TearDown();
    server_.stop();
  }

  // The records of each analysis request the server received, in order.
  std::vector<nlohmann::json> analysisRequests() const {
    std::vector<nlohmann::json> batches;
    for (const test::HttpRequest& request : server_.requests()) {
      if (request.target.ends_with(HistoryAPI::kAnalyzePath)) {
        batches.push_back(nlohmann::json::parse(request.body)["records"]);
      }
    }
    return batches;
  }
  std::vector<nlohmann::json> batteryRequests() const {
    std::vector<nlohmann::json> bodies;
    for (const test::HttpRequest& request : server_.requests()) {
      if (request.target.ends_with(HistoryAPI::kBatteryPath)) {
        bodies.push_back(nlohmann::json::parse(request.body));
      }
    }
    return bodies;
  }

  std::string archiveKey() const { return sha256Hex(kSerial); }
  std::filesystem::path archiveFile() {
    return *LocalStorage(base_, cache_).localDirectory() / HistoryArchive::fileName(archiveKey());
  }
  HistoryArchive archive() { return HistoryArchive(storage(), clock_); }

  std::atomic<int> analysisStatus_ = 200;
  std::atomic<int> batteryStatus_ = 200;
  std::atomic<int> predictedUses_ = 12;
  // While set, battery requests get no answer (the server's connection thread waits).
  std::atomic<bool> holdBattery_ = false;

 private:
  // One observation per record sent, at its position, so duplicates come back twice.
  test::HttpReply answer(const test::HttpRequest& request) {
    nlohmann::json body = nlohmann::json::parse(request.body);
    if (request.target.ends_with(HistoryAPI::kBatteryPath)) {
      while (holdBattery_) std::this_thread::yield();
      if (batteryStatus_ != 200) return test::HttpReply::withStatus(batteryStatus_);
      return test::HttpReply::ok(nlohmann::json{
          {"schemaVersion", 1}, {"voltage", 3.9}, {"predictedUses", predictedUses_.load()}}
                                     .dump());
    }
    if (analysisStatus_ != 200) return test::HttpReply::withStatus(analysisStatus_);
    nlohmann::json observations = nlohmann::json::array();
    for (const nlohmann::json& record : body["records"]) {
      observations.push_back({{"position", record["position"]},
                              {"candidateTime", "2026-12-01T08:00:00Z"},
                              {"tailEntries", 0},
                              {"kind", "stick"}});
    }
    return test::HttpReply::ok(
        nlohmann::json{{"schemaVersion", 1}, {"observations", observations}}.dump());
  }

  test::TestHttpServer server_{
      [this](const test::HttpRequest& request) { return answer(request); }};

 protected:
  const test::TestHttpServer& server() const { return server_; }
};

}  // namespace testing
}  // namespace nimbra
