#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "core/main_queue.h"

namespace nimbra {

// A deterministic MainQueue for tests. Nothing runs until the test asks: runPending() runs
// what is ready, advance() moves the fake time and fires due timers in time order, and
// runUntil() also waits (in real time) for posts from worker threads.
// post() is thread-safe; every other member is called from the test's thread, which plays
// the main thread.
class ManualMainQueue final : public MainQueue {
 public:
  ManualMainQueue();

  void post(Task task) override;
  TaskHandle postAfter(Duration delay, Task task) override;
  TaskHandle repeat(Duration interval, Duration tolerance, Task task) override;
  TimePoint now() const override;

  // Runs posted tasks and timers due now, including work they post, until none is ready.
  // Returns the number of tasks run.
  size_t runPending();
  // Moves the fake time forward by `by`, running timers in due order at their due times.
  void advance(Duration by);
  // Runs ready work, waiting in real time for posts from other threads, until `done`
  // returns true (checked after each run) or `realTimeout` passes. Returns done().
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
  // Number of timers still scheduled (cancelled ones are dropped lazily, not counted).
  size_t scheduledTimers();

 private:
  struct Timer {
    Duration interval{0};  // zero for one-shot
    std::shared_ptr<std::atomic<bool>> cancelled;
    Task task;
  };
  using TimerKey = std::pair<TimePoint, uint64_t>;

  bool runOne();  // runs one ready task or due timer; false when none is ready

  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Task> ready_;
  std::map<TimerKey, Timer> timers_;
  TimePoint now_;
  uint64_t sequence_ = 0;
};

}  // namespace nimbra
