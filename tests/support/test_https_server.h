#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace nimbra::test {

// An HTTPS server on 127.0.0.1 and an ephemeral port for the updater's tests, with a
// self-signed certificate made at start for `hostName` (and written as PEM to `caFile()`,
// which the client trusts explicitly; verification is never switched off). Clients reach
// it as "https://<hostName>" through curl's connect-to mapping `connectTo()`. Routes are
// added with the cpp-httplib API through `server()` before the first request; handlers
// run on the server's threads. Stopped and joined on destruction.
class TestHttpsServer {
 public:
  TestHttpsServer(std::string hostName, const std::filesystem::path& folder);
  ~TestHttpsServer();
  TestHttpsServer(const TestHttpsServer&) = delete;
  TestHttpsServer& operator=(const TestHttpsServer&) = delete;

  httplib::Server& server() { return *server_; }
  void start();

  std::string baseUrl() const { return "https://" + hostName_; }
  // "<hostName>:443:127.0.0.1:<port>"
  std::string connectTo() const;
  const std::filesystem::path& caFile() const { return caFile_; }
  int port() const { return port_; }

  // Paths of the requests received so far, in order.
  std::vector<std::string> requestedPaths() const;

 private:
  std::string hostName_;
  std::filesystem::path caFile_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
};

}  // namespace nimbra::test
