#include "app/sample_writer.h"

#include <utility>

namespace nimbra {

SampleWriter::SampleWriter(MainQueue& queue, bool ownThread) : queue_(queue) {
  if (ownThread) worker_ = std::make_unique<SerialQueue>(kThreadName);
}

SampleWriter::~SampleWriter() {
  *alive_ = false;
  worker_.reset();
}

void SampleWriter::open(DeviceStore store) {
  store_.emplace(std::move(store));
  open_ = true;
}

void SampleWriter::append(DeviceSample sample, const DeviceProfile& profile, std::string deviceKey,
                          Done done) {
  auto run = [store = &*store_, sample = std::move(sample), profile,
              deviceKey = std::move(deviceKey)]() -> Outcome {
    Status appended = store->append(sample, profile, deviceKey);
    return Outcome{std::move(appended), store->recent(profile, deviceKey)};
  };
  if (!worker_) {
    done(run());
    return;
  }
  // The store outlives every task (the worker is joined first); `done` may not.
  ++pending_;
  worker_->async([this, run = std::move(run), done = std::move(done),
                  alive = std::weak_ptr<bool>(alive_)]() mutable {
    auto outcome = std::make_shared<Outcome>(run());
    queue_.post([this, alive = std::move(alive), done = std::move(done), outcome] {
      if (std::shared_ptr<bool> living = alive.lock(); living && *living) {
        --pending_;
        done(std::move(*outcome));
      }
    });
  });
}

}  // namespace nimbra
