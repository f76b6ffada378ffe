#include "reference-server/reference_server.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

#include <httplib.h>

#include "core/dates.h"
#include "core/file_system.h"
#include "reference-server/answers.h"
#include "reference-server/release_offer.h"
#include "reference-server/request_checks.h"
#include "reference-server/tls_identity.h"

namespace nimbra::refserver {

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

constexpr char kHost[] = "127.0.0.1";
constexpr char kJson[] = "application/json";
constexpr char kLatestPath[] = "v1/app/updates/latest";

// One byte more than nimbra takes from each kind of answer.
constexpr size_t kApiReplyLimit = 24576;
constexpr size_t kReleaseReplyLimit = 16384;
constexpr size_t kPackageLimit = 26214400;

Error serverError(std::string message) {
  return Error::make("ReferenceServer", 1, std::move(message));
}

std::string withoutLeadingSlash(const std::string& path) {
  size_t first = path.find_first_not_of('/');
  return first == std::string::npos ? std::string() : path.substr(first);
}

std::optional<std::string> header(const httplib::Request& request, const char* name) {
  if (!request.has_header(name)) return std::nullopt;
  return request.get_header_value(name);
}

void answerJson(httplib::Response& response, int status, const ordered_json& body) {
  response.status = status;
  response.set_content(body.dump(), kJson);
}

void refuse(httplib::Response& response, ordered_json& entry, int status, std::string problem) {
  entry["problem"] = problem;
  answerJson(response, status, ordered_json{{"error", std::move(problem)}});
}

// A valid JSON object of exactly `size` bytes.
std::string paddedJson(size_t size) {
  std::string body = R"({"schemaVersion":1,"padding":")";
  const std::string tail = "\"}";
  if (size > body.size() + tail.size()) body.append(size - body.size() - tail.size(), 'x');
  return body + tail;
}

size_t oversizeFor(const std::string& path) {
  if (path == kLatestPath) return kReleaseReplyLimit + 1;
  if (path.rfind(withoutLeadingSlash(kPackagesPath), 0) == 0) return kPackageLimit + 1;
  return kApiReplyLimit + 1;
}

// What the log keeps of every request, before it is judged.
ordered_json describe(const httplib::Request& request, const std::string& path) {
  ordered_json entry = ordered_json::object();
  entry["time"] = iso8601(std::chrono::system_clock::now());
  entry["method"] = request.method;
  entry["path"] = path;
  if (!request.params.empty()) {
    ordered_json query = ordered_json::object();
    for (const auto& [key, value] : request.params) query[key] = value;
    entry["query"] = std::move(query);
  }
  if (auto id = header(request, kInstallationHeader)) entry["installationId"] = *id;
  if (auto type = header(request, "Content-Type")) entry["contentType"] = *type;
  entry["bodyBytes"] = request.body.size();
  return entry;
}

enum class Api { analyze, battery, telemetry };

struct ApiRules {
  size_t maxBytes;
  Problem (*check)(const json& body, std::string_view installation);
};

Problem checkAnalyze(const json& body, std::string_view) { return checkAnalysisRequest(body); }
Problem checkBattery(const json& body, std::string_view) { return checkBatteryRequest(body); }

ApiRules rulesFor(Api api) {
  switch (api) {
    case Api::analyze:
      return {kMaxAnalysisRequestBytes, checkAnalyze};
    case Api::battery:
      return {kMaxBatteryRequestBytes, checkBattery};
    case Api::telemetry:
      return {kMaxTelemetryRequestBytes, checkTelemetryUpload};
  }
  return {0, nullptr};
}

}  // namespace

struct ReferenceServer::State {
  ReferenceServerOptions options;
  TlsIdentity identity;
  std::unique_ptr<httplib::SSLServer> http;
  std::thread listener;
  uint16_t port = 0;
  Date reference;
  RequestLog log;
  FaultPlan faults;

  mutable std::mutex mutex;
  std::condition_variable stopping;
  bool stopped = false;                 // guarded by mutex
  std::optional<ReleaseOffer> release;  // guarded by mutex
  json telemetry = json::array();       // guarded by mutex

  std::string baseUrl() const {
    return "https://" + std::string(kHost) + ":" + std::to_string(port);
  }

  // Waits out a delay; cut short by stop(). False when the server stopped meanwhile.
  bool sleep(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex);
    return !stopping.wait_for(lock, delay, [this] { return stopped; });
  }

  // Applies the fault planned for `path`, if any. True when it answered the request.
  bool misbehave(const std::string& path, const httplib::Request& request,
                 httplib::Response& response, ordered_json& entry) {
    std::optional<Fault> fault = faults.take(path);
    if (!fault) return false;
    entry["fault"] = faultKindName(fault->kind);
    switch (fault->kind) {
      case FaultKind::delay:
        entry["delayMs"] = fault->delay.count();
        if (!sleep(fault->delay)) {
          response.status = 503;
          return true;
        }
        return false;
      case FaultKind::status500:
        answerJson(response, 500, ordered_json{{"error", "internal server error"}});
        return true;
      case FaultKind::oversize:
        response.status = 200;
        response.set_content(paddedJson(oversizeFor(path)), kJson);
        return true;
      case FaultKind::malformed:
        response.status = 200;
        response.set_content(R"({"schemaVersion":1,"observations":[{"position":)", kJson);
        return true;
      case FaultKind::redirect: {
        std::string target = baseUrl() + request.path;
        if (!request.params.empty()) {
          target += '?';
          for (const auto& [key, value] : request.params) target += key + "=" + value + "&";
          target.pop_back();
        }
        response.set_redirect(target, 302);
        return true;
      }
    }
    return false;
  }

  void serveApi(Api api, const httplib::Request& request, httplib::Response& response) {
    const std::string path = withoutLeadingSlash(request.path);
    ordered_json entry = describe(request, path);
    handleApi(api, path, request, response, entry);
    entry["status"] = response.status;
    log.append(std::move(entry));
  }

  void handleApi(Api api, const std::string& path, const httplib::Request& request,
                 httplib::Response& response, ordered_json& entry) {
    const ApiRules rules = rulesFor(api);
    const std::optional<std::string> installation = header(request, kInstallationHeader);
    if (Problem problem = checkInstallationHeader(installation)) {
      return refuse(response, entry, 400, *problem);
    }
    if (Problem problem = checkContentType(header(request, "Content-Type"))) {
      return refuse(response, entry, 415, *problem);
    }
    if (request.body.size() > rules.maxBytes) {
      return refuse(response, entry, 413, "the body is larger than this path accepts");
    }
    json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) return refuse(response, entry, 400, "the body is not JSON");
    entry["body"] = body;
    if (Problem problem = rules.check(body, *installation)) {
      return refuse(response, entry, 400, *problem);
    }
    if (misbehave(path, request, response, entry)) return;
    switch (api) {
      case Api::analyze:
        return answerJson(response, 200, analysisReply(body, reference));
      case Api::battery:
        return answerJson(response, 200, batteryReply(body));
      case Api::telemetry: {
        std::lock_guard lock(mutex);
        for (const json& event : body) telemetry.push_back(event);
        return answerJson(response, 200, ordered_json{{"accepted", body.size()}});
      }
    }
  }

  void serveLatest(const httplib::Request& request, httplib::Response& response) {
    const std::string path = withoutLeadingSlash(request.path);
    ordered_json entry = describe(request, path);
    if (Problem problem = checkReleaseQuery(request)) {
      refuse(response, entry, 400, *problem);
    } else if (!misbehave(path, request, response, entry)) {
      std::lock_guard lock(mutex);
      if (release) {
        response.status = 200;
        response.set_content(release->document, kJson);
      } else {
        response.status = 204;
      }
    }
    entry["status"] = response.status;
    log.append(std::move(entry));
  }

  // The Linux release query: exactly these parameters with these values.
  static Problem checkReleaseQuery(const httplib::Request& request) {
    const std::map<std::string, std::vector<std::string>> expected{{"platform", {"linux"}},
                                                                   {"protocol", {"2"}},
                                                                   {"bundle", {"nimbra"}},
                                                                   {"format", {"zip"}},
                                                                   {"arch", {"x86_64", "aarch64"}}};
    for (const auto& [key, values] : expected) {
      if (request.get_param_value_count(key.c_str()) != 1) {
        return "the query needs exactly one \"" + key + "\"";
      }
      const std::string value = request.get_param_value(key.c_str());
      if (std::find(values.begin(), values.end(), value) == values.end()) {
        return "the query's \"" + key + "\" is \"" + value + "\"";
      }
    }
    for (const auto& [key, value] : request.params) {
      if (!expected.contains(key)) return "the query has the unexpected \"" + key + "\"";
    }
    return std::nullopt;
  }

  void servePackage(const httplib::Request& request, httplib::Response& response) {
    const std::string path = withoutLeadingSlash(request.path);
    ordered_json entry = describe(request, path);
    if (!misbehave(path, request, response, entry)) {
      std::lock_guard lock(mutex);
      if (release && !release->packageName.empty() && request.matches[1] == release->packageName) {
        response.status = 200;
        response.set_content(release->package, "application/zip");
      } else {
        refuse(response, entry, 404, "no such package");
      }
    }
    entry["status"] = response.status;
    log.append(std::move(entry));
  }

  void serveUnknown(const httplib::Request& request, httplib::Response& response) {
    ordered_json entry = describe(request, withoutLeadingSlash(request.path));
    refuse(response, entry, 404, "unknown path");
    entry["status"] = response.status;
    log.append(std::move(entry));
  }

  Status setRelease(std::optional<ReleaseFiles> files) {
    std::optional<ReleaseOffer> offer;
    if (files) {
      const std::string& publicUrl = options.publicBaseUrl;
      Result<ReleaseOffer> loaded = loadReleaseOffer(files->releaseJson, files->package,
                                                     publicUrl.empty() ? baseUrl() : publicUrl);
      if (!loaded) return loaded.error();
      offer = std::move(loaded).value();
    }
    std::lock_guard lock(mutex);
    release = std::move(offer);
    return {};
  }

  void routeControl() {
    http->Post("/control/fault",
               [this](const httplib::Request& request, httplib::Response& response) {
                 json body = json::parse(request.body, nullptr, false);
                 Result<Fault> fault = faultFromJson(body);
                 if (!fault)
                   return answerJson(response, 400, ordered_json{{"error", fault.error().message}});
                 faults.add(*fault);
                 answerJson(response, 200, ordered_json::object());
               });
    http->Post("/control/clear-faults",
               [this](const httplib::Request&, httplib::Response& response) {
                 faults.clear();
                 answerJson(response, 200, ordered_json::object());
               });
    http->Post(
        "/control/release", [this](const httplib::Request& request, httplib::Response& response) {
          json body = json::parse(request.body, nullptr, false);
          std::optional<ReleaseFiles> files;
          if (body.is_object() && body.contains("releaseJson") && body["releaseJson"].is_string()) {
            files = ReleaseFiles{body["releaseJson"].get<std::string>(),
                                 body.value("package", std::string())};
          }
          Status set = setRelease(files);
          if (!set) return answerJson(response, 400, ordered_json{{"error", set.error().message}});
          answerJson(response, 200, ordered_json::object());
        });
    http->Get("/control/telemetry", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard lock(mutex);
      response.set_content(telemetry.dump(), kJson);
    });
    http->Get("/control/log", [this](const httplib::Request&, httplib::Response& response) {
      ordered_json all = ordered_json::array();
      for (auto& entry : log.entries()) all.push_back(std::move(entry));
      response.set_content(all.dump(-1, ' ', false, ordered_json::error_handler_t::replace), kJson);
    });
  }

  void route() {
    using Request = httplib::Request;
    using Response = httplib::Response;
    http->Post("/v1/history/analyze",
               [this](const Request& q, Response& r) { serveApi(Api::analyze, q, r); });
    http->Post("/v1/battery/estimate",
               [this](const Request& q, Response& r) { serveApi(Api::battery, q, r); });
    http->Post("/v1/telemetry",
               [this](const Request& q, Response& r) { serveApi(Api::telemetry, q, r); });
    http->Get("/v1/app/updates/latest",
              [this](const Request& q, Response& r) { serveLatest(q, r); });
    http->Get(R"(/v1/app/updates/packages/([^/]+))",
              [this](const Request& q, Response& r) { servePackage(q, r); });
    routeControl();
    http->Get(".*", [this](const Request& q, Response& r) { serveUnknown(q, r); });
    http->Post(".*", [this](const Request& q, Response& r) { serveUnknown(q, r); });
  }
};

Result<std::unique_ptr<ReferenceServer>> ReferenceServer::start(ReferenceServerOptions options) {
  auto state = std::make_unique<State>();
  state->options = std::move(options);
  state->reference = state->options.reference.value_or(std::chrono::system_clock::now());

  Result<TlsIdentity> identity = makeTlsIdentity();
  if (!identity) return identity.error();
  state->identity = std::move(identity).value();
  if (!state->options.caOut.empty()) {
    const std::string& pem = state->identity.caPem;
    Status written = writeFileAtomically(
        state->options.caOut, std::span(reinterpret_cast<const uint8_t*>(pem.data()), pem.size()));
    if (!written) return written.error();
  }
  if (!state->options.log.empty()) {
    Status opened = state->log.open(state->options.log);
    if (!opened) return opened.error();
  }
  for (const Fault& fault : state->options.faults) state->faults.add(fault);

  X509* certificate = state->identity.serverCertificate.get();
  EVP_PKEY* key = state->identity.serverKey.get();
  state->http = std::make_unique<httplib::SSLServer>([certificate, key](SSL_CTX& context) {
    return SSL_CTX_use_certificate(&context, certificate) == 1 &&
           SSL_CTX_use_PrivateKey(&context, key) == 1 && SSL_CTX_check_private_key(&context) == 1;
  });
  if (!state->http->is_valid()) return serverError("the TLS context could not be set up");
  state->http->set_payload_max_length(kMaxAnalysisRequestBytes);
  state->route();

  if (state->options.port == 0) {
    int port = state->http->bind_to_any_port(kHost);
    if (port <= 0) return serverError("no port could be bound on 127.0.0.1");
    state->port = static_cast<uint16_t>(port);
  } else {
    if (!state->http->bind_to_port(kHost, state->options.port)) {
      return serverError("port " + std::to_string(state->options.port) + " could not be bound");
    }
    state->port = state->options.port;
  }
  if (state->options.release) {
    Status set = state->setRelease(state->options.release);
    if (!set) return set.error();
  }
  // The socket already listens: a client connecting before this thread runs waits in the
  // backlog, so the port may be published at once.
  httplib::SSLServer* http = state->http.get();
  state->listener = std::thread([http] { http->listen_after_bind(); });
  // stop() only ends a loop that runs, so make sure it does before anyone may call stop().
  while (!http->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return std::unique_ptr<ReferenceServer>(new ReferenceServer(std::move(state)));
}

ReferenceServer::ReferenceServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

ReferenceServer::~ReferenceServer() { stop(); }

uint16_t ReferenceServer::port() const { return state_->port; }
std::string ReferenceServer::baseUrl() const { return state_->baseUrl(); }
const std::string& ReferenceServer::caPem() const { return state_->identity.caPem; }

void ReferenceServer::stop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
  }
  state_->stopping.notify_all();
  state_->http->stop();
  if (state_->listener.joinable()) state_->listener.join();
}

FaultPlan& ReferenceServer::faults() { return state_->faults; }

Status ReferenceServer::setRelease(std::optional<ReleaseFiles> release) {
  return state_->setRelease(std::move(release));
}

std::vector<ordered_json> ReferenceServer::log() const { return state_->log.entries(); }

json ReferenceServer::telemetryEvents() const {
  std::lock_guard lock(state_->mutex);
  return state_->telemetry;
}

}  // namespace nimbra::refserver
