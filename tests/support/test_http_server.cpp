#include "support/test_http_server.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nimbra::test {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  size_t end = text.find_last_not_of(" \t\r");
  return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

std::string formAnswer(const HttpReply& reply) {
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\n";
  head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  head += "Connection: close\r\n";
  for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
  return head + "\r\n" + reply.body;
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
  auto found = headers.find(lower(name));
  return found == headers.end() ? std::string() : found->second;
}

TestHttpServer::TestHttpServer(Handler handler) : handler_(std::move(handler)) {
  if (pipe(wakePipe_) != 0) throw std::runtime_error("pipe failed");
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listenFd_, 16) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() { stop(); }

std::string TestHttpServer::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<HttpRequest> TestHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool TestHttpServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool TestHttpServer::waitForClosedConnections(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return closedCount_ >= count; });
}

void TestHttpServer::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    // Unblocks connection threads stuck in send() to a client that stopped reading.
    for (int fd : openFds_) shutdown(fd, SHUT_RDWR);
  }
  char byte = 1;
  (void)!write(wakePipe_[1], &byte, 1);
  acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(connectionThreads_);
  }
  for (auto& thread : threads) thread.join();
  close(listenFd_);
  close(wakePipe_[0]);
  close(wakePipe_[1]);
}

void TestHttpServer::acceptLoop() {
  for (;;) {
    if (!waitReadable(listenFd_, -1)) return;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopped_) {
      close(fd);
      return;
    }
    openFds_.insert(fd);
    connectionThreads_.emplace_back([this, fd] { serve(fd); });
  }
}

bool TestHttpServer::waitReadable(int fd, int timeoutMs) const {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
  int ready = poll(fds, 2, timeoutMs);
  if (ready <= 0 || (fds[1].revents & POLLIN)) return false;
  return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::optional<HttpRequest> TestHttpServer::readRequest(int fd) const {
  std::string data;
  char buffer[16384];
  size_t headEnd = std::string::npos;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    if (!waitReadable(fd, -1)) return std::nullopt;
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) return std::nullopt;
    data.append(buffer, static_cast<size_t>(got));
  }
  HttpRequest request;
  std::string head = data.substr(0, headEnd);
  size_t lineEnd = head.find("\r\n");
  std::string requestLine = head.substr(0, lineEnd);
  size_t firstSpace = requestLine.find(' ');
  size_t secondSpace = requestLine.find(' ', firstSpace + 1);
  request.method = requestLine.substr(0, firstSpace);
  request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  while (lineEnd != std::string::npos) {
    size_t next = head.find("\r\n", lineEnd + 2);
    std::string line =
        head.substr(lineEnd + 2, next == std::string::npos ? next : next - lineEnd - 2);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      request.headers[lower(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    lineEnd = next;
  }
  size_t contentLength = 0;
  if (auto length = request.headers.find("content-length"); length != request.headers.end()) {
    contentLength = std::stoul(length->second);
  }
  if (lower(request.header("expect")) == "100-continue") {
    sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
  }
  request.body = data.substr(headEnd + 4);
  while (request.body.size() < contentLength) {
    if (!waitReadable(fd, -1)) return std::nullopt;
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) return std::nullopt;
    request.body.append(buffer, static_cast<size_t>(got));
  }
  return request;
}

void TestHttpServer::sendAll(int fd, const std::string& bytes) const {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client left; nothing more to say
    sent += static_cast<size_t>(n);
  }
}

void TestHttpServer::serve(int fd) {
  std::optional<HttpRequest> request = readRequest(fd);
  if (request) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(*request);
      changed_.notify_all();
    }
    HttpReply reply = handler_(*request);
    if (reply.neverAnswer) {
      // Returns once the client closes (readable with end of file) or the server stops.
      while (waitReadable(fd, -1)) {
        char byte;
        if (recv(fd, &byte, 1, 0) <= 0) break;
      }
    } else if (reply.delay.count() == 0 || quietFor(fd, reply.delay)) {
      sendAll(fd, reply.raw ? *reply.raw : formAnswer(reply));
    }
  }
  finish(fd);
}

bool TestHttpServer::quietFor(int fd, std::chrono::milliseconds delay) const {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
  return poll(fds, 2, static_cast<int>(delay.count())) == 0;
}

void TestHttpServer::finish(int fd) {
  std::lock_guard lock(mutex_);
  // Closed under the lock so stop() never shuts down a number already reused.
  shutdown(fd, SHUT_WR);
  close(fd);
  openFds_.erase(fd);
  ++closedCount_;
  changed_.notify_all();
}

}  // namespace nimbra::test
