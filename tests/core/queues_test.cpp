#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/manual_main_queue.h"
#include "core/serial_queue.h"

namespace nimbra {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(ManualMainQueue, RunsPostedTasksInOrderOnlyWhenAsked) {
  ManualMainQueue queue;
  std::vector<int> order;
  queue.post([&] { order.push_back(1); });
  queue.post([&] {
    order.push_back(2);
    queue.post([&] { order.push_back(3); });
  });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(queue.runPending(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ManualMainQueue, DelayedTaskFiresAtItsTimeAndNotAfterCancel) {
  ManualMainQueue queue;
  int fired = 0, cancelledFired = 0;
  queue.postAfter(seconds(3), [&] { ++fired; });
  TaskHandle cancelled = queue.postAfter(seconds(3), [&] { ++cancelledFired; });
  cancelled.cancel();
  queue.advance(milliseconds(2999));
  EXPECT_EQ(fired, 0);
  queue.advance(milliseconds(1));
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(cancelledFired, 0);
  queue.advance(seconds(10));
  EXPECT_EQ(fired, 1);
}

TEST(ManualMainQueue, RepeatingTimerSeesFakeTimeAndStopsWhenCancelled) {
  ManualMainQueue queue;
  auto start = queue.now();
  std::vector<milliseconds> firedAt;
  TaskHandle timer = queue.repeat(milliseconds(500), milliseconds(50), [&] {
    firedAt.push_back(std::chrono::duration_cast<milliseconds>(queue.now() - start));
  });
  queue.advance(milliseconds(1600));
  EXPECT_EQ(firedAt,
            (std::vector<milliseconds>{milliseconds(500), milliseconds(1000), milliseconds(1500)}));
  timer.cancel();
  queue.advance(seconds(5));
  EXPECT_EQ(firedAt.size(), 3u);
  EXPECT_EQ(queue.scheduledTimers(), 0u);
}

TEST(ManualMainQueue, TimersFireInDueOrderAcrossOneAdvance) {
  ManualMainQueue queue;
  std::vector<char> order;
  queue.postAfter(seconds(5), [&] { order.push_back('b'); });
  queue.postAfter(seconds(1), [&] {
    order.push_back('a');
    queue.postAfter(seconds(1), [&] { order.push_back('x'); });
  });
  queue.advance(seconds(6));
  EXPECT_EQ(order, (std::vector<char>{'a', 'x', 'b'}));
}

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrderOnItsNamedThread) {
  ManualMainQueue main;
  std::vector<int> order;
  std::atomic<int> running{0};
  bool overlapped = false;
  char name[16] = {};
  {
    SerialQueue queue("iqos-device-usb");
    for (int i = 0; i < 50; ++i) {
      queue.async([&, i] {
        if (running.fetch_add(1) != 0) overlapped = true;
        order.push_back(i);
        running.fetch_sub(1);
      });
    }
    queue.async([&] { pthread_getname_np(pthread_self(), name, sizeof name); });
    queue.async([&] { main.post([] {}); });
    ASSERT_TRUE(main.runUntil([&] { return order.size() == 50; }));
  }
  EXPECT_FALSE(overlapped);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_STREQ(name, "iqos-device-usb");
}

TEST(SerialQueue, DestructionFinishesQueuedWork) {
  std::atomic<int> done{0};
  {
    SerialQueue queue("drain");
    for (int i = 0; i < 10; ++i) queue.async([&] { done.fetch_add(1); });
  }
  EXPECT_EQ(done.load(), 10);
}

// A task that throws used to end the program through std::terminate; the failure now goes to
// the queue's handler and the tasks after it still run.
TEST(SerialQueue, TaskThatThrowsIsReportedAndTheQueueGoesOn) {
  std::vector<std::string> failures;
  std::atomic<int> after{0};
  {
    SerialQueue queue("throws", [&](const std::string& name, const std::string& what) {
      failures.push_back(name + ": " + what);
    });
    queue.async([] { throw std::runtime_error("out of entries"); });
    queue.async([] { throw 7; });
    queue.async([&] { after.fetch_add(1); });
  }
  EXPECT_EQ(failures,
            (std::vector<std::string>{"throws: out of entries",
                                      "throws: an exception that is not std::exception"}));
  EXPECT_EQ(after.load(), 1);
}

}  // namespace
}  // namespace nimbra
