#include "http/http_client.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include "http/curl_error.h"

namespace nimbra::Http {
namespace {

// curl_global_init is not thread-safe on every build of libcurl; do it once, first.
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
using List = std::unique_ptr<curl_slist, ListDeleter>;

// What the callbacks of one transfer share.
struct Transfer {
  CURL* handle = nullptr;
  const Request* request = nullptr;
  Response response;
  long refusedStatus = 0;
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

// The callbacks run inside libcurl, which is C: nothing may throw out of them.
size_t onBody(char* data, size_t size, size_t count, void* context) noexcept {
  auto* transfer = static_cast<Transfer*>(context);
  const size_t bytes = size * count;
  long status = 0;
  curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    // Not what was asked for (a redirect included): its body is never read.
    transfer->refusedStatus = status;
    return CURL_WRITEFUNC_ERROR;
  }
  Response& response = transfer->response;
  curl_off_t announced = -1;
  curl_easy_getinfo(transfer->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  const uint64_t limit = transfer->request->maxBodyBytes;
  if ((announced > 0 && static_cast<uint64_t>(announced) > limit) ||
      response.bodyBytes + bytes > limit) {
    response.overLimit = true;
    return CURL_WRITEFUNC_ERROR;
  }
  if (transfer->request->bodyFile >= 0) {
    if (!writeAll(transfer->request->bodyFile, data, bytes, transfer->writeErrno)) {
      return CURL_WRITEFUNC_ERROR;
    }
  } else {
    try {
      response.body.append(data, bytes);
    } catch (...) {
      transfer->writeErrno = ENOMEM;
      return CURL_WRITEFUNC_ERROR;
    }
  }
  response.bodyBytes += bytes;
  return bytes;
}

// Called while the transfer runs: stops it when the caller cancels, or as soon as the size
// a 200 answer announces passes the limit (another status is left to onBody).
int onProgress(void* context, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) noexcept {
  auto* transfer = static_cast<Transfer*>(context);
  const Request& request = *transfer->request;
  if (request.cancelled != nullptr && request.cancelled->load()) return 1;
  long status = 0;
  curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
  if (status == 200 && total > 0 && static_cast<uint64_t>(total) > request.maxBodyBytes) {
    transfer->response.overLimit = true;
    return 1;
  }
  return 0;
}

List listOf(const std::vector<std::string>& items, bool& failed) {
  List list;
  for (const std::string& item : items) {
    curl_slist* longer = curl_slist_append(list.get(), item.c_str());
    if (longer == nullptr) {
      failed = true;
      return list;
    }
    (void)list.release();
    list.reset(longer);
  }
  return list;
}

// Sets every option of the request, stopping at the first that curl refuses.
CURLcode configure(CURL* handle, const Request& request, curl_slist* headers, curl_slist* connectTo,
                   Transfer& transfer, char* errorBuffer) {
  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(handle, option, value);
  };
  set(CURLOPT_ERRORBUFFER, errorBuffer);
  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, request.protocols.c_str());
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (request.caFile) set(CURLOPT_CAINFO, request.caFile->c_str());
  if (connectTo != nullptr) set(CURLOPT_CONNECT_TO, connectTo);
  if (headers != nullptr) set(CURLOPT_HTTPHEADER, headers);
  if (request.postBody) {
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDS, request.postBody->data());
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.postBody->size()));
  }
  if (request.deadline.count() > 0) {
    set(CURLOPT_TIMEOUT_MS, static_cast<long>(request.deadline.count()));
  }
  if (request.idleTimeout.count() > 0) {
    long idleMs = static_cast<long>(request.idleTimeout.count());
    set(CURLOPT_CONNECTTIMEOUT_MS, idleMs);
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, std::max(1L, idleMs / 1000));
  }
  set(CURLOPT_WRITEFUNCTION, onBody);
  set(CURLOPT_WRITEDATA, &transfer);
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, onProgress);
  set(CURLOPT_XFERINFODATA, &transfer);
  return code;
}

}  // namespace

Result<Response> perform(const Request& request) {
  initCurlOnce();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return curlError(CURLE_FAILED_INIT, {});
  bool listFailed = false;
  List headers = listOf(request.headers, listFailed);
  List connectTo = listOf(request.connectTo, listFailed);
  if (listFailed) return curlError(CURLE_OUT_OF_MEMORY, {});

  Transfer transfer;
  transfer.handle = easy.get();
  transfer.request = &request;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  if (CURLcode refused =
          configure(easy.get(), request, headers.get(), connectTo.get(), transfer, errorBuffer);
      refused != CURLE_OK) {
    return curlError(refused, "curl_easy_setopt");
  }
  CURLcode code = curl_easy_perform(easy.get());

  if (transfer.refusedStatus != 0) {
    Response refused;
    refused.status = transfer.refusedStatus;
    return refused;
  }
  if (transfer.response.overLimit) {
    transfer.response.status = 200;
    return std::move(transfer.response);
  }
  if (transfer.writeErrno != 0) return Error::posix(transfer.writeErrno, "response body");
  if (code != CURLE_OK) return curlError(code, errorBuffer);
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &transfer.response.status);
  if (transfer.response.status != 200) {
    transfer.response.body.clear();
    transfer.response.bodyBytes = 0;
  }
  return std::move(transfer.response);
}

void releaseThreadState() { OPENSSL_thread_stop(); }

}  // namespace nimbra::Http
