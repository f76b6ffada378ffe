#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/main_queue.h"
#include "update/bundle.h"
#include "update/release.h"
#include "update/transport.h"
#include "update/update_phase.h"
#include "update/updater.h"
#include "update/zip_extract.h"

namespace nimbra {

// The self-updater: asks the update server for the latest release at launch, hourly and
// when the user asks, downloads an acceptable one into a private job directory, proves it
// (UpdateSupport) and hands it to the UpdateInstaller program, then asks the program to
// quit. One check at a time; its progress is the phase word of State.
//
// Main thread only. The network transfers and the package checks run on one worker thread
// at a time; their results come back through the main queue. Destroying the object
// cancels a transfer in flight and waits for the worker.
class AppUpdater final : public Updater {
 public:
  using State = AppUpdaterState;

  static constexpr std::chrono::seconds kCheckInterval{3600};
  static constexpr std::chrono::seconds kReadyPause{5};
  static constexpr std::chrono::seconds kWaitingInterval{2};
  static constexpr char kJobFile[] = "job.json";

  // Everything taken from outside. The queue must outlive the object.
  struct Seams {
    MainQueue& queue;
    // The update server, "https://host"; the query path is resolved against it. Empty: the
    // build has none, and no check is ever made.
    std::string baseUrl;
    UpdateTransport::Options transport;
    // Absent when the user has no caches directory: checks then end in "error".
    std::optional<std::filesystem::path> updateDirectory;
    RunningApp running;
    std::string architecture = UpdateRelease::buildArchitecture();
    int32_t processId = 0;
    // Whether the user may write into `folder` (the one holding the running bundle).
    std::function<bool(const std::filesystem::path& folder)> isWritable;
    // Starts `program` with `arguments`, detached, output to /dev/null.
    std::function<Status(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments)>
        launch;
    // Asks the program to quit (after the installer was started).
    std::function<void()> terminate;
    ZipExtract::Limits unpackLimits;
    // The wall clock, for backing off a build whose installation could not begin.
    std::function<std::chrono::system_clock::time_point()> now = [] {
      return std::chrono::system_clock::now();
    };
  };

  // What the application shell supplies for the shared instance.
  struct SharedHooks {
    MainQueue* queue = nullptr;
    std::function<void()> terminate;
    // The update server and its transport; absent: the build's update server and the
    // system's trust store (the demo passes its loopback server).
    std::optional<std::string> baseUrl;
    UpdateTransport::Options transport;
  };
  // The process-wide instance with the real system's seams; the composition root calls it
  // once and owns the object.
  static std::unique_ptr<AppUpdater> createShared(SharedHooks hooks);

  explicit AppUpdater(Seams seams);
  ~AppUpdater() override;
  AppUpdater(const AppUpdater&) = delete;
  AppUpdater& operator=(const AppUpdater&) = delete;

  // Once at launch: settles an installation whose installer was killed, then, when the
  // updates come from the update server, a check now (unless one runs) and one every hour.
  void startAutomaticChecks();

  State state() const override;
  UpdateSource source() const override { return source_; }
  void checkForUpdates(bool manual) override;
  void setOnChange(std::function<void()> onChange) override { onChange_ = std::move(onChange); }
  void setCanInstall(std::function<bool()> canInstall) override {
    canInstall_ = std::move(canInstall);
  }
  void writeHealthMarker(const std::vector<std::string>& arguments) override;

  UpdatePhase currentPhase() const { return phase_; }
  // The page's word for currentPhase().
  std::string phase() const { return std::string(phaseText(phase_)); }
  bool isChecking() const { return run_ != nullptr; }
  bool hasTimer() const { return timer_.isActive(); }

 private:
  struct Run;

  // Runs `work` on the worker thread and `then` with its result on the main queue.
  template <typename T>
  void background(std::function<T()> work, std::function<void(T)> then);

  void setPhase(UpdatePhase phase);
  void fail(const Error& error);
  void finish(UpdatePhase phase);
  void endRun();

  void judgeReply(Result<UpdateTransport::Reply> reply);
  void accept(AppUpdateRelease release, std::string downloadUrl);
  void downloaded(Result<long> status);
  void unpack();
  void verified();
  void askToInstall();
  void handOver();

  Seams seams_;
  const UpdateSource source_;
  UpdatePhase phase_ = UpdatePhase::idle;
  std::optional<std::string> availableVersion_;
  std::unique_ptr<Run> run_;
  TaskHandle timer_;
  std::function<void()> onChange_;
  std::function<bool()> canInstall_ = [] { return true; };

  std::atomic<bool> cancelled_{false};
  std::thread worker_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace nimbra
