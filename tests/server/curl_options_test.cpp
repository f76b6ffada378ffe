// nimbra's one HTTP client (used by postJSON and the updater's transport): what every
// request shares, tested once here.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "http/http_client.h"
#include "server/post_json.h"
#include "support/result_assertions.h"
#include "support/temporary_folder.h"
#include "support/test_http_server.h"
#include "support/test_https_server.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Every curl option is checked where the handle is configured: an option curl refuses fails
// the request before anything is sent, with the code curl gave. A refused option (here a URL
// beyond curl's 8,000,000-byte input limit) used to be ignored, and the transfer then failed
// later for a reason that named something else.
TEST(CurlOptions, OptionCurlRefusesFailsTheRequestUnsent) {
  test::TestHttpServer server([](const test::HttpRequest&) { return test::HttpReply::ok("{}"); });
  HistoryAPI::Endpoint endpoint{server.baseUrl(), std::chrono::seconds(5)};
  auto result = HistoryAPI::postJSONBlocking(endpoint, std::string(8'000'001, 'x'),
                                             nlohmann::ordered_json::object(), Uuid::random());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().userInfo.at("curlCode"), std::to_string(CURLE_BAD_FUNCTION_ARGUMENT));

  Http::Request get;
  get.url = server.baseUrl() + "/" + std::string(8'000'001, 'x');
  get.protocols = "http";
  get.maxBodyBytes = 100;
  Result<Http::Response> fetched = Http::perform(get);
  ASSERT_FALSE(fetched.ok());
  EXPECT_EQ(fetched.error().userInfo.at("curlCode"), std::to_string(CURLE_BAD_FUNCTION_ARGUMENT));
  EXPECT_TRUE(server.requests().empty());
}

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<test::TestHttpsServer>("updates.nimbra.test", folder);
    // Endless, in 64 KiB chunks, no length announced.
    server->server().Get("/endless", [](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("application/zip", [](size_t, httplib::DataSink& sink) {
        std::string chunk(64 << 10, 'z');
        return sink.write(chunk.data(), chunk.size());
      });
    });
    server->server().Get("/announced", [](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(10 << 20, "application/zip",
                                    [](size_t, size_t length, httplib::DataSink& sink) {
                                      std::string chunk(std::min<size_t>(length, 1 << 16), 'z');
                                      return sink.write(chunk.data(), chunk.size());
                                    });
    });
    // One byte a second, never ending.
    server->server().Get("/trickle", [this](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("application/zip",
                                            [this](size_t, httplib::DataSink& sink) {
                                              for (int i = 0; i < 20 && !stopping; ++i) {
                                                std::this_thread::sleep_for(50ms);
                                              }
                                              return !stopping && sink.write("z", 1);
                                            });
    });
    server->start();
  }
  void TearDown() override {
    stopping = true;
    server.reset();
  }

  Http::Request request(const std::string& path, uint64_t limit) const {
    Http::Request made;
    made.url = server->baseUrl() + path;
    made.caFile = server->caFile();
    made.connectTo = {server->connectTo()};
    made.maxBodyBytes = limit;
    return made;
  }

  testing::TemporaryFolder scratch{"nimbra-http"};
  fs::path folder = scratch.path();
  std::unique_ptr<test::TestHttpsServer> server;
  std::atomic<bool> stopping{false};
};

// The limit holds in the write callback itself: not one byte past it is kept or written,
// whether the body goes to memory or to a file.
TEST_F(HttpClientTest, NoByteBeyondTheLimitIsKeptOrWritten) {
  for (bool toFile : {false, true}) {
    SCOPED_TRACE(toFile ? "file" : "memory");
    Http::Request endless = request("/endless", 1000);
    FILE* file = toFile ? std::tmpfile() : nullptr;
    if (file != nullptr) endless.bodyFile = ::fileno(file);
    Result<Http::Response> response = Http::perform(endless);
    ASSERT_OK(response);
    EXPECT_TRUE(response->overLimit);
    EXPECT_LE(response->bodyBytes, 1000u);
    if (file != nullptr) {
      EXPECT_LE(::lseek(::fileno(file), 0, SEEK_END), 1000);
      std::fclose(file);
    } else {
      EXPECT_LE(response->body.size(), 1000u);
    }
  }
}

TEST_F(HttpClientTest, AnAnnouncedLengthPastTheLimitStopsBeforeTheBody) {
  Result<Http::Response> response = Http::perform(request("/announced", 1 << 20));
  ASSERT_OK(response);
  EXPECT_TRUE(response->overLimit);
  EXPECT_EQ(response->bodyBytes, 0u);
}

// A server that trickles forever ends at the overall deadline, as a time-out: the transfer
// cannot end any other way, so the verdict does not depend on the machine's speed.
TEST_F(HttpClientTest, ATrickleEndsAtTheOverallDeadline) {
  Http::Request trickle = request("/trickle", 1 << 20);
  trickle.deadline = 1500ms;
  trickle.idleTimeout = 30s;
  Result<Http::Response> response = Http::perform(trickle);
  ASSERT_FALSE(response.ok());
  EXPECT_EQ(response.error().userInfo.at("curlCode"), std::to_string(CURLE_OPERATION_TIMEDOUT));
}

TEST_F(HttpClientTest, ACancelEndsTheTransfer) {
  std::atomic<bool> cancelled{true};
  Http::Request trickle = request("/trickle", 1 << 20);
  trickle.cancelled = &cancelled;
  Result<Http::Response> response = Http::perform(trickle);
  ASSERT_FALSE(response.ok());
  EXPECT_EQ(response.error().userInfo.at("curlCode"), std::to_string(CURLE_ABORTED_BY_CALLBACK));
}

TEST_F(HttpClientTest, OnlyTheAllowedProtocolsAreUsed) {
  Http::Request plain = request("/endless", 1000);
  plain.url = "http://updates.nimbra.test/endless";
  Result<Http::Response> response = Http::perform(plain);
  ASSERT_FALSE(response.ok());
  EXPECT_EQ(response.error().userInfo.at("curlCode"), std::to_string(CURLE_UNSUPPORTED_PROTOCOL));
}

}  // namespace
}  // namespace nimbra
