// nimbra's own server clients against the reference server, over HTTPS with the server's
// generated CA trusted through the endpoint: the server takes exactly what nimbra sends, and
// nimbra's reply checks take what the server answers.

#include "reference-server/reference_server.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "core/dates.h"
#include "core/json_fields.h"
#include "core/manual_main_queue.h"
#include "core/sha256.h"
#include "server/battery_estimate.h"
#include "server/curl_error.h"
#include "server/history_analysis.h"
#include "storage/key_cache.h"
#include "support/result_assertions.h"
#include "support/temporary_folder.h"
#include "telemetry/telemetry.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using refserver::Fault;
using refserver::FaultKind;
using refserver::ReferenceServer;
using std::chrono::milliseconds;

HistoryPacket packet(int directory, int position, std::vector<uint8_t> payload) {
  HistoryPacket made;
  made.entry = {directory, position, static_cast<int>(payload.size()), payload[0] & 0x7F};
  made.payload = std::move(payload);
  return made;
}

class ReferenceServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    refserver::ReferenceServerOptions options;
    options.caOut = dir_ / "ca.pem";
    options.log = dir_ / "requests.jsonl";
    auto started = ReferenceServer::start(std::move(options));
    ASSERT_OK(started);
    server_ = std::move(started).value();
    endpoint_ = {server_->baseUrl(), std::chrono::seconds(5), (dir_ / "ca.pem").string()};
  }
  void TearDown() override {
    if (server_) server_->stop();
    EXPECT_TRUE(queue_.runUntil([] { return HistoryAPI::callsInFlight() == 0; }));
  }

  template <typename T>
  T await(std::optional<T>& slot) {
    EXPECT_TRUE(queue_.runUntil([&] { return slot.has_value(); }));
    return std::move(*slot);
  }

  Result<std::vector<HistoryObservation>> analyze(std::vector<HistoryPacket> packets) {
    std::optional<Result<std::vector<HistoryObservation>>> result;
    HistoryAPI::analyze(queue_, endpoint_, installation_, std::move(packets),
                        [&](auto answer) { result = std::move(answer); });
    return await(result);
  }

  Result<HistoryAPI::BatteryEstimate> estimate(int64_t charge) {
    HistoryAPI::BatteryInput input;
    input.charge = charge;
    input.adc = 3950;
    input.calibration = 100;
    std::optional<Result<HistoryAPI::BatteryEstimate>> result;
    HistoryAPI::estimateBattery(queue_, endpoint_, installation_, input,
                                [&](auto answer) { result = std::move(answer); });
    return await(result);
  }

  // A client of the server for requests nimbra would never send.
  httplib::Result rawPost(const std::string& path, const std::string& body,
                          const httplib::Headers& headers) {
    httplib::SSLClient client("127.0.0.1", server_->port());
    client.set_ca_cert_path((dir_ / "ca.pem").c_str());
    client.enable_server_certificate_verification(true);
    return client.Post(path.c_str(), headers, body, "application/json");
  }

  std::vector<json> logFile() {
    std::ifstream in(dir_ / "requests.jsonl");
    std::vector<json> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
  }

  testing::TemporaryFolder folder_{"nimbra-refserver-test"};
  fs::path dir_ = folder_.path();
  std::unique_ptr<ReferenceServer> server_;
  HistoryAPI::Endpoint endpoint_;
  ManualMainQueue queue_;
  Uuid installation_ = *Uuid::parse("6f1c2d3e-4a5b-4c6d-8e7f-0a1b2c3d4e5f");
};

TEST_F(ReferenceServerTest, AnalysisAnswersEveryRecordSentAndPassesNimbrasCheck) {
  // Duplicate positions and positions out of order, as a device read may give them.
  auto observations = analyze({packet(0, 9, {0x00, 0x11, 0x22, 0x33}), packet(1, 2, {0x01, 0x44}),
                               packet(2, 9, {0x04, 0x55, 0x66}), packet(3, 70000, {0x03})});
  ASSERT_OK(observations);
  ASSERT_EQ(observations->size(), 4u);
  std::vector<int64_t> positions;
  for (const HistoryObservation& observation : *observations) {
    positions.push_back(observation.position);
  }
  EXPECT_EQ(positions, (std::vector<int64_t>{9, 2, 9, 70000}));
  EXPECT_EQ((*observations)[0].kind, "session");
  EXPECT_EQ((*observations)[0].eventKind, "complete");
  EXPECT_EQ((*observations)[1].eventKind, std::nullopt);
  EXPECT_EQ((*observations)[0].tailEntries, 3);

  const std::vector<json> lines = logFile();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["path"], "v1/history/analyze");
  EXPECT_EQ(lines[0]["status"], 200);
  EXPECT_EQ(lines[0]["installationId"], "6F1C2D3E-4A5B-4C6D-8E7F-0A1B2C3D4E5F");
  EXPECT_EQ(lines[0]["body"]["records"][3], (json{{"position", 70000}, {"payload", "Aw=="}}));
}

TEST_F(ReferenceServerTest, BatteryEstimateFollowsTheCharge) {
  auto full = estimate(100);
  auto half = estimate(50);
  auto empty = estimate(0);
  ASSERT_OK(full);
  ASSERT_OK(half);
  ASSERT_OK(empty);
  EXPECT_EQ(full->predictedUses, 20);
  EXPECT_EQ(half->predictedUses, 10);
  EXPECT_EQ(empty->predictedUses, 0);
  EXPECT_DOUBLE_EQ(full->voltage, 3.95);  // 3950 raw at calibration 100
}

TEST_F(ReferenceServerTest, TelemetryUploadOfTheRealOutboxIsAcceptedAndKept) {
  KeyCache cache;
  FakeClock clock(dateFromSecondsSince1970(1714536000));
  Telemetry telemetry(Telemetry::Seams{
      .queue = queue_,
      .clock = clock,
      .uptime = [] { return 5000.0; },
      .installationId = [this] { return installation_; },
      .isApplicationActive = {},
      .storage = LocalStorage(dir_ / "support", cache),
      .endpoint = endpoint_,
      .os = "Linux Debian GNU/Linux 12",
      .appBuild = "42",
      .appVersion = "1.2.3",
  });
  Telemetry::Device device{Uuid::random(), "iqos", "m0033", "IQOS ILUMA i ONE", "SER-1", 11, 3,
                           "2.4.1",        "E2"};
  ASSERT_TRUE(telemetry.record("foreground", std::nullopt, std::nullopt, clock.now()));
  ASSERT_TRUE(telemetry.record("module", "history", std::nullopt, clock.now()));
  ASSERT_TRUE(telemetry.record("device", std::nullopt, device, clock.now()));
  const size_t queued = telemetry.pending().size();

  telemetry.flush();
  ASSERT_TRUE(telemetry.isUploading());
  ASSERT_TRUE(queue_.runUntil([&] { return !telemetry.isUploading(); }));
  EXPECT_TRUE(telemetry.pending().empty()) << "the upload failed";

  const json kept = server_->telemetryEvents();
  ASSERT_EQ(kept.size(), queued);
  EXPECT_EQ(kept[0]["kind"], "daily");
  EXPECT_EQ(kept[2]["device"]["serial"], "SER-1");
  EXPECT_EQ(server_->log().back()["installationId"], "6F1C2D3E-4A5B-4C6D-8E7F-0A1B2C3D4E5F");
}

TEST_F(ReferenceServerTest, RefusesWhatARealServerWouldRefuse) {
  const std::string id = "6F1C2D3E-4A5B-4C6D-8E7F-0A1B2C3D4E5F";
  const std::string battery =
      R"({"schemaVersion":1,"brand":"iqos","model":"m0033","charge":87,"adc":3950,"calibration":100})";
  auto event = [&](const std::string& kind) {
    return "[{\"id\":\"" + Uuid::random().text() + "\",\"installId\":\"" + id +
           "\",\"sessionId\":\"" + Uuid::random().text() +
           "\",\"occurredAt\":1714536000.5,\"kind\":\"" + kind +
           R"(","language":"en","os":"Linux","appBuild":"1"}])";
  };
  struct Case {
    std::string path;
    httplib::Headers headers;
    std::string body;
    int status;
  };
  const std::vector<Case> cases{
      {"/v1/battery/estimate", {}, battery, 400},
      {"/v1/battery/estimate",
       {{"X-Zuvo-Installation-ID", "6f1c2d3e-4a5b-4c6d-8e7f-0a1b2c3d4e5f"}},
       battery,
       400},
      {"/v1/battery/estimate", {{"X-Zuvo-Installation-ID", id}}, battery, 200},
      {"/v1/battery/estimate",
       {{"X-Zuvo-Installation-ID", id}},
       R"({"schemaVersion":1,"brand":"iqos","model":"m0033","charge":87,"adc":3950})",
       400},
      {"/v1/battery/estimate",
       {{"X-Zuvo-Installation-ID", id}},
       battery.substr(0, battery.size() - 1) + R"(,"extra":null})",
       400},
      {"/v1/battery/estimate",
       {{"X-Zuvo-Installation-ID", id}},
       std::string(2000, ' ') + battery,
       413},
      {"/v1/history/analyze",
       {{"X-Zuvo-Installation-ID", id}},
       R"({"schemaVersion":1,"brand":"iqos","model":"m0033","records":[]})",
       400},
      {"/v1/history/analyze",
       {{"X-Zuvo-Installation-ID", id}},
       R"({"schemaVersion":1,"brand":"iqos","model":"m0033","records":[{"position":1,"payload":"AQ"}]})",
       400},
      {"/v1/telemetry", {{"X-Zuvo-Installation-ID", id}}, "[{\"kind\":", 400},
      {"/v1/telemetry", {{"X-Zuvo-Installation-ID", id}}, "[]", 400},
      {"/v1/telemetry", {{"X-Zuvo-Installation-ID", id}}, event("daily"), 200},
      {"/v1/telemetry", {{"X-Zuvo-Installation-ID", id}}, event("foreground"), 400},
      {"/v1/telemetry",
       {{"X-Zuvo-Installation-ID", "A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D"}},
       event("daily"),
       400},
  };
  for (const Case& c : cases) {
    auto result = rawPost(c.path, c.body, c.headers);
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->status, c.status) << c.path << " " << c.body.substr(0, 120);
  }
  const auto log = server_->log();
  ASSERT_EQ(log.size(), cases.size());
  EXPECT_EQ(log[0]["problem"], "no X-Zuvo-Installation-ID header");
  EXPECT_FALSE(log[2].contains("problem"));
  EXPECT_EQ(server_->telemetryEvents().size(), 1u) << "only the accepted upload is kept";
}

TEST_F(ReferenceServerTest, FaultsReachNimbraAsItsOwnErrors) {
  const std::vector<HistoryPacket> packets{packet(0, 4, {0x00, 0x01})};
  const auto sent = HistoryAPI::analysisRequest(packets);
  auto post = [&] {
    return HistoryAPI::postJSONBlocking(endpoint_, HistoryAPI::kAnalyzePath, sent, installation_);
  };

  server_->faults().add(Fault{FaultKind::status500, "v1/history/analyze", 1});
  EXPECT_EQ(post().error().message, "nimbra API 返回 500");
  server_->faults().add(Fault{FaultKind::oversize, "", 1});
  EXPECT_EQ(post().error().message, "nimbra API 响应过大");
  server_->faults().add(Fault{FaultKind::redirect, "", 1});
  EXPECT_EQ(post().error().message, "nimbra API 返回 302");
  server_->faults().add(Fault{FaultKind::malformed, "", 1});
  Result<std::string> malformed = post();
  ASSERT_OK(malformed);
  auto decoded = HistoryAPI::decodeAnalysisReply(*malformed, packets);
  EXPECT_ERROR(decoded, kCocoaErrorDomain, kJsonDecodingErrorCode);
  // A fault for another path leaves this one alone; the spent ones are gone.
  server_->faults().add(Fault{FaultKind::status500, "v1/battery/estimate", -1});
  EXPECT_OK(HistoryAPI::decodeAnalysisReply(post().value(), packets));

  endpoint_.timeout = milliseconds(300);
  server_->faults().add(Fault{FaultKind::delay, "v1/history/analyze", 1, milliseconds(20000)});
  EXPECT_ERROR(post(), kUrlErrorDomain, kUrlErrorTimedOut);
}

TEST_F(ReferenceServerTest, ClientsThatDoNotTrustItsCaAreRefused) {
  endpoint_.caFile.clear();  // the system's store does not hold the generated CA
  auto result =
      HistoryAPI::postJSONBlocking(endpoint_, HistoryAPI::kBatteryPath,
                                   HistoryAPI::toJson(HistoryAPI::BatteryInput{}), installation_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, kUrlErrorDomain);
  EXPECT_TRUE(server_->log().empty());
}

TEST_F(ReferenceServerTest, ReleaseQueryOffersTheGivenBundle) {
  httplib::SSLClient client("127.0.0.1", server_->port());
  client.set_ca_cert_path((dir_ / "ca.pem").c_str());
  const std::string query =
      "/v1/app/updates/latest?platform=linux&protocol=2&bundle=nimbra&format=zip&arch=x86_64";
  auto none = client.Get(query.c_str());
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 204);
  auto macQuery = client.Get(
      "/v1/app/updates/latest?platform=macos&protocol=2&bundle=nimbra"
      "&format=dmg&arch=arm64");
  ASSERT_TRUE(macQuery);
  EXPECT_EQ(macQuery->status, 400);

  const std::string package = "PK\x03\x04 not really a zip";
  std::ofstream(dir_ / "nimbra-1.0-7.zip") << package;
  std::ofstream(dir_ / "release.json")
      << R"({"schemaVersion":1,"version":"1.0","build":7,"architecture":"x86_64",)"
         R"("minSystemVersion":"2.36","platform":"linux","updateProtocol":2})";
  ASSERT_TRUE(
      server_->setRelease(refserver::ReleaseFiles{dir_ / "release.json", dir_ / "nimbra-1.0-7.zip"})
          .ok());
  auto offered = client.Get(query.c_str());
  ASSERT_TRUE(offered);
  ASSERT_EQ(offered->status, 200);
  const json release = json::parse(offered->body);
  EXPECT_EQ(release["build"], 7);
  EXPECT_EQ(release["size"], package.size());
  EXPECT_EQ(release["sha256"], sha256Hex(package));
  const std::string url = release["downloadUrl"];
  EXPECT_EQ(url, server_->baseUrl() + "/v1/app/updates/packages/nimbra-1.0-7.zip");

  auto downloaded = client.Get(url.substr(server_->baseUrl().size()).c_str());
  ASSERT_TRUE(downloaded);
  EXPECT_EQ(downloaded->status, 200);
  EXPECT_EQ(downloaded->body, package);
  EXPECT_FALSE(server_->log()[2].contains("installationId"));
}

TEST(FaultTextTest, CommandLineFormNamesKindDelayPathAndCount) {
  auto delay = refserver::parseFaultText("delay=20000:/v1/history/analyze:2");
  ASSERT_OK(delay);
  EXPECT_EQ(delay->kind, FaultKind::delay);
  EXPECT_EQ(delay->delay, milliseconds(20000));
  EXPECT_EQ(delay->path, "v1/history/analyze");
  EXPECT_EQ(delay->count, 2);
  auto always = refserver::parseFaultText("status500");
  ASSERT_OK(always);
  EXPECT_EQ(always->path, "");
  EXPECT_LT(always->count, 0);
  for (const char* bad : {"explode", "delay=soon", "redirect:v1/telemetry:-1", "oversize::x"}) {
    EXPECT_FALSE(refserver::parseFaultText(bad).ok()) << bad;
  }
}

}  // namespace
}  // namespace nimbra
