// nimbra-reference-server: plays nimbra's analysis, battery, telemetry and update servers
// over HTTPS on 127.0.0.1 for the demo and the end-to-end tests. See reference_server.h for
// the paths; `--help` for the switches. Runs until SIGINT, SIGTERM or SIGHUP (or, with
// --exit-with-parent, until the process that started it ends).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "core/file_system.h"
#include "reference-server/reference_server.h"

namespace {

using nimbra::refserver::ReferenceServerOptions;

constexpr char kUsage[] =
    "usage: nimbra-reference-server [options]\n"
    "  --port N             listen on 127.0.0.1:N (default: an ephemeral port)\n"
    "  --port-file FILE     write the port there once listening\n"
    "  --ca-out FILE        write the generated CA certificate (PEM) there\n"
    "  --log FILE           append one JSON line per request\n"
    "  --release-json FILE  offer this release document (default: answer 204)\n"
    "  --package FILE       serve this package under /v1/app/updates/packages/\n"
    "  --public-url URL     base of the download address filled into the release\n"
    "                       (default: the server's own base URL)\n"
    "  --fault FAULT        misbehave: KIND[=MS][:PATH[:COUNT]], KIND one of delay,\n"
    "                       status500, oversize, malformed, redirect (repeatable)\n"
    "  --exit-with-parent   stop when the starting process ends\n"
    "The base URL is printed on the first line of standard output.\n";

struct Arguments {
  ReferenceServerOptions options;
  std::string portFile;
  std::string releaseJson;
  std::string package;
  bool exitWithParent = false;
};

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "nimbra-reference-server: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

Arguments parse(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError(std::string(flag) + " needs a value");
      return argv[++i];
    };
    if (flag == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (flag == "--port") {
      const std::string text = value();
      char* end = nullptr;
      const long port = std::strtol(text.c_str(), &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) usageError("bad port " + text);
      arguments.options.port = static_cast<uint16_t>(port);
    } else if (flag == "--port-file") {
      arguments.portFile = value();
    } else if (flag == "--ca-out") {
      arguments.options.caOut = value();
    } else if (flag == "--log") {
      arguments.options.log = value();
    } else if (flag == "--release-json") {
      arguments.releaseJson = value();
    } else if (flag == "--package") {
      arguments.package = value();
    } else if (flag == "--public-url") {
      arguments.options.publicBaseUrl = value();
      while (arguments.options.publicBaseUrl.ends_with('/'))
        arguments.options.publicBaseUrl.pop_back();
    } else if (flag == "--fault") {
      auto fault = nimbra::refserver::parseFaultText(value());
      if (!fault) usageError(fault.error().message);
      arguments.options.faults.push_back(*fault);
    } else if (flag == "--exit-with-parent") {
      arguments.exitWithParent = true;
    } else {
      usageError("unknown option " + std::string(flag));
    }
  }
  if (!arguments.package.empty() && arguments.releaseJson.empty()) {
    usageError("--package needs --release-json");
  }
  if (!arguments.releaseJson.empty()) {
    arguments.options.release =
        nimbra::refserver::ReleaseFiles{arguments.releaseJson, arguments.package};
  }
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments = parse(argc, argv);

  // The server's threads inherit this mask, so the signals reach only the sigwait below.
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  if (arguments.exitWithParent) {
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0;  // the parent ended before the request took hold
  }

  auto server = nimbra::refserver::ReferenceServer::start(std::move(arguments.options));
  if (!server) {
    std::fprintf(stderr, "nimbra-reference-server: %s\n", server.error().message.c_str());
    return 1;
  }
  if (!arguments.portFile.empty()) {
    const std::string port = std::to_string((*server)->port()) + "\n";
    auto written = nimbra::writeFileAtomically(
        arguments.portFile, std::span(reinterpret_cast<const uint8_t*>(port.data()), port.size()));
    if (!written) {
      std::fprintf(stderr, "nimbra-reference-server: %s\n", written.error().message.c_str());
      return 1;
    }
  }
  std::printf("%s\n", (*server)->baseUrl().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  (*server)->stop();
  return 0;
}
