#include "server/post_json.h"

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <curl/curl.h>

#include "core/json_fields.h"
#include "nimbra/build_config.h"
#include "server/curl_error.h"

namespace nimbra::HistoryAPI {
namespace {

std::atomic<size_t> gCallsInFlight{0};

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

// What the write callback learnt while the body streamed in. The body is only kept for a
// 200 answer; any other status, or a body passing the limit, stops the transfer at once so
// an endless or hostile answer costs neither time nor memory.
struct Transfer {
  CURL* handle = nullptr;
  const std::atomic<bool>* cancelled = nullptr;
  std::string body;
  long refusedStatus = 0;
  bool tooLarge = false;
};

size_t onBody(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  size_t bytes = size * count;
  long status = 0;
  curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    transfer->refusedStatus = status;
    return CURL_WRITEFUNC_ERROR;
  }
  if (transfer->body.size() + bytes > kMaxResponseBytes) {
    transfer->tooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  transfer->body.append(data, bytes);
  return bytes;
}

int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(context);
  return transfer->cancelled && transfer->cancelled->load() ? 1 : 0;
}

Error statusError(long status) {
  return clientError(kStatusMessagePrefix + std::to_string(status));
}

}  // namespace

const Endpoint& defaultEndpoint() {
  static const Endpoint endpoint{NIMBRA_API_BASE_URL, kRequestTimeout};
  return endpoint;
}

Error clientError(std::string message) {
  return Error::make(kErrorDomain, kErrorCode, std::move(message));
}

std::string requestUrl(std::string_view baseUrl, std::string_view path) {
  while (!baseUrl.empty() && baseUrl.back() == '/') baseUrl.remove_suffix(1);
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  std::string url(baseUrl);
  url += '/';
  url += path;
  return url;
}

Result<Body> postJSONBlocking(const Endpoint& endpoint, std::string_view path,
                              const nlohmann::ordered_json& body, const Uuid& installationID,
                              const std::atomic<bool>* cancelled) {
  std::string payload;
  try {
    payload = body.dump();
  } catch (const nlohmann::json::exception& e) {
    return jsonEncodingError(e.what());
  }

  initCurlOnce();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return curlError(CURLE_FAILED_INIT, {});
  CURL* handle = easy.get();

  std::string url = requestUrl(endpoint.baseUrl, path);
  std::string idHeader = std::string(kInstallationHeader) + ": " + installationID.text();
  curl_slist* rawHeaders = curl_slist_append(nullptr, "Content-Type: application/json");
  rawHeaders = curl_slist_append(rawHeaders, idHeader.c_str());
  // No "Expect: 100-continue" round trip before larger bodies.
  rawHeaders = curl_slist_append(rawHeaders, "Expect:");
  std::unique_ptr<curl_slist, ListDeleter> headers(rawHeaders);
  if (!headers) return curlError(CURLE_OUT_OF_MEMORY, {});

  Transfer transfer;
  transfer.handle = handle;
  transfer.cancelled = cancelled;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  // A fresh handle has no cookie engine and curl keeps no response cache, so each call is
  // an ephemeral session. Redirects are not followed: the 3xx becomes the final answer.
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(endpoint.timeout.count()));
  curl_easy_setopt(handle, CURLOPT_POST, 1L);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, payload.data());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);

  CURLcode code = curl_easy_perform(handle);

  if (transfer.refusedStatus != 0) return statusError(transfer.refusedStatus);
  if (transfer.tooLarge) return clientError(kTooLargeMessage);
  if (code != CURLE_OK) return curlError(code, errorBuffer);
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return statusError(status);
  return std::move(transfer.body);
}

TaskHandle postJSON(MainQueue& queue, const Endpoint& endpoint, std::string path,
                    nlohmann::ordered_json body, const Uuid& installationID,
                    Completion completion) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  auto report = [&queue, cancelled](Result<Body> result, Completion completion) {
    queue.post(
        [result = std::move(result), completion = std::move(completion), cancelled]() mutable {
          if (!cancelled->load()) completion(std::move(result));
        });
  };
  ++gCallsInFlight;
  try {
    std::thread([endpoint, path, body = std::move(body), installationID, completion, cancelled,
                 report]() mutable {
      report(postJSONBlocking(endpoint, path, body, installationID, cancelled.get()),
             std::move(completion));
      --gCallsInFlight;
    }).detach();
  } catch (const std::system_error& e) {
    --gCallsInFlight;
    report(Error::posix(e.code().value(), "thread"), std::move(completion));
  }
  return TaskHandle(cancelled);
}

size_t callsInFlight() { return gCallsInFlight.load(); }

}  // namespace nimbra::HistoryAPI
