#include "platform/gtk/demo_ticker.h"

#include <algorithm>
#include <chrono>

#include <gio/gio.h>

namespace nimbra {
namespace {

// Without a file monitor: often enough that a control command shows within a second.
constexpr std::chrono::milliseconds kControlPoll{250};
constexpr std::chrono::milliseconds kControlPollTolerance{50};
// A whole-second step is due at its second: a timer a little late is no harm, one early
// would only find nothing to do and wait again.
constexpr std::chrono::milliseconds kStepLateness{5};

}  // namespace

struct DemoTicker::Handlers {
  static void controlChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event,
                             gpointer data) {
    // A command is renamed into place (created) or written there (changes done).
    if (event == G_FILE_MONITOR_EVENT_CREATED || event == G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT ||
        event == G_FILE_MONITOR_EVENT_MOVED_IN || event == G_FILE_MONITOR_EVENT_RENAMED) {
      static_cast<DemoTicker*>(data)->tick();
    }
  }
};

DemoTicker::DemoTicker(std::shared_ptr<sim::DemoDevice> device, MainQueue& queue,
                       const Clock& clock, const std::optional<std::filesystem::path>& controlFile)
    : device_(std::move(device)), queue_(queue), clock_(clock) {
  if (controlFile) {
    GFile* file = g_file_new_for_path(controlFile->c_str());
    monitor_ = g_file_monitor_file(file, G_FILE_MONITOR_NONE, nullptr, nullptr);
    g_object_unref(file);
    if (monitor_ != nullptr) {
      g_signal_connect(monitor_, "changed", G_CALLBACK(Handlers::controlChanged), this);
    } else {
      poll_ = queue_.repeat(kControlPoll, kControlPollTolerance, [this] { tick(); });
    }
  }
  tick();  // a command already waiting, and the first change to wait for
}

DemoTicker::~DemoTicker() {
  next_.cancel();
  poll_.cancel();
  if (monitor_ != nullptr) {
    g_signal_handlers_disconnect_by_data(monitor_, this);
    g_file_monitor_cancel(monitor_);
    g_object_unref(monitor_);
  }
}

void DemoTicker::tick() {
  const Date now = clock_.now();
  device_->tick(now);
  next_.cancel();
  std::optional<Date> due = device_->nextChangeAt();
  if (!due) return;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now) + kStepLateness;
  next_ = queue_.postAfter(std::max(wait, std::chrono::milliseconds(0)), [this] { tick(); });
}

}  // namespace nimbra
