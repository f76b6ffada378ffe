#pragma once

#include <functional>
#include <string>

#include "server/post_json.h"
#include "update/transport.h"

// Where the program's network calls go. A normal start uses the build's constants. The demo
// (NIMBRA_SIMULATED_DEVICE=1, and only then) may point the analysis, battery, telemetry and
// update calls at a loopback reference server with NIMBRA_DEMO_SERVER (its base URL, e.g.
// "https://127.0.0.1:40123") and trust that server's certificate with NIMBRA_DEMO_CA (a PEM
// file). Without the switch both variables are ignored. Any thread; no state.
namespace nimbra::ServerEndpoints {

struct Servers {
  // The analysis, battery estimate and telemetry server.
  HistoryAPI::Endpoint api;
  // The update server, "https://host" (no port: the updater accepts downloads only from
  // port 443) and how its requests reach it.
  std::string updateBaseUrl;
  UpdateTransport::Options updateTransport;
};

// Reads a variable; absent (null) when unset. Tests pass a table.
using Environment = std::function<const char*(const char* name)>;

// The build's constants, or the demo's servers when `simulatedDevice` and NIMBRA_DEMO_SERVER
// is a usable https URL. A demo URL with a port other than 443 keeps the update base URL
// without the port and maps port 443 to the real one (curl's connect-to), so the release's
// download address passes the updater's port rule and still reaches the loopback server.
Servers resolve(bool simulatedDevice, const Environment& environment);

// resolve() with the process environment.
Servers fromProcessEnvironment(bool simulatedDevice);

}  // namespace nimbra::ServerEndpoints
