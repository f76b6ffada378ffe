#include "app/server_endpoints.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "nimbra/build_config.h"

namespace nimbra::ServerEndpoints {
namespace {

// The demo server answers on loopback; a slow demo machine still finishes within this.
constexpr std::chrono::seconds kDemoTimeout{15};

struct Origin {
  std::string host;
  int port = 443;
};

// "https://HOST[:PORT][/...]" with a non-empty host and, if given, a port in 1–65535.
// Anything else (another scheme, a user name, brackets) is refused: the demo only ever
// points at its own loopback server.
std::optional<Origin> parseOrigin(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  if (!url.starts_with(kScheme)) return std::nullopt;
  std::string_view rest = url.substr(kScheme.size());
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.find_first_of("@[]") != std::string_view::npos) return std::nullopt;
  Origin origin;
  size_t colon = authority.find(':');
  origin.host = std::string(authority.substr(0, colon));
  if (origin.host.empty()) return std::nullopt;
  if (colon != std::string_view::npos) {
    std::string_view digits = authority.substr(colon + 1);
    const char* end = digits.data() + digits.size();
    auto [stop, failure] = std::from_chars(digits.data(), end, origin.port);
    if (digits.empty() || failure != std::errc() || stop != end || origin.port < 1 ||
        origin.port > 65535)
      return std::nullopt;
  }
  return origin;
}

Servers buildConstants() {
  return Servers{
      .api = HistoryAPI::defaultEndpoint(),
      .updateBaseUrl = NIMBRA_UPDATE_BASE_URL,
      .updateTransport = {},
  };
}

}  // namespace

Servers resolve(bool simulatedDevice, const Environment& environment) {
  if (!simulatedDevice) return buildConstants();
  const char* server = environment("NIMBRA_DEMO_SERVER");
  if (server == nullptr || *server == '\0') return buildConstants();
  std::string url = server;
  while (url.ends_with('/')) url.pop_back();
  std::optional<Origin> origin = parseOrigin(url);
  if (!origin) {
    std::fprintf(stderr, "nimbra: NIMBRA_DEMO_SERVER is not an https URL, ignored: %s\n", server);
    return buildConstants();
  }

  const char* ca = environment("NIMBRA_DEMO_CA");
  std::string caFile = ca != nullptr ? ca : "";
  Servers servers{
      .api = HistoryAPI::Endpoint{url, kDemoTimeout, caFile},
      .updateBaseUrl = "https://" + origin->host,
      .updateTransport = {},
  };
  if (!caFile.empty()) servers.updateTransport.caFile = caFile;
  if (origin->port != 443) {
    servers.updateTransport.connectTo.push_back(origin->host + ":443:" + origin->host + ":" +
                                                std::to_string(origin->port));
  }
  return servers;
}

Servers fromProcessEnvironment(bool simulatedDevice) {
  return resolve(simulatedDevice, [](const char* name) { return std::getenv(name); });
}

}  // namespace nimbra::ServerEndpoints
