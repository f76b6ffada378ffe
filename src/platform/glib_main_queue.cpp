#include "platform/glib_main_queue.h"

#include <algorithm>

#include <glib.h>

namespace nimbra {
namespace {

struct Scheduled {
  MainQueue::Task task;
  std::shared_ptr<std::atomic<bool>> cancelled;
};

gboolean runOnce(gpointer data) {
  auto* scheduled = static_cast<Scheduled*>(data);
  if (!scheduled->cancelled || !scheduled->cancelled->load()) scheduled->task();
  return G_SOURCE_REMOVE;
}

gboolean runRepeating(gpointer data) {
  auto* scheduled = static_cast<Scheduled*>(data);
  if (scheduled->cancelled->load()) return G_SOURCE_REMOVE;
  scheduled->task();
  return scheduled->cancelled->load() ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void destroyScheduled(gpointer data) { delete static_cast<Scheduled*>(data); }

void attach(GSource* source, GSourceFunc run, Scheduled* scheduled) {
  g_source_set_callback(source, run, scheduled, destroyScheduled);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

guint clampedMilliseconds(MainQueue::Duration duration) {
  if (duration.count() <= 0) return 0;
  if (duration.count() > G_MAXUINT) return G_MAXUINT;
  return static_cast<guint>(duration.count());
}

}  // namespace

void GlibMainQueue::post(Task task) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  attach(source, runOnce, new Scheduled{std::move(task), nullptr});
}

TaskHandle GlibMainQueue::postAfter(Duration delay, Task task) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  attach(g_timeout_source_new(clampedMilliseconds(delay)), runOnce,
         new Scheduled{std::move(task), cancelled});
  return TaskHandle(cancelled);
}

TaskHandle GlibMainQueue::repeat(Duration interval, Duration tolerance, Task task) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  constexpr Duration kSecond{1000};
  bool coarse = tolerance >= kSecond && interval >= kSecond && interval.count() % 1000 == 0;
  GSource* source = coarse ? g_timeout_source_new_seconds(clampedMilliseconds(interval) / 1000)
                           : g_timeout_source_new(std::max(1u, clampedMilliseconds(interval)));
  attach(source, runRepeating, new Scheduled{std::move(task), cancelled});
  return TaskHandle(cancelled);
}

MainQueue::TimePoint GlibMainQueue::now() const { return std::chrono::steady_clock::now(); }

}  // namespace nimbra
