#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace nimbra::test {

struct HttpRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  // Value of a header, looked up by its name in any case; empty when absent.
  std::string header(const std::string& name) const;
};

// What the server sends back. By default a well-formed HTTP/1.1 answer with Content-Length
// and "Connection: close"; the other fields make it misbehave.
struct HttpReply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds delay{0};  // wait this long before answering
  bool neverAnswer = false;            // keep the connection open, silent, until the client leaves
  std::optional<std::string> raw;      // sent verbatim instead of a formed answer

  static HttpReply ok(std::string body) { return withStatus(200, std::move(body)); }
  static HttpReply withStatus(int status, std::string body = {}) {
    HttpReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
  }
};

// A small HTTP/1.1 server on 127.0.0.1 and an ephemeral port, one thread per connection,
// one request per connection. The handler runs on a connection thread. Stopping (or
// destroying) closes every connection and joins every thread, so nothing outlives a test.
// Plain POSIX sockets keep it free of link dependencies and let it send broken answers.
class TestHttpServer {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;

  explicit TestHttpServer(Handler handler);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // "http://127.0.0.1:<port>"
  std::string baseUrl() const;
  uint16_t port() const { return port_; }

  std::vector<HttpRequest> requests() const;
  // Waits (real time) until `count` requests have been received.
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits (real time) until `count` connections have ended on the server side.
  bool waitForClosedConnections(size_t count,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void stop();

 private:
  void acceptLoop();
  void serve(int fd);
  // Waits until `fd` can be read, the server stops or `timeout` (negative: forever) passes.
  // True when `fd` is readable.
  bool waitReadable(int fd, int timeoutMs) const;
  // True when `delay` passed with the client silent and the server running.
  bool quietFor(int fd, std::chrono::milliseconds delay) const;
  std::optional<HttpRequest> readRequest(int fd) const;
  void sendAll(int fd, const std::string& bytes) const;
  void finish(int fd);

  Handler handler_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> connectionThreads_;
  std::set<int> openFds_;
  std::vector<HttpRequest> requests_;
  size_t closedCount_ = 0;
  bool stopped_ = false;
};

}  // namespace nimbra::test
