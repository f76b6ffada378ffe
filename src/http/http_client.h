#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"

// nimbra's one HTTP client: one libcurl easy handle per request, so requests share no
// cookies, cache or connections. Redirects are never followed (a 3xx is the final answer),
// certificates are always verified, and every option is checked: one that curl refuses
// fails the request, unsent, with curl's code. Only a 200 answer's body is read; any other
// status ends the transfer at its first body byte. Blocking; call from a worker thread.
// Any thread; no state.
namespace nimbra::Http {

struct Request {
  std::string url;
  // POST with this body; GET when absent.
  std::optional<std::string> postBody;
  std::vector<std::string> headers;
  // Schemes curl may use, as CURLOPT_PROTOCOLS_STR takes them.
  std::string protocols = "https";
  // Certificate authorities trusted instead of the system store (PEM).
  std::optional<std::filesystem::path> caFile;
  // curl "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT" entries (tests serve port 443 from a
  // loopback port).
  std::vector<std::string> connectTo;
  // The whole transfer, connecting included; zero for none.
  std::chrono::milliseconds deadline{0};
  // Connecting, and any stretch without a byte arriving; zero for curl's defaults.
  std::chrono::milliseconds idleTimeout{0};
  // The most body bytes taken; the transfer stops as soon as the bytes received, or the size
  // the server announces, pass it, and none beyond it is kept or written.
  uint64_t maxBodyBytes = 0;
  // When set (an open file descriptor), the body is written there instead of kept.
  int bodyFile = -1;
  // Polled during the transfer; once set the transfer ends with curl's "aborted" error.
  const std::atomic<bool>* cancelled = nullptr;
};

struct Response {
  long status = 0;
  std::string body;        // a 200 answer's body, unless written to Request::bodyFile
  uint64_t bodyBytes = 0;  // body bytes kept or written
  bool overLimit = false;  // stopped at Request::maxBodyBytes (status 200)
};

// Performs `request`. A status other than 200 and a body over the limit come back as a
// Response; a refused option, a transport failure, a time-out or a cancel as the translated
// curl error; a failed write to the body file as that system error.
Result<Response> perform(const Request& request);

// Frees what curl's TLS library keeps for the calling thread. A short-lived worker calls it
// last, before it reports itself finished: left to the thread's exit, that cleanup could run
// at the same time as the library's own cleanup when the process ends, and free twice.
void releaseThreadState();

}  // namespace nimbra::Http
