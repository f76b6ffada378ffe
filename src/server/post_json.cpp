#include "server/post_json.h"

#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/json_fields.h"
#include "http/http_client.h"
#include "nimbra/build_config.h"

namespace nimbra::HistoryAPI {
namespace {

std::atomic<size_t> gCallsInFlight{0};

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

  Http::Request request;
  request.url = requestUrl(endpoint.baseUrl, path);
  request.postBody = std::move(payload);
  // No "Expect: 100-continue" round trip before larger bodies.
  request.headers = {"Content-Type: application/json",
                     std::string(kInstallationHeader) + ": " + installationID.text(), "Expect:"};
  request.protocols = "http,https";
  request.deadline = endpoint.timeout;
  request.maxBodyBytes = kMaxResponseBytes;
  request.cancelled = cancelled;
  // An extra trusted CA, for the demo's reference server and the tests; verification stays on.
  if (!endpoint.caFile.empty()) request.caFile = endpoint.caFile;
  Result<Http::Response> response = Http::perform(request);
  if (!response) return response.error();
  if (response->status != 200) return statusError(response->status);
  if (response->overLimit) return clientError(kTooLargeMessage);
  return std::move(response->body);
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
    // The call's state lives in `call` so that all of it is released before the worker
    // stops counting: a test (or a shutdown) that sees no call in flight may end the process.
    auto call = std::make_unique<std::function<void()>>([endpoint, path, body = std::move(body),
                                                         installationID, completion, cancelled,
                                                         report]() mutable {
      report(postJSONBlocking(endpoint, path, body, installationID, cancelled.get()),
             std::move(completion));
    });
    std::thread([call = std::move(call)]() mutable {
      (*call)();
      call.reset();
      Http::releaseThreadState();
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
