#include "core/serial_queue.h"

#include <cstdio>
#include <exception>

#include <pthread.h>

namespace nimbra {

SerialQueue::SerialQueue(std::string name, FailureHandler onFailure)
    : name_(std::move(name)), onFailure_(std::move(onFailure)) {
  thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void SerialQueue::async(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void SerialQueue::run() {
  // Linux limits thread names to 15 characters; a longer name is cut, not refused.
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  for (;;) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    runGuarded(task);
  }
}

void SerialQueue::runGuarded(Task& task) {
  try {
    task();
  } catch (const std::exception& failure) {
    if (onFailure_) onFailure_(name_, failure.what());
  } catch (...) {
    if (onFailure_) onFailure_(name_, "an exception that is not std::exception");
  }
}

void SerialQueue::reportToStandardError(const std::string& name, const std::string& what) {
  std::fprintf(stderr, "nimbra: a task on the queue \"%s\" failed: %s\n", name.c_str(),
               what.c_str());
}

}  // namespace nimbra
