#include "core/manual_main_queue.h"

namespace nimbra {

ManualMainQueue::ManualMainQueue() : now_(TimePoint{} + std::chrono::hours(1)) {}

void ManualMainQueue::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(task));
  }
  posted_.notify_all();
}

TaskHandle ManualMainQueue::postAfter(Duration delay, Task task) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(mutex_);
  timers_.emplace(TimerKey{now_ + delay, sequence_++}, Timer{Duration{0}, flag, std::move(task)});
  return TaskHandle(flag);
}

TaskHandle ManualMainQueue::repeat(Duration interval, Duration /*tolerance*/, Task task) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(mutex_);
  timers_.emplace(TimerKey{now_ + interval, sequence_++}, Timer{interval, flag, std::move(task)});
  return TaskHandle(flag);
}

MainQueue::TimePoint ManualMainQueue::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

bool ManualMainQueue::runOne() {
  Task task;
  {
    std::unique_lock lock(mutex_);
    if (!ready_.empty()) {
      task = std::move(ready_.front());
      ready_.pop_front();
    } else {
      while (!timers_.empty() && timers_.begin()->first.first <= now_) {
        auto node = timers_.extract(timers_.begin());
        Timer& timer = node.mapped();
        if (timer.cancelled->load()) continue;
        task = timer.task;
        if (timer.interval.count() > 0) {
          node.key() = TimerKey{node.key().first + timer.interval, sequence_++};
          timers_.insert(std::move(node));
        }
        break;
      }
      if (!task) return false;
    }
  }
  task();
  return true;
}

size_t ManualMainQueue::runPending() {
  size_t count = 0;
  while (runOne()) ++count;
  return count;
}

void ManualMainQueue::advance(Duration by) {
  TimePoint target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + by;
  }
  for (;;) {
    runPending();
    std::unique_lock lock(mutex_);
    auto next = timers_.begin();
    while (next != timers_.end() && next->second.cancelled->load()) next = timers_.erase(next);
    if (next == timers_.end() || next->first.first > target) {
      now_ = target;
      break;
    }
    now_ = std::max(now_, next->first.first);
  }
  runPending();
}

bool ManualMainQueue::runUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds realTimeout) {
  auto deadline = std::chrono::steady_clock::now() + realTimeout;
  for (;;) {
    runPending();
    if (done()) return true;
    std::unique_lock lock(mutex_);
    if (!posted_.wait_until(lock, deadline, [this] { return !ready_.empty(); })) {
      lock.unlock();
      runPending();
      return done();
    }
  }
}

size_t ManualMainQueue::scheduledTimers() {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (const auto& [key, timer] : timers_) count += timer.cancelled->load() ? 0 : 1;
  return count;
}

}  // namespace nimbra
