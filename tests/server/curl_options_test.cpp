#include <string>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "server/post_json.h"
#include "support/test_http_server.h"

namespace nimbra {
namespace {

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
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace nimbra
