#include "update/transport.h"

#include <cctype>
#include <cerrno>
#include <memory>
#include <mutex>

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include "server/curl_error.h"
#include "storage/storage_error.h"
#include "update/release.h"

namespace nimbra::UpdateTransport {
namespace {

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

// What the callbacks of one transfer share. Exactly one of `body` (query) and `fd`
// (download) receives the bytes of a 200 answer.
struct Transfer {
  CURL* handle = nullptr;
  const std::atomic<bool>* cancelled = nullptr;
  uint64_t limit = 0;
  std::string* body = nullptr;
  int fd = -1;
  uint64_t received = 0;
  long refusedStatus = 0;
  bool overLimit = false;
  int writeErrno = 0;
};

bool writeAll(int fd, const char* data, size_t size, int& failure) noexcept {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      failure = errno;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

size_t onBytes(char* data, size_t size, size_t count, void* context) noexcept {
  auto* transfer = static_cast<Transfer*>(context);
  size_t bytes = size * count;
  long status = 0;
  curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    // Not what was asked for (a redirect included): its body is never read.
    transfer->refusedStatus = status;
    return CURL_WRITEFUNC_ERROR;
  }
  if (transfer->received + bytes > transfer->limit) {
    transfer->overLimit = true;
    return CURL_WRITEFUNC_ERROR;
  }
  transfer->received += bytes;
  if (transfer->body != nullptr) {
    try {
      transfer->body->append(data, bytes);
    } catch (...) {
      transfer->writeErrno = ENOMEM;
      return CURL_WRITEFUNC_ERROR;
    }
  } else if (!writeAll(transfer->fd, data, bytes, transfer->writeErrno)) {
    return CURL_WRITEFUNC_ERROR;
  }
  return bytes;
}

// Called while bytes arrive: stops the transfer once the announced or the received size
// passes the limit, or when the caller cancels.
int onProgress(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) noexcept {
  auto* transfer = static_cast<Transfer*>(context);
  if (transfer->cancelled != nullptr && transfer->cancelled->load()) return 1;
  if (static_cast<uint64_t>(total) > transfer->limit ||
      static_cast<uint64_t>(now) > transfer->limit) {
    transfer->overLimit = true;
    return 1;
  }
  return 0;
}

Error cancellationError() { return curlError(CURLE_ABORTED_BY_CALLBACK, "size limit"); }

// Runs one GET with the options every updater request shares. `connectTo` must stay alive
// for the transfer.
CURLcode perform(CURL* handle, const std::string& url, Transfer& transfer, const Options& options,
                 curl_slist* connectTo, char* errorBuffer) {
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (options.caFile) curl_easy_setopt(handle, CURLOPT_CAINFO, options.caFile->c_str());
  if (connectTo != nullptr) curl_easy_setopt(handle, CURLOPT_CONNECT_TO, connectTo);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBytes);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
  return curl_easy_perform(handle);
}

std::unique_ptr<curl_slist, ListDeleter> connectToList(const Options& options) {
  curl_slist* list = nullptr;
  for (const std::string& entry : options.connectTo) list = curl_slist_append(list, entry.c_str());
  return std::unique_ptr<curl_slist, ListDeleter>(list);
}

std::optional<std::string> part(CURLU* url, CURLUPart which) {
  char* text = nullptr;
  if (curl_url_get(url, which, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string value(text);
  curl_free(text);
  return value;
}

// Host names compare without regard to case.
std::optional<std::string> lowerHost(CURLU* url) {
  std::optional<std::string> host = part(url, CURLUPART_HOST);
  if (host) {
    for (char& c : *host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return host;
}

Url parse(const std::string& text) {
  Url url(curl_url());
  if (url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) url.reset();
  return url;
}

}  // namespace

Result<Reply> fetch(const std::string& url, size_t maxBody, const Options& options,
                    const std::atomic<bool>* cancelled) {
  initCurlOnce();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return curlError(CURLE_FAILED_INIT, {});
  Reply reply;
  Transfer transfer{
      .handle = easy.get(), .cancelled = cancelled, .limit = maxBody, .body = &reply.body};
  auto connectTo = connectToList(options);
  char errorBuffer[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(options.queryTimeout.count()));
  CURLcode code = perform(easy.get(), url, transfer, options, connectTo.get(), errorBuffer);
  if (transfer.refusedStatus != 0) return Reply{transfer.refusedStatus, {}, false};
  if (transfer.overLimit) return Reply{200, {}, true};
  if (code != CURLE_OK) return curlError(code, errorBuffer);
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &reply.status);
  if (reply.status != 200) reply.body.clear();
  return reply;
}

Result<long> download(const std::string& url, const std::filesystem::path& file, uint64_t limit,
                      const Options& options, const std::atomic<bool>* cancelled) {
  initCurlOnce();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return curlError(CURLE_FAILED_INIT, {});
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fileError(errno, FileOperation::write, file.string());
  Transfer transfer{.handle = easy.get(), .cancelled = cancelled, .limit = limit, .fd = fd};
  auto connectTo = connectToList(options);
  char errorBuffer[CURL_ERROR_SIZE] = {};
  long idleMs = static_cast<long>(options.idleTimeout.count());
  curl_easy_setopt(easy.get(), CURLOPT_CONNECTTIMEOUT_MS, idleMs);
  curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_TIME, std::max(1L, idleMs / 1000));
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS,
                   static_cast<long>(options.downloadDeadline.count()));
  CURLcode code = perform(easy.get(), url, transfer, options, connectTo.get(), errorBuffer);

  Result<long> result = 0L;
  long status = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  if (transfer.refusedStatus != 0) {
    result = transfer.refusedStatus;
  } else if (transfer.overLimit) {
    result = cancellationError();
  } else if (transfer.writeErrno != 0) {
    result = fileError(transfer.writeErrno, FileOperation::write, file.string());
  } else if (code != CURLE_OK) {
    result = curlError(code, errorBuffer);
  } else if (::fsync(fd) != 0) {
    result = fileError(errno, FileOperation::write, file.string());
  } else {
    result = status;
  }
  if (::close(fd) != 0 && result.ok() && errno != EINTR) {
    result = fileError(errno, FileOperation::write, file.string());
  }
  if (!result.ok() || result.value() != 200) ::unlink(file.c_str());
  return result;
}

std::optional<std::string> resolve(const std::string& base, const std::string& reference) {
  Url url = parse(base);
  if (!url) return std::nullopt;
  if (curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  return part(url.get(), CURLUPART_URL);
}

std::optional<std::string> acceptableDownloadUrl(const std::string& text, const std::string& base) {
  Url url = parse(text);
  Url baseUrl = parse(base);
  if (!url || !baseUrl) return std::nullopt;
  if (part(url.get(), CURLUPART_SCHEME) != "https") return std::nullopt;
  if (lowerHost(url.get()) != lowerHost(baseUrl.get())) return std::nullopt;
  std::optional<std::string> port = part(url.get(), CURLUPART_PORT);
  if (port && *port != "443") return std::nullopt;
  if (part(url.get(), CURLUPART_USER) || part(url.get(), CURLUPART_PASSWORD)) return std::nullopt;
  std::optional<std::string> path = part(url.get(), CURLUPART_PATH);
  if (!path || !path->starts_with(UpdateRelease::kPackagesPath)) return std::nullopt;
  // The address is taken in the base's own spelling (the host as the base writes it, no
  // explicit default port), so what is fetched reads exactly as the update server's.
  std::optional<std::string> host = part(baseUrl.get(), CURLUPART_HOST);
  if (!host || curl_url_set(url.get(), CURLUPART_HOST, host->c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PORT, nullptr, 0) != CURLUE_OK) {
    return std::nullopt;
  }
  return part(url.get(), CURLUPART_URL);
}

}  // namespace nimbra::UpdateTransport
