#include "app/server_endpoints.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "nimbra/build_config.h"

namespace nimbra {
namespace {

using Variables = std::map<std::string, std::string>;

ServerEndpoints::Environment table(const Variables& variables) {
  return [&variables](const char* name) -> const char* {
    auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  };
}

void expectBuildConstants(const ServerEndpoints::Servers& servers) {
  EXPECT_EQ(servers.api.baseUrl, HistoryAPI::defaultEndpoint().baseUrl);
  EXPECT_EQ(servers.api.timeout, HistoryAPI::defaultEndpoint().timeout);
  EXPECT_EQ(servers.api.caFile, "");
  EXPECT_EQ(servers.updateBaseUrl, NIMBRA_UPDATE_BASE_URL);
  EXPECT_FALSE(servers.updateTransport.caFile.has_value());
  EXPECT_TRUE(servers.updateTransport.connectTo.empty());
}

// A normal start must never send anything to a server named by the environment, nor trust
// a certificate it names.
TEST(ServerEndpointsTest, WithoutTheSimulatedDeviceTheDemoVariablesAreIgnored) {
  const Variables demo = {{"NIMBRA_DEMO_SERVER", "https://127.0.0.1:40123"},
                          {"NIMBRA_DEMO_CA", "/tmp/demo/ca.pem"}};
  expectBuildConstants(ServerEndpoints::resolve(false, table(demo)));
  // Only the variable's presence counts in the demo; the CA alone changes nothing.
  expectBuildConstants(ServerEndpoints::resolve(true, table({{"NIMBRA_DEMO_CA", "/tmp/ca.pem"}})));
  expectBuildConstants(ServerEndpoints::resolve(true, table({})));
}

TEST(ServerEndpointsTest, TheDemoServerServesEveryCallWithItsCertificate) {
  const Variables demo = {{"NIMBRA_DEMO_SERVER", "https://127.0.0.1:40123/"},
                          {"NIMBRA_DEMO_CA", "/tmp/demo/ca.pem"}};
  ServerEndpoints::Servers servers = ServerEndpoints::resolve(true, table(demo));
  EXPECT_EQ(servers.api.baseUrl, "https://127.0.0.1:40123");
  EXPECT_EQ(servers.api.caFile, "/tmp/demo/ca.pem");
  // The updater refuses downloads from any port but 443: its base keeps no port and the
  // transport maps 443 to the server's port.
  EXPECT_EQ(servers.updateBaseUrl, "https://127.0.0.1");
  EXPECT_EQ(servers.updateTransport.caFile, std::filesystem::path("/tmp/demo/ca.pem"));
  ASSERT_EQ(servers.updateTransport.connectTo.size(), 1u);
  EXPECT_EQ(servers.updateTransport.connectTo[0], "127.0.0.1:443:127.0.0.1:40123");

  servers = ServerEndpoints::resolve(true, table({{"NIMBRA_DEMO_SERVER", "https://localhost"}}));
  EXPECT_EQ(servers.updateBaseUrl, "https://localhost");
  EXPECT_TRUE(servers.updateTransport.connectTo.empty());
  EXPECT_FALSE(servers.updateTransport.caFile.has_value());
}

TEST(ServerEndpointsTest, AnUnusableDemoServerKeepsTheBuildConstants) {
  for (const char* url :
       {"http://127.0.0.1:8080", "https://", "https://127.0.0.1:", "https://127.0.0.1:99999",
        "https://127.0.0.1:80x", "https://user@127.0.0.1:4000", "https://[::1]:4000"}) {
    SCOPED_TRACE(url);
    expectBuildConstants(ServerEndpoints::resolve(true, table({{"NIMBRA_DEMO_SERVER", url}})));
  }
}

}  // namespace
}  // namespace nimbra
