#include "gadget_control.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace nimbra::gadget {
namespace {

Result<sockaddr_un> addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return Error::posix(ENAMETOOLONG, path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// Reads up to the first line feed; the line without it.
bool readLine(int fd, std::string& line) {
  char byte = 0;
  while (line.size() < 4096) {
    const ssize_t got = ::read(fd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (byte == '\n') return true;
    line.push_back(byte);
  }
  return false;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

Result<int> listenForCommands(const std::string& path) {
  auto address = addressOf(path);
  if (!address) return address.error();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Error::posix(errno, "socket");
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
      ::listen(fd, 8) != 0) {
    const int error = errno;
    ::close(fd);
    return Error::posix(error, "listen " + path);
  }
  return fd;
}

void serveOneCommand(int listener, const std::function<std::string(const std::string&)>& handle) {
  const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return;
  const timeval second{1, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
  std::string line;
  if (readLine(connection, line)) (void)writeAll(connection, handle(line) + "\n");
  ::close(connection);
}

Result<std::string> sendCommand(const std::string& path, const std::string& command) {
  auto address = addressOf(path);
  if (!address) return address.error();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Error::posix(errno, "socket");
  std::string answer;
  const bool exchanged =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0 &&
      writeAll(fd, command + "\n") && readLine(fd, answer);
  const int error = errno;
  ::close(fd);
  if (!exchanged) return Error::posix(error != 0 ? error : EIO, "gadget control " + path);
  if (answer.rfind("ok", 0) != 0) return Error::make("gadget", 1, command + ": " + answer);
  return answer;
}

}  // namespace nimbra::gadget
