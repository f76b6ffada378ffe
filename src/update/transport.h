#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

// The updater's requests, made with the program's HTTP client (Http::perform): one
// ephemeral session per request, redirects never followed (a 3xx is the final answer), https
// only, certificates checked against the system store or the CA file given. Blocking; call
// from a worker thread. Any thread; no state.
namespace nimbra::UpdateTransport {

struct Options {
  // Extra trust anchors (PEM). Tests pass the certificate of their loopback server; the
  // program passes none and uses the system's store.
  std::optional<std::filesystem::path> caFile;
  // curl "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT" entries, so tests can serve a URL on
  // port 443 from a loopback port. Empty in the program.
  std::vector<std::string> connectTo;
  // Whole release query.
  std::chrono::milliseconds queryTimeout{std::chrono::seconds(60)};
  // Connecting, and any stretch without a byte arriving, during the download.
  std::chrono::milliseconds idleTimeout{std::chrono::seconds(30)};
  // The whole download. A server trickling bytes would otherwise hold the run in
  // "downloading" (and block every later check) for as long as it likes. 30 minutes bring
  // the largest package (25 MiB) over a line of 120 kbit/s, slower than any line a desktop
  // that updates itself is likely to have; an interrupted download is retried an hour later.
  std::chrono::milliseconds downloadDeadline{std::chrono::minutes(30)};
};

struct Reply {
  long status = 0;
  std::string body;  // only for status 200, at most the body limit
  bool bodyTooLong = false;
};

// GET `url`; keeps the body of a 200 answer up to `maxBody` bytes and stops reading as soon
// as it grows past that (bodyTooLong). Any other status ends the transfer without reading
// its body. Transport failures come back as the translated curl error.
Result<Reply> fetch(const std::string& url, size_t maxBody, const Options& options,
                    const std::atomic<bool>* cancelled = nullptr);

// GET `url` into `file` (created here, 0600, must not exist). Returns the status; only a
// 200 answer's bytes are written. The transfer is cancelled, with the cancellation error,
// as soon as the size the server announces or the bytes received pass `limit`, so no more
// than `limit` bytes ever reach the disk. On any error the file is removed.
Result<long> download(const std::string& url, const std::filesystem::path& file, uint64_t limit,
                      const Options& options, const std::atomic<bool>* cancelled = nullptr);

// `reference` resolved against `base` the way a browser resolves a link ("/path" replaces
// the base's path). Absent when either does not parse.
std::optional<std::string> resolve(const std::string& base, const std::string& reference);

// The acceptable download address: https, the same host as `base` (both absent counts as
// equal), no port or 443, no user name or password, a path (after removing dot segments)
// under "/v1/app/updates/packages/". Returns the normalised URL to fetch, or absent.
std::optional<std::string> acceptableDownloadUrl(const std::string& url, const std::string& base);

}  // namespace nimbra::UpdateTransport
