#include "update/transport.h"

#include <cctype>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "core/file_error.h"
#include "http/curl_error.h"
#include "http/http_client.h"
#include "http/url.h"
#include "update/release.h"

namespace nimbra::UpdateTransport {
namespace {

Http::Request requestFor(const std::string& url, const Options& options) {
  Http::Request request;
  request.url = url;
  request.caFile = options.caFile;
  request.connectTo = options.connectTo;
  return request;
}

// Host names compare without regard to case.
std::optional<std::string> lowered(std::optional<std::string> host) {
  if (host) {
    for (char& c : *host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return host;
}

}  // namespace

Result<Reply> fetch(const std::string& url, size_t maxBody, const Options& options,
                    const std::atomic<bool>* cancelled) {
  Http::Request request = requestFor(url, options);
  request.deadline = options.queryTimeout;
  request.maxBodyBytes = maxBody;
  request.cancelled = cancelled;
  Result<Http::Response> response = Http::perform(request);
  if (!response) return response.error();
  if (response->overLimit) return Reply{200, {}, true};
  return Reply{response->status, std::move(response->body), false};
}

Result<long> download(const std::string& url, const std::filesystem::path& file, uint64_t limit,
                      const Options& options, const std::atomic<bool>* cancelled) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fileError(errno, FileOperation::write, file.string());
  Http::Request request = requestFor(url, options);
  request.deadline = options.downloadDeadline;
  request.idleTimeout = options.idleTimeout;
  request.maxBodyBytes = limit;
  request.bodyFile = fd;
  request.cancelled = cancelled;
  Result<Http::Response> response = Http::perform(request);

  Result<long> result = 0L;
  if (!response) {
    result = response.error();
  } else if (response->overLimit) {
    result = cancellationError("size limit");
  } else if (response->status == 200 && ::fsync(fd) != 0) {
    result = fileError(errno, FileOperation::write, file.string());
  } else {
    result = response->status;
  }
  if (::close(fd) != 0 && result.ok() && errno != EINTR) {
    result = fileError(errno, FileOperation::write, file.string());
  }
  if (!result.ok() || result.value() != 200) ::unlink(file.c_str());
  return result;
}

std::optional<std::string> resolve(const std::string& base, const std::string& reference) {
  return Http::resolveUrl(base, reference);
}

std::optional<std::string> acceptableDownloadUrl(const std::string& text, const std::string& base) {
  std::optional<Http::UrlParts> url = Http::parseUrl(text);
  std::optional<Http::UrlParts> baseUrl = Http::parseUrl(base);
  if (!url || !baseUrl) return std::nullopt;
  if (url->scheme != "https") return std::nullopt;
  if (lowered(url->host) != lowered(baseUrl->host)) return std::nullopt;
  if (url->port && *url->port != "443") return std::nullopt;
  if (url->user || url->password) return std::nullopt;
  if (!url->path || !url->path->starts_with(UpdateRelease::kPackagesPath)) return std::nullopt;
  // The address is taken in the base's own spelling (the host as the base writes it, no
  // explicit default port), so what is fetched reads exactly as the update server's.
  if (!baseUrl->host) return std::nullopt;
  return Http::withHost(text, *baseUrl->host);
}

}  // namespace nimbra::UpdateTransport
