#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/error.h"
#include "reference-server/faults.h"
#include "reference-server/request_log.h"

// A stand-in for nimbra's analysis, battery, telemetry and update servers on loopback, for
// the demo and the end-to-end tests. HTTPS on 127.0.0.1 with a certificate authority it makes
// at start; every request is checked the way the real servers check it and logged.
//
// Paths: POST /v1/history/analyze, /v1/battery/estimate, /v1/telemetry;
// GET /v1/app/updates/latest (the Linux release query) and /v1/app/updates/packages/NAME.
// Control (loopback only, like everything here): POST /control/fault (a fault as JSON),
// POST /control/clear-faults, POST /control/release ({"releaseJson":FILE,"package":FILE}
// or {} for none), GET /control/telemetry (every event received), GET /control/log.
//
// Thread: start() and stop() from one thread; requests are served on the server's own
// threads; the observers may be called from any thread.
namespace nimbra::refserver {

struct ReleaseFiles {
  std::filesystem::path releaseJson;  // the release document
  std::filesystem::path package;      // the package; empty: the document is served as is
};

struct ReferenceServerOptions {
  uint16_t port = 0;            // 0: an ephemeral port
  std::filesystem::path caOut;  // where the CA's PEM is written; empty: not written
  std::filesystem::path log;    // JSON lines; empty: kept in memory only
  std::optional<ReleaseFiles> release;
  std::vector<Fault> faults;
  // The date analysis answers are anchored to; the start time when absent.
  std::optional<Date> reference;
  // The base URL clients are told to use in the download addresses the server fills in, when
  // they reach it through another address (e.g. "https://127.0.0.1" mapped to the real port
  // with curl's connect-to, for an updater that only takes port 443). Default: baseUrl().
  std::string publicBaseUrl;
};

class ReferenceServer {
 public:
  // Makes the TLS identity, writes the CA file, binds the port and starts serving.
  static Result<std::unique_ptr<ReferenceServer>> start(ReferenceServerOptions options);
  ~ReferenceServer();
  ReferenceServer(const ReferenceServer&) = delete;
  ReferenceServer& operator=(const ReferenceServer&) = delete;

  uint16_t port() const;
  // "https://127.0.0.1:PORT"
  std::string baseUrl() const;
  const std::string& caPem() const;

  // Ends serving: waiting faults are cut short, the listening thread is joined. Idempotent.
  void stop();

  FaultPlan& faults();
  // Replaces the offered release; nothing: the release query answers 204.
  Status setRelease(std::optional<ReleaseFiles> release);

  std::vector<nlohmann::ordered_json> log() const;
  // Every telemetry event accepted so far, in arrival order.
  nlohmann::json telemetryEvents() const;

  struct State;

 private:
  explicit ReferenceServer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace nimbra::refserver
