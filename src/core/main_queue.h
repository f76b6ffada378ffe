#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace nimbra {

// A cancellable piece of scheduled work. Copies share one flag; cancelling any copy stops
// the work before its next run. Cancelling from the main thread is immediate: a cancelled
// task never runs afterwards. An empty handle does nothing.
class TaskHandle {
 public:
  TaskHandle() = default;
  explicit TaskHandle(std::shared_ptr<std::atomic<bool>> cancelled)
      : cancelled_(std::move(cancelled)) {}

  void cancel() {
    if (cancelled_) cancelled_->store(true);
  }
  bool isCancelled() const { return !cancelled_ || cancelled_->load(); }
  bool isActive() const { return cancelled_ && !cancelled_->load(); }

 private:
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

// The main thread's queue: where application state lives and every result is applied.
// post() may be called from any thread; everything else runs on the main thread.
// Tasks posted from one thread run in the order they were posted.
class MainQueue {
 public:
  using Task = std::function<void()>;
  using Duration = std::chrono::milliseconds;
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~MainQueue() = default;

  // Any thread.
  virtual void post(Task task) = 0;
  // Runs the task once, no sooner than `delay` from now, unless the handle is cancelled.
  virtual TaskHandle postAfter(Duration delay, Task task) = 0;
  // Runs the task every `interval` until cancelled; `tolerance` lets the queue coalesce
  // wake-ups and may delay a run by up to that much.
  virtual TaskHandle repeat(Duration interval, Duration tolerance, Task task) = 0;
  // The queue's monotonic time; a fake in tests.
  virtual TimePoint now() const = 0;
};

}  // namespace nimbra
