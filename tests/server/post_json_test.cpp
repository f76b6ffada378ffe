#include "server/post_json.h"

#include <atomic>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/json_fields.h"
#include "core/manual_main_queue.h"
#include "nimbra/build_config.h"
#include "server/curl_error.h"
#include "support/result_assertions.h"
#include "support/test_http_server.h"

namespace nimbra {
namespace {

using std::chrono::milliseconds;
using test::HttpReply;
using test::HttpRequest;
using test::TestHttpServer;

class PostJsonTest : public ::testing::Test {
 protected:
  PostJsonTest() : server_([this](const HttpRequest& request) { return answer(request); }) {
    endpoint_.baseUrl = server_.baseUrl();
    endpoint_.timeout = std::chrono::seconds(5);
  }

  HttpReply answer(const HttpRequest&) {
    std::lock_guard lock(mutex_);
    return reply_;
  }
  void answerWith(HttpReply reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
  }

  Result<std::string> post(const nlohmann::ordered_json& body = nlohmann::ordered_json::object()) {
    return HistoryAPI::postJSONBlocking(endpoint_, "v1/history/analyze", body, id_);
  }

  static void expectClientError(const Result<std::string>& result, const std::string& message) {
    ASSERT_ERROR(result, "ZuvoHistory", 1);
    EXPECT_EQ(result.error().message, message);
  }

  std::mutex mutex_;
  HttpReply reply_ = HttpReply::ok("{}");
  TestHttpServer server_;
  HistoryAPI::Endpoint endpoint_;
  Uuid id_ = *Uuid::parse("0f1e2d3c-4b5a-4988-a7b6-c5d4e3f2a1b0");
};

TEST_F(PostJsonTest, BodyOfExactlyTheLimitIsReturnedWhole) {
  answerWith(HttpReply::ok(std::string(24576, 'x')));
  auto result = post();
  ASSERT_OK(result);
  EXPECT_EQ(*result, std::string(24576, 'x'));
}

TEST_F(PostJsonTest, BodyOneByteOverTheLimitFails) {
  answerWith(HttpReply::ok(std::string(24577, 'x')));
  expectClientError(post(), "nimbra API 响应过大");
}

TEST_F(PostJsonTest, EndlessBodyIsCutOffWithTheSameError) {
  answerWith(HttpReply::ok(std::string(4 * 1024 * 1024, 'x')));
  expectClientError(post(), "nimbra API 响应过大");
}

TEST_F(PostJsonTest, EmptyBodyOfA200IsReturnedEmpty) {
  answerWith(HttpReply::ok(""));
  auto result = post();
  ASSERT_OK(result);
  EXPECT_TRUE(result->empty());
}

TEST_F(PostJsonTest, RedirectIsNotFollowed) {
  HttpReply redirect = HttpReply::withStatus(302);
  redirect.headers = {{"Location", server_.baseUrl() + "/elsewhere"}};
  answerWith(redirect);
  expectClientError(post(), "nimbra API 返回 302");
  ASSERT_TRUE(server_.waitForClosedConnections(1));
  EXPECT_EQ(server_.requests().size(), 1u);
}

TEST_F(PostJsonTest, ServerErrorReportsItsStatus) {
  answerWith(HttpReply::withStatus(500, R"({"error":"internal"})"));
  expectClientError(post(), "nimbra API 返回 500");
}

TEST_F(PostJsonTest, ErrorStatusWinsOverAnOversizedBody) {
  answerWith(HttpReply::withStatus(404, std::string(100000, 'e')));
  expectClientError(post(), "nimbra API 返回 404");
}

TEST_F(PostJsonTest, SilentServerGivesTheTransportTimeOut) {
  HttpReply silent;
  silent.neverAnswer = true;
  answerWith(silent);
  endpoint_.timeout = milliseconds(300);
  auto result = post();
  ASSERT_ERROR(result, kUrlErrorDomain, kUrlErrorTimedOut);
  EXPECT_EQ(result.error().message, "请求超时。");
}

TEST_F(PostJsonTest, MalformedAnswerIsATransportError) {
  HttpReply garbage;
  garbage.raw = "this is not http\r\n\r\n";
  answerWith(garbage);
  auto result = post();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, kUrlErrorDomain);
}

TEST(PostJson, DefaultEndpointIsTheBuildsHttpsUrlWithFifteenSeconds) {
  const auto& endpoint = HistoryAPI::defaultEndpoint();
  EXPECT_EQ(endpoint.timeout, std::chrono::seconds(15));
  EXPECT_EQ(endpoint.baseUrl, NIMBRA_API_BASE_URL);
  // Empty in a build without an analysis server (the default), https otherwise.
  EXPECT_EQ(endpoint.configured(), !endpoint.baseUrl.empty());
  if (endpoint.configured()) {
    EXPECT_EQ(endpoint.baseUrl.rfind("https://", 0), 0u);
  }
}

TEST(PostJson, PathIsJoinedWithExactlyOneSlash) {
  EXPECT_EQ(HistoryAPI::requestUrl("https://a.example/", "v1/telemetry"),
            "https://a.example/v1/telemetry");
  EXPECT_EQ(HistoryAPI::requestUrl("https://a.example", "v1/telemetry"),
            "https://a.example/v1/telemetry");
}

TEST_F(PostJsonTest, SendsOneCompactJsonPostWithTheUpperCaseInstallationHeader) {
  nlohmann::ordered_json body;
  body["schemaVersion"] = 1;
  body["records"] = {{{"position", 3}, {"payload", "AAEC/w=="}}};
  ASSERT_OK(post(body));
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/v1/history/analyze");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].header("X-Zuvo-Installation-ID"), "0F1E2D3C-4B5A-4988-A7B6-C5D4E3F2A1B0");
  EXPECT_EQ(requests[0].body,
            R"({"schemaVersion":1,"records":[{"position":3,"payload":"AAEC/w=="}]})");
}

TEST_F(PostJsonTest, UnencodableBodyFailsBeforeAnythingIsSent) {
  nlohmann::ordered_json body;
  body["text"] = std::string("\xff\xfe");
  auto result = post(body);
  EXPECT_ERROR(result, kCocoaErrorDomain, kJsonEncodingErrorCode);
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(PostJsonTest, CallsShareNoCookies) {
  HttpReply withCookie = HttpReply::ok("{}");
  withCookie.headers = {{"Set-Cookie", "session=abc; Path=/"}};
  answerWith(withCookie);
  ASSERT_OK(post());
  ASSERT_OK(post());
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].header("Cookie"), "");
}

TEST(PostJson, RefusedConnectionIsPassedOn) {
  HistoryAPI::Endpoint endpoint;
  {
    TestHttpServer closed([](const HttpRequest&) { return HttpReply::ok(""); });
    endpoint.baseUrl = closed.baseUrl();
  }
  auto result = HistoryAPI::postJSONBlocking(endpoint, "v1/telemetry",
                                             nlohmann::ordered_json::array(), Uuid::random());
  EXPECT_ERROR(result, kUrlErrorDomain, kUrlErrorCannotConnectToHost);
}

// The asynchronous form: the answer arrives on the main queue, and a cancelled call reports
// nothing and stops its transfer.
TEST_F(PostJsonTest, AsynchronousCallCompletesOnTheMainQueue) {
  answerWith(HttpReply::ok(R"({"ok":true})"));
  ManualMainQueue queue;
  std::optional<Result<std::string>> outcome;
  HistoryAPI::postJSON(queue, endpoint_, "v1/battery/estimate", {}, id_,
                       [&](Result<std::string> result) { outcome = std::move(result); });
  ASSERT_TRUE(queue.runUntil([&] { return outcome.has_value(); }));
  ASSERT_OK(*outcome);
  EXPECT_EQ(**outcome, R"({"ok":true})");
  ASSERT_TRUE(queue.runUntil([] { return HistoryAPI::callsInFlight() == 0; }));
}

TEST_F(PostJsonTest, CancelledCallAbortsAndReportsNothing) {
  HttpReply silent;
  silent.neverAnswer = true;
  answerWith(silent);
  endpoint_.timeout = std::chrono::seconds(30);
  ManualMainQueue queue;
  bool reported = false;
  TaskHandle task = HistoryAPI::postJSON(queue, endpoint_, "v1/telemetry", {}, id_,
                                         [&](Result<std::string>) { reported = true; });
  ASSERT_TRUE(server_.waitForRequests(1));
  task.cancel();
  // The server sees the client hang up long before the 30 s time-out.
  EXPECT_TRUE(server_.waitForClosedConnections(1, std::chrono::seconds(30)));
  ASSERT_TRUE(queue.runUntil([] { return HistoryAPI::callsInFlight() == 0; }));
  queue.runPending();
  EXPECT_FALSE(reported);
}

}  // namespace
}  // namespace nimbra
