#include "guest_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/diagnostics_report.h"
#include "app/program_facts.h"
#include "core/clock.h"
#include "core/manual_main_queue.h"
#include "device/model.h"
#include "devicelink/backend_registry.h"
#include "devicelink/iq.h"
#include "platform/hidapi_backend.h"
#include "platform/system_facts.h"
#include "telemetry/installation_identity.h"
#include "tools/usb_gadget/gadget_control.h"
#include "tools/usb_gadget/gadget_profile.h"

namespace nimbra::guest {

Result<std::string> gadget(const std::string& command) {
  return nimbra::gadget::sendCommand(nimbra::gadget::kControlSocket, command);
}

void settleUdev() {
  const int status = std::system("udevadm settle --timeout=10");
  if (status != 0) std::fprintf(stderr, "guest: udevadm settle returned %d\n", status);
}

std::optional<std::string> hidrawNodeOf(const std::string& serial) {
  DIR* classDir = ::opendir("/sys/class/hidraw");
  if (classDir == nullptr) return std::nullopt;
  std::optional<std::string> node;
  while (const dirent* entry = ::readdir(classDir)) {
    const std::string name = entry->d_name;
    if (name.rfind("hidraw", 0) != 0) continue;
    std::ifstream uevent("/sys/class/hidraw/" + name + "/device/uevent");
    for (std::string line; std::getline(uevent, line);) {
      if (line == "HID_UNIQ=" + serial) node = "/dev/" + name;
    }
    if (node) break;
  }
  ::closedir(classDir);
  return node;
}

bool waitForHidraw(const std::string& serial, bool present, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto node = hidrawNodeOf(serial);
    if (node.has_value() == present && (!present || ::access(node->c_str(), F_OK) == 0)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

NodeRemovalWatch::NodeRemovalWatch(std::string name) : name_(std::move(name)) {
  inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (inotify_ < 0 || wake_ < 0 || ::inotify_add_watch(inotify_, "/dev", IN_DELETE) < 0) {
    std::perror("guest: inotify on /dev");
    return;
  }
  thread_ = std::thread([this] {
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
    alignas(inotify_event) char buffer[4096];
    while (::poll(fds, 2, -1) >= 0 && fds[1].revents == 0) {
      const auto seen = std::chrono::steady_clock::now();
      const ssize_t got = ::read(inotify_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && name_ == event->name) {
          removedNanos_ =
              std::chrono::duration_cast<std::chrono::nanoseconds>(seen.time_since_epoch()).count();
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });
}

NodeRemovalWatch::~NodeRemovalWatch() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    thread_.join();
  }
  if (inotify_ >= 0) ::close(inotify_);
  if (wake_ >= 0) ::close(wake_);
}

std::optional<SteadyTime> NodeRemovalWatch::removedAt(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (removedNanos_.load() == 0) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return SteadyTime(std::chrono::nanoseconds(removedNanos_.load()));
}

Result<std::vector<UsbDeviceInfo>> TappedPresenceSource::start(MainQueue& queue, Events events) {
  Events tapped{[log = log_, forward = events.arrived](const UsbDeviceInfo& device) {
                  forward(device);
                  log->arrivals.push_back(device);
                },
                [log = log_, forward = events.departed](uint64_t key) {
                  forward(key);
                  log->departures.push_back(key);
                }};
  auto started = inner_->start(queue, std::move(tapped));
  if (started) log_->started = *started;
  return started;
}

std::vector<std::string> describeRows(const std::vector<Reading>& rows) {
  std::vector<std::string> described;
  for (const Reading& row : rows) {
    described.push_back(std::to_string(row.module) + "/" + std::to_string(row.command) + " " +
                        row.name + " = " + row.value + " [" + row.raw + "]" +
                        (row.ok ? " ok" : " failed") +
                        (row.applicationError ? " error " + *row.applicationError : ""));
  }
  return described;
}

Result<std::string> runAsUser(uid_t user, const char* mode,
                              const std::vector<std::string>& environment) {
  std::vector<char*> envp;
  for (const std::string& each : environment) envp.push_back(const_cast<char*>(each.c_str()));
  envp.push_back(nullptr);
  char* const* childEnvironment = environment.empty() ? environ : envp.data();
  char name[] = "kernel_stack_guest";
  char* argv[] = {name, const_cast<char*>(mode), nullptr};
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return Error::posix(errno, "pipe");
  const pid_t child = ::fork();
  if (child < 0) return Error::posix(errno, "fork");
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    if (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0) _exit(126);
    ::execve("/proc/self/exe", argv, childEnvironment);
    _exit(127);
  }
  ::close(pipeFds[1]);
  std::string output;
  char buffer[512];
  for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return Error::make("probe", status, std::string(mode) + " failed: " + output);
  }
  return output;
}

Result<ProbeOutcome> probeAsUser(uid_t user) {
  Result<std::string> report = runAsUser(user, "--probe", {});
  if (!report) return report.error();
  ProbeOutcome outcome;
  std::istringstream lines(*report);
  std::string key;
  lines >> key >> outcome.openStatus >> key >> outcome.goodRows >> key;
  std::getline(lines >> std::ws, outcome.message);
  return outcome;
}

int runDiagnostics() {
  // The installation id as the program makes and keeps it on its first run, so the test can
  // look for it in the report.
  std::printf("installation %s\n", InstallationIdentity::installationID().text().c_str());
  Diagnostics::Facts facts = Diagnostics::programFacts(RunningApp::current(), {"", ""});
  Diagnostics::addSystemFacts(facts, false);
  const std::string report = Diagnostics::buildReport(facts);
  std::fwrite(report.data(), 1, report.size(), stdout);
  return 0;
}

int runProbe() {
  iq_install_backend(std::make_shared<HidapiBackend>());
  (void)iq_scan();
  const int opened = iq_open(nimbra::gadget::kSerial);
  iq_close();

  ManualMainQueue queue;
  SystemClock clock;
  int goodRows = 0;
  std::string message;
  {
    Model model(queue, clock);
    model.refresh(false);
    queue.runUntil([&model] { return !model.busy(); }, std::chrono::seconds(60));
    goodRows = static_cast<int>(std::count_if(model.rows().begin(), model.rows().end(),
                                              [](const Reading& row) { return row.ok; }));
    message = model.message();
  }
  iq_install_backend(nullptr);
  std::printf("open %d rows %d message %s\n", opened, goodRows, message.c_str());
  return 0;
}

}  // namespace nimbra::guest
