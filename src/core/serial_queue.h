#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace nimbra {

// One named worker thread that runs tasks one at a time, in submission order. The device
// link needs every call of one connection on one thread, which this guarantees.
// async() may be called from any thread. Destruction runs the tasks already queued, then
// joins the thread; it must not be called from a task of this queue.
//
// A task that throws does not end the program: the queue catches the exception, passes the
// queue's name and the exception's text to the failure handler (on the worker thread) and
// goes on with the next task. The default handler writes one line to standard error.
class SerialQueue {
 public:
  using Task = std::function<void()>;
  using FailureHandler = std::function<void(const std::string& name, const std::string& what)>;

  explicit SerialQueue(std::string name, FailureHandler onFailure = reportToStandardError);
  static void reportToStandardError(const std::string& name, const std::string& what);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(Task task);
  // True when called from this queue's worker thread.
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
  std::thread::id threadId() const { return thread_.get_id(); }
  const std::string& name() const { return name_; }

 private:
  void run();
  void runGuarded(Task& task);

  std::string name_;
  FailureHandler onFailure_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace nimbra
