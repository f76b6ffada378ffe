#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/main_queue.h"
#include "core/uuid.h"

// The one way nimbra talks to its analysis server: POST one JSON document, refuse
// redirects, cap the answer, hand back the raw body. Each call has its own curl handle, so
// calls share no cookies, cache or connections and any number may run at once.
namespace nimbra::HistoryAPI {

inline constexpr char kErrorDomain[] = "ZuvoHistory";
inline constexpr int kErrorCode = 1;
inline constexpr std::chrono::seconds kRequestTimeout{15};
inline constexpr size_t kMaxResponseBytes = 24576;
inline constexpr char kInstallationHeader[] = "X-Zuvo-Installation-ID";

inline constexpr char kStatusMessagePrefix[] = "nimbra API 返回 ";
inline constexpr char kTooLargeMessage[] = "nimbra API 响应过大";

// Where the calls go. Production uses the build's base URL, the 15 s time-out and the
// system's certificate store; tests and the demo point it at a loopback server and may
// shorten the time-out. `caFile`, when set, is a PEM file of the certificate authorities
// trusted instead of the system store (the demo's own CA); verification is never off.
// An empty base URL is a build without an analysis server: callers then make no request
// at all (analysis, battery estimate and telemetry stay idle).
struct Endpoint {
  std::string baseUrl;
  std::chrono::milliseconds timeout = kRequestTimeout;
  std::string caFile = {};

  bool configured() const { return !baseUrl.empty(); }
};
// The build's NIMBRA_API_BASE_URL (empty when the build names none) with the standard
// time-out.
const Endpoint& defaultEndpoint();

// A "ZuvoHistory" code 1 error with the given user-visible message.
Error clientError(std::string message);

// The base URL with `path` appended after exactly one slash.
std::string requestUrl(std::string_view baseUrl, std::string_view path);

using Body = std::string;
using Completion = std::function<void(Result<Body>)>;

// Blocking form, for worker threads. `cancelled` (may be null) is polled during the
// transfer; once it is set the transfer is aborted and a cancellation error returned.
// Result: the complete body (at most kMaxResponseBytes) of a 200 answer, or an error:
// clientError for a non-200 status (redirects included) or an oversized body, the
// translated transport error otherwise, jsonEncodingError when `body` cannot be encoded
// (nothing is sent then).
Result<Body> postJSONBlocking(const Endpoint& endpoint, std::string_view path,
                              const nlohmann::ordered_json& body, const Uuid& installationID,
                              const std::atomic<bool>* cancelled = nullptr);

// Asynchronous form. Any thread may call it; the transfer runs on its own worker thread
// and `completion` runs on `queue`. Cancelling the returned handle aborts the transfer, and
// after a cancel made on the main thread the completion never runs. `queue` must outlive
// the call (the application's main queue does).
TaskHandle postJSON(MainQueue& queue, const Endpoint& endpoint, std::string path,
                    nlohmann::ordered_json body, const Uuid& installationID, Completion completion);

// Calls whose worker thread has not yet finished, completion posted included. Lets tests
// (and an orderly shutdown, should one come) wait until no worker still refers to a queue.
size_t callsInFlight();

}  // namespace nimbra::HistoryAPI
