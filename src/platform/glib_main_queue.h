#pragma once

#include "core/main_queue.h"

namespace nimbra {

// The application's MainQueue: every task runs on GLib's default main context, the one the
// GTK main loop iterates. post() may be called from any thread (GLib wakes the main loop);
// postAfter, repeat and now are for the main thread, as the interface says, though GLib
// would take them from anywhere too.
//
// Tasks posted from one thread run in posting order: each post attaches one idle source of
// default priority, and GLib dispatches ready sources of equal priority in attachment order.
// A cancelled handle stops the work before its next run; the source then removes itself at
// its next wake-up, so a cancelled one-shot keeps its closure alive until its due time.
//
// The object has no state: sources never refer back to it, so it may be destroyed while
// work is still scheduled (that work still runs).
class GlibMainQueue final : public MainQueue {
 public:
  void post(Task task) override;
  TaskHandle postAfter(Duration delay, Task task) override;
  // With a tolerance of at least a second and a whole number of seconds as interval the
  // timer joins GLib's once-a-second wake-ups (g_timeout_add_seconds), so idle timers do not
  // wake the machine separately; otherwise it is a millisecond timeout.
  TaskHandle repeat(Duration interval, Duration tolerance, Task task) override;
  TimePoint now() const override;
};

}  // namespace nimbra
