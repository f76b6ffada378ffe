#include "platform/glib_main_queue.h"

#include <thread>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>

namespace nimbra {
namespace {

using std::chrono::milliseconds;

// Runs the default main context until `done` or a generous real-time bound; the tests
// assert order and cancellation, never how long anything took.
class GlibMainQueueTest : public ::testing::Test {
 protected:
  bool iterateUntil(const std::function<bool()>& done) {
    gint64 deadline = g_get_monotonic_time() + 30 * G_USEC_PER_SEC;
    while (!done() && g_get_monotonic_time() < deadline) {
      g_main_context_iteration(g_main_context_default(), FALSE);
      g_usleep(1000);
    }
    return done();
  }

  GlibMainQueue queue_;
};

TEST_F(GlibMainQueueTest, PostsFromOtherThreadsRunOnTheMainContextInPostingOrder) {
  std::vector<int> order;
  std::thread::id ranOn;
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      queue_.post([&, i] {
        order.push_back(i);
        ranOn = std::this_thread::get_id();
      });
    }
  });
  worker.join();
  EXPECT_TRUE(order.empty());  // nothing runs inside post()
  ASSERT_TRUE(iterateUntil([&] { return order.size() == 50; }));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(GlibMainQueueTest, CancelledDelayedTaskNeverRunsAndOthersDo) {
  bool cancelledRan = false, kept = false;
  TaskHandle cancelled = queue_.postAfter(milliseconds(5), [&] { cancelledRan = true; });
  queue_.postAfter(milliseconds(20), [&] { kept = true; });
  cancelled.cancel();
  ASSERT_TRUE(iterateUntil([&] { return kept; }));
  EXPECT_FALSE(cancelledRan);
}

TEST_F(GlibMainQueueTest, RepeatingTaskRunsUntilCancelledFromInsideItself) {
  int runs = 0;
  TaskHandle timer;
  timer = queue_.repeat(milliseconds(2), milliseconds(1), [&] {
    if (++runs == 3) timer.cancel();
  });
  ASSERT_TRUE(iterateUntil([&] { return runs == 3; }));
  // A later wake-up must not run it again.
  bool later = false;
  queue_.postAfter(milliseconds(20), [&] { later = true; });
  ASSERT_TRUE(iterateUntil([&] { return later; }));
  EXPECT_EQ(runs, 3);
  EXPECT_FALSE(timer.isActive());
}

}  // namespace
}  // namespace nimbra
