#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/dates.h"
#include "core/manual_main_queue.h"
#include "storage/key_cache.h"
#include "support/result_assertions.h"
#include "support/temporary_folder.h"
#include "support/test_http_server.h"
#include "telemetry/telemetry.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using test::HttpReply;
using test::HttpRequest;
using test::TestHttpServer;

Telemetry::Event queued(const std::string& kind, const Uuid& installId) {
  Telemetry::Event event;
  event.id = Uuid::random();
  event.installId = installId;
  event.sessionId = Uuid::random();
  event.occurredAt = 1714536000;
  event.kind = kind;
  event.language = "en";
  event.os = "Linux Test";
  event.appBuild = "1";
  return event;
}

// Telemetry against the loopback server, in a fresh application-support directory.
class TelemetryUploadTest : public ::testing::Test {
 protected:
  TelemetryUploadTest()
      : server_([this](const HttpRequest&) {
          std::lock_guard lock(mutex_);
          return reply_;
        }) {}

  void TearDown() override {
    telemetry_.reset();
    EXPECT_TRUE(queue_.runUntil([] { return HistoryAPI::callsInFlight() == 0; }));
  }

  Telemetry& make(bool enabled = true) {
    telemetry_ = std::make_unique<Telemetry>(Telemetry::Seams{
        .queue = queue_,
        .clock = clock_,
        .uptime = [this] { return uptime_; },
        .installationId = [this] { return installation_; },
        .isApplicationActive = {},
        .storage = LocalStorage(base_, cache_),
        .endpoint = {server_.baseUrl(), seconds(5)},
        .os = "Linux Debian GNU/Linux 12",
        .appBuild = "42",
        .appVersion = "1.2.3",
        .enabled = enabled,
    });
    return *telemetry_;
  }

  void answerWith(HttpReply reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
  }
  // One flush that starts an upload, run to its completion. False when none started.
  bool upload(Telemetry& telemetry) {
    telemetry.flush();
    if (!telemetry.isUploading()) return false;
    EXPECT_TRUE(queue_.runUntil([&] { return !telemetry.isUploading(); }));
    return true;
  }
  void seed(const std::vector<Telemetry::Event>& events) {
    ASSERT_OK(TelemetryOutbox(LocalStorage(base_, cache_)).save(events));
  }
  nlohmann::json sentBody(size_t index) {
    return nlohmann::json::parse(server_.requests().at(index).body);
  }

  std::mutex mutex_;
  HttpReply reply_ = HttpReply::ok("{}");
  TestHttpServer server_;
  testing::TemporaryFolder folder_{"nimbra-upload-test"};
  fs::path base_ = folder_.path();
  KeyCache cache_;
  ManualMainQueue queue_;
  FakeClock clock_{dateFromSecondsSince1970(1714536000)};  // 2024-05-01T04:00:00Z
  double uptime_ = 5000;
  Uuid installation_ = *Uuid::parse("6f1c2d3e-4a5b-4c6d-8e7f-0a1b2c3d4e5f");
  std::unique_ptr<Telemetry> telemetry_;
};

TEST_F(TelemetryUploadTest, BodyIsTheEventArrayInDocumentedKeyOrderWithUpperCaseUuids) {
  Telemetry& telemetry = make();
  telemetry.setLanguage("zh-Hans");
  Telemetry::Device device;
  device.connectionId = *Uuid::parse("a1b2c3d4-e5f6-4a7b-8c9d-0e1f2a3b4c5d");
  device.brand = "iqos";
  device.model = "m0033";
  device.modelName = "IQOS ILUMA i ONE";
  device.serial = "SER-1";
  device.puffs = 11;
  device.engine = "E2";
  ASSERT_TRUE(telemetry.record("device", std::nullopt, device, clock_.now()));
  const std::vector<Telemetry::Event> events = telemetry.pending();
  ASSERT_EQ(events.size(), 2u);

  ASSERT_TRUE(upload(telemetry));
  const HttpRequest request = server_.requests().at(0);
  EXPECT_EQ(request.target, "/v1/telemetry");
  EXPECT_EQ(request.header("X-Zuvo-Installation-ID"), "6F1C2D3E-4A5B-4C6D-8E7F-0A1B2C3D4E5F");

  auto common = [&](const Telemetry::Event& event) {
    return R"({"id":")" + event.id.text() +
           R"(","installId":"6F1C2D3E-4A5B-4C6D-8E7F-0A1B2C3D4E5F","sessionId":")" +
           telemetry.sessionId().text() + R"(","occurredAt":1714536000.0,"kind":")" + event.kind +
           "\",";
  };
  const std::string tail =
      R"("language":"zh-Hans","os":"Linux Debian GNU/Linux 12","appBuild":"42",)";
  const std::string expected =
      "[" + common(events[0]) + tail + R"("appVersion":"1.2.3","serial":"SER-1"},)" +
      common(events[1]) + tail +
      R"("device":{"connectionId":"A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D","brand":"iqos",)"
      R"("model":"m0033","modelName":"IQOS ILUMA i ONE","serial":"SER-1","puffs":11,)"
      R"("engine":"E2"},"appVersion":"1.2.3","serial":"SER-1"}])";
  EXPECT_EQ(request.body, expected);
  EXPECT_TRUE(telemetry.pending().empty());
}

TEST_F(TelemetryUploadTest, BatchStopsAtAnotherInstallationAndNeverExceedsTwenty) {
  const Uuid other = Uuid::random();
  std::vector<Telemetry::Event> seeded;
  for (int i = 0; i < 25; ++i) seeded.push_back(queued("module", installation_));
  for (int i = 0; i < 3; ++i) seeded.push_back(queued("module", other));
  seeded.push_back(queued("module", installation_));
  seed(seeded);

  Telemetry& telemetry = make();
  ASSERT_TRUE(upload(telemetry));
  ASSERT_TRUE(upload(telemetry));
  ASSERT_TRUE(upload(telemetry));
  ASSERT_TRUE(upload(telemetry));
  EXPECT_FALSE(upload(telemetry));

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(sentBody(0).size(), 20u);
  EXPECT_EQ(sentBody(1).size(), 5u);
  EXPECT_EQ(sentBody(2).size(), 3u);
  EXPECT_EQ(requests[2].header("X-Zuvo-Installation-ID"), other.text());
  EXPECT_EQ(sentBody(2)[0]["installId"], other.text());
  EXPECT_EQ(sentBody(3).size(), 1u);
}

TEST_F(TelemetryUploadTest, FailuresBackOffToNineHundredSecondsAndOneSuccessResets) {
  answerWith(HttpReply::withStatus(500));
  seed({queued("module", installation_)});
  Telemetry& telemetry = make();

  for (double wait : {60.0, 120.0, 240.0, 480.0, 900.0, 900.0}) {
    ASSERT_TRUE(upload(telemetry)) << wait;
    EXPECT_EQ(telemetry.nextAttempt(), uptime_ + wait);
    uptime_ += wait - 0.5;
    EXPECT_FALSE(upload(telemetry)) << "too early after a wait of " << wait;
    uptime_ += 0.5;
  }
  EXPECT_EQ(telemetry.retryInterval(), 900);
  EXPECT_EQ(telemetry.pending().size(), 1u);

  answerWith(HttpReply::ok(""));
  ASSERT_TRUE(upload(telemetry));
  EXPECT_TRUE(telemetry.pending().empty());
  EXPECT_EQ(telemetry.retryInterval(), 60);
  EXPECT_EQ(telemetry.nextAttempt(), 0);

  answerWith(HttpReply::withStatus(503));
  ASSERT_TRUE(telemetry.record("module", "home", std::nullopt, clock_.now()));
  ASSERT_TRUE(upload(telemetry));
  EXPECT_EQ(telemetry.nextAttempt(), uptime_ + 60);
}

TEST_F(TelemetryUploadTest, EventsRecordedDuringAnUploadStayQueued) {
  answerWith([] {
    HttpReply slow = HttpReply::ok("");
    slow.delay = std::chrono::milliseconds(200);
    return slow;
  }());
  seed({queued("module", installation_)});
  Telemetry& telemetry = make();
  telemetry.flush();
  ASSERT_TRUE(telemetry.isUploading());
  ASSERT_TRUE(telemetry.record("module", "history", std::nullopt, clock_.now()));
  telemetry.flush();  // no second upload while one runs
  ASSERT_TRUE(queue_.runUntil([&] { return !telemetry.isUploading(); }));

  EXPECT_EQ(server_.requests().size(), 1u);
  ASSERT_EQ(telemetry.pending().size(), 2u);
  EXPECT_EQ(telemetry.pending()[0].kind, "daily");
  EXPECT_EQ(telemetry.pending()[1].module, "history");
  EXPECT_EQ(TelemetryOutbox(LocalStorage(base_, cache_)).load()->size(), 2u);
}

TEST_F(TelemetryUploadTest, DamagedOutboxEventsAreUploadedAndTheFileIsLeftAlone) {
  seed({});
  const fs::path file = base_ / "nimbra-local" / "Telemetry" / "outbox.json.sealed";
  const std::string damaged = "not a sealed file";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;

  Telemetry& telemetry = make();
  ASSERT_FALSE(telemetry.outboxReadable());
  EXPECT_FALSE(telemetry.record("module", "home", std::nullopt, clock_.now()));
  ASSERT_TRUE(upload(telemetry));
  EXPECT_EQ(sentBody(0).size(), 2u);
  EXPECT_TRUE(telemetry.pending().empty());

  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), damaged);
}

TEST_F(TelemetryUploadTest, StartedTelemetryUploadsOnTheMinuteTick) {
  Telemetry& telemetry = make();
  telemetry.start("en");
  EXPECT_TRUE(server_.requests().empty());
  queue_.advance(seconds(60));
  ASSERT_TRUE(queue_.runUntil([&] { return !telemetry.isUploading(); }));
  ASSERT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(sentBody(0).size(), 3u);  // first_launch, daily, module "home"
  EXPECT_TRUE(telemetry.pending().empty());
}

}  // namespace
}  // namespace nimbra

namespace nimbra {
namespace {

// The user's "Send usage data" switch off, whether at start-up or while running: the events
// already queued are gone from memory and from the outbox, nothing new is recorded, and the
// server hears nothing, not even at the next start with the switch still off.
TEST_F(TelemetryUploadTest, SwitchedOffNothingIsKeptRecordedOrSent) {
  struct Case {
    const char* name;
    bool offAtStartUp;
  };
  for (const Case c : {Case{"off at start-up", true}, Case{"turned off while running", false}}) {
    SCOPED_TRACE(c.name);
    seed({queued("module", installation_), queued("daily", installation_)});
    Telemetry& telemetry = make(!c.offAtStartUp);
    telemetry.start("en");
    if (!c.offAtStartUp) telemetry.setEnabled(false);
    EXPECT_TRUE(telemetry.pending().empty());

    Telemetry::Device device;
    device.serial = "QW3A9Z7K";
    device.puffs = 19876;
    EXPECT_FALSE(telemetry.record("device", std::nullopt, device, clock_.now()));
    EXPECT_FALSE(telemetry.record("module", "settings", std::nullopt, clock_.now()));
    (void)telemetry.record("foreground", std::nullopt, std::nullopt, clock_.now());
    queue_.advance(Telemetry::kTickInterval * 2);
    EXPECT_FALSE(upload(telemetry));
    EXPECT_TRUE(telemetry.pending().empty());
    EXPECT_FALSE(telemetry.currentSerial());

    // The next start, still off, finds nothing to send; switched on, it starts afresh.
    Telemetry& next = make(false);
    EXPECT_TRUE(next.pending().empty()) << "the outbox was emptied";
    if (c.offAtStartUp) {
      EXPECT_TRUE(next.isFirstLaunch()) << "no first launch marked while off";
    }
    EXPECT_EQ(server_.requests().size(), 0u);
    telemetry_.reset();
  }
}

TEST_F(TelemetryUploadTest, SwitchingOffDuringAnUploadDropsItsBatchAndOnLaterSendsOnlyNewEvents) {
  Telemetry& telemetry = make();
  ASSERT_TRUE(telemetry.record("module", "history", std::nullopt, clock_.now()));
  telemetry.flush();
  ASSERT_TRUE(telemetry.isUploading());
  telemetry.setEnabled(false);
  EXPECT_FALSE(telemetry.isUploading());
  EXPECT_TRUE(telemetry.pending().empty());
  EXPECT_TRUE(queue_.runUntil([] { return HistoryAPI::callsInFlight() == 0; }));
  queue_.runPending();
  EXPECT_TRUE(telemetry.pending().empty()) << "the cancelled batch's completion never ran";

  const size_t sentBefore = server_.requests().size();
  telemetry.setEnabled(true);
  ASSERT_TRUE(telemetry.record("module", "care", std::nullopt, clock_.now()));
  ASSERT_TRUE(upload(telemetry));
  ASSERT_EQ(server_.requests().size(), sentBefore + 1);
  for (const auto& event : sentBody(sentBefore)) {
    EXPECT_NE(event.value("module", ""), "history") << "an event recorded before switching off";
  }
}

}  // namespace
}  // namespace nimbra
