#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/main_queue.h"
#include "core/serial_queue.h"
#include "storage/device_sample.h"
#include "storage/device_store.h"

namespace nimbra {

// Where the sample store's appends run.
//
// At a full day an append rewrites the whole day file: some 5 MB of JSON sealed, written and
// flushed to disk, far longer than a frame of the window. With a thread of its own (the
// program) the writer keeps the store there: appends run one at a time in the order they were
// made, each followed by the recent samples the page shows, and each outcome comes back on the
// main queue in the same order. Without one (tests, benchmarks) an append runs at once and
// hands over its outcome before append() returns. Either way the store does the same work:
// the same files, the same content, a failed append leaving the store's day as it was.
//
// Main thread only. The store's clock must be safe to read from the writer's thread.
// Destruction lets the appends already made finish, then drops their outcomes.
class SampleWriter {
 public:
  static constexpr char kThreadName[] = "nimbra-samples";

  // How the append went, and the store's recent samples (DeviceStore::recent) after it,
  // whether it was stored or not.
  struct Outcome {
    Status appended;
    Result<std::vector<DeviceSample>> recent;
  };
  using Done = std::function<void(Outcome)>;

  SampleWriter(MainQueue& queue, bool ownThread);
  ~SampleWriter();
  SampleWriter(const SampleWriter&) = delete;
  SampleWriter& operator=(const SampleWriter&) = delete;

  // The store to append to, from now on used only by the writer.
  void open(DeviceStore store);
  bool isOpen() const { return open_; }
  // Appends made whose outcome has not been handed over yet.
  size_t pending() const { return pending_; }
  // Requires isOpen(). `done` runs on the main queue, never after destruction.
  void append(DeviceSample sample, const DeviceProfile& profile, std::string deviceKey, Done done);

 private:
  MainQueue& queue_;
  bool open_ = false;
  size_t pending_ = 0;
  std::optional<DeviceStore> store_;  // touched only by the appends once open
  // Outcomes are handed over only while this lives.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Declared last: destroyed (its queued appends run, its thread joined) before the store.
  std::unique_ptr<SerialQueue> worker_;
};

}  // namespace nimbra
