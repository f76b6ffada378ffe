#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/page_view.h"
#include "app/presentation.h"
#include "app/screen_state.h"
#include "app/session_tracking.h"
#include "app/sharing.h"
#include "core/clock.h"
#include "core/main_queue.h"
#include "core/uuid.h"
#include "device/history_observation.h"
#include "device/history_types.h"
#include "device/model.h"
#include "devicelink/presence_source.h"
#include "devicelink/usb_presence.h"
#include "server/battery_estimate.h"
#include "server/history_analysis.h"
#include "server/post_json.h"
#include "storage/device_sample.h"
#include "storage/device_store.h"
#include "storage/history_archive.h"
#include "storage/local_settings.h"
#include "storage/local_storage.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"
#include "telemetry/telemetry.h"
#include "update/updater.h"

namespace nimbra {

// The one object that owns the application's state: the device model, the sample store,
// the setting journal, the maintenance records and the USB monitor. It reads the device when
// a cable comes and on a timer, tracks the use session, and after every change pushes the
// whole screen state to the page; the page's actions come back through handleAction.
//
// Main thread only: creation, destruction and every member; no locks. Work that finishes
// later (device reads, delayed retries, timers, updater callbacks) holds the controller
// weakly and is dropped once it is gone. Lives as long as the window; destroying it stops
// both timers.
//
// The implementation is split by concern: controller.cpp (start-up, change handling,
// publish, timers, sessions), controller_connection.cpp (connection read sequence),
// controller_screen.cpp (screen state, page load, rendering), controller_messages.cpp (page
// actions), controller_history.cpp and controller_samples.cpp (the history flow, sample
// folding and completions).
class Controller : public std::enable_shared_from_this<Controller> {
 public:
  // Everything the controller takes from outside. The referenced objects must outlive it.
  struct Seams {
    MainQueue& queue;
    const Clock& clock;
    // Where the sample store ("DeviceSamples") and the history archive live.
    LocalStorage storage;
    // Preferences, the setting journal and the maintenance records.
    LocalSettings settings;
    // As loaded at start-up (loadPreferences); saved again by the "preferences" action.
    PresentationPreferences presentation;
    // "zh" or "en" for a stored language ("system" resolved from the user's languages).
    std::function<std::string(const std::string& language)> effectiveLanguage;
    // The hot-plug source for the USB monitor. Null, or a source that fails to start,
    // leaves the controller without a monitor: the model then reads on the poll timer.
    std::unique_ptr<PresenceSource> presenceSource;
    Telemetry& telemetry;
    // The installation identifier sent with analysis and battery requests.
    std::function<Uuid()> installationId;
    HistoryAPI::Endpoint analysisEndpoint;
    Sharing& sharing;
    Updater& updater;
    // The window's web view; may go away before the controller.
    std::weak_ptr<PageView> page;
    // The program's command line without argv[0], for the updater's health marker.
    std::vector<std::string> arguments;
    // The model's sleep on its device queue (between the two module resets).
    SleepFunction sleep = sleepOnThisThread;
  };

  // The device poll timer's interval (usbPollInterval) and tolerance.
  static constexpr MainQueue::Duration kDevicePollInterval{5000};
  static constexpr MainQueue::Duration kDevicePollTolerance{500};
  static constexpr MainQueue::Duration kLiveStatusInterval{500};
  static constexpr MainQueue::Duration kLiveStatusTolerance{50};
  static constexpr MainQueue::Duration kConnectionRetryDelay{3000};
  static constexpr MainQueue::Duration kResetRecoveryDelay{15000};
  // How long after a module reset the controller waits for the device to come back before
  // it stops waiting (checkResetRecovery). A module reboots in seconds; the rest leaves the user
  // time to plug the device in again.
  static constexpr MainQueue::Duration kResetRecoveryLimit{120000};
  static constexpr int kMaxConnectionAttempts = 5;
  static constexpr char kStoreOpenFailedMessage[] = "本机数据库无法打开，设备读取仍可用。";
  static constexpr char kPowerHintMessage[] = "设备可能未开机，请长按按钮后刷新。";
  // Shown as the storage error while no sample error is: the choice holds for this run only.
  static constexpr char kPreferencesNotSavedMessage[] =
      "偏好设置未能保存到本机，下次启动将恢复原设置。";

  // Builds the controller and runs its start-up: updater hooks, sample store, model
  // subscription, USB monitor (which reports the attached devices at once).
  static std::shared_ptr<Controller> create(Seams seams);
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // The window calls these.
  // After each load of the page: sends the sharing configuration, publishes, and asks the
  // page whether it is ready (then the updater writes its health marker).
  void pageFinishedLoading();
  // One page message body: an object whose string "action" names the action. Anything else
  // is ignored, as is an action the current state does not allow.
  void handleAction(const nlohmann::json& body);

  // Nothing is running or awaited: no connection sequence, device work, history read,
  // session, reset recovery, pending operation, analysis or start-up load.
  bool isIdle() const;

  // The state the page would be given now. For tests and benchmarks.
  ScreenState screenState() const;
  // Rebuilds the screen state and renders it (nothing before the page is ready).
  void publish();

  // Observers for tests.
  const Model& model() const { return *model_; }
  // Tests drive the model directly to produce change bursts.
  Model& model() { return *model_; }
  bool hasDevicePollTimer() const { return historyTimer_.has_value(); }
  bool hasLiveStatusTimer() const { return liveStatusTimer_.has_value(); }
  std::optional<double> sessionStartedAt() const { return session_.startedAt(); }
  const Uuid& connectionId() const { return connectionId_; }

 private:
  // The benchmark fills the state the history and battery flows would produce.
  friend class ControllerPeer;

  struct ResetRecovery {
    std::string serial;
    Date started;
    MainQueue::TimePoint earliest;
    MainQueue::TimePoint latest;  // the wait ends here even when the device never came back
    Uuid record;
  };
  // A page action deferred while the model reads in the background.
  struct PendingOperation {
    std::string serial;
    nlohmann::json request;
  };

  explicit Controller(Seams seams);
  void start();

  // Schedules a closure on the main queue, or after a delay, that runs only while the
  // controller still exists.
  void postSelf(void (Controller::*member)());
  TaskHandle postSelfAfter(MainQueue::Duration delay, std::function<void(Controller&)> work);

  // Change handling (controller.cpp).
  void requestChange();
  void modelChanged();
  void presenceChanged(const USBPresence::Serials& serials);

  // Connection read sequence (controller_connection.cpp).
  void beginConnectionRead();
  void performPendingRefresh();
  void checkConnectionRead();
  void connectionRetry(const Uuid& sequence);

  // publish steps (controller.cpp).
  void resetForDeviceChange();
  void updateTimers();
  void updateLoadingState();
  void devicePollTick();
  void liveStatusTick();
  void liveStatusResult(const std::optional<std::string>& code, const Uuid& connection);

  // History flow (controller_history.cpp).
  void refreshArchive(const std::string& serial);
  void startHistoryRead();
  void historyReadFinished(const std::string& serial, const HistoryOutcome& outcome,
                           const Uuid& connection);
  bool archiveSnapshot(const HistorySnapshot& snapshot);
  void analysePendingRecords();

  // Samples, battery estimate, completions (controller_samples.cpp).
  void foldSample();
  void startBatteryEstimate(const HistoryAPI::BatteryInput& input);
  void reportDevice();
  void settingWriteFinished(std::optional<bool> state, const Uuid& record, const std::string& key);
  void resetFinished(bool acknowledged, const Uuid& connection, const Uuid& record);
  void checkResetRecovery();
  bool resetRecovered() const;
  void abandonResetRecovery();
  bool resetSupported() const;

  // --- History analysis and battery estimate (controller_history.cpp, controller_samples.cpp).
  // One run of the analysis: its identity, the device and the records still to send.
  struct AnalysisRun;
  void startAnalysis(std::vector<HistoryArchive::Pending> pending, std::string serial,
                     std::string archiveKey);
  void analyseNextBatch(const std::shared_ptr<AnalysisRun>& run);
  void analysisBatchFinished(const std::shared_ptr<AnalysisRun>& run,
                             Result<std::vector<HistoryObservation>> reply);
  void analysisFailed(const std::shared_ptr<AnalysisRun>& run, const Error& error);
  void finishAnalysis(const Uuid& run);
  void batteryEstimateFinished(const HistoryAPI::BatteryInput& input,
                               Result<HistoryAPI::BatteryEstimate> estimate);
  // --- end of the history analysis and battery estimate block.

  // Rendering and the page (controller_screen.cpp).
  void render();
  void configureSharing(PageView& page);

  // Page actions (controller_messages.cpp).
  bool passesGate(const std::string& action) const;
  bool deferDuringBackgroundRead(const std::string& action, const nlohmann::json& body);
  void shareSystem(const nlohmann::json& body);
  void shareResult(const std::string& action, bool result);
  void refreshAction();
  void disconnectAction();
  void activityAction(const nlohmann::json& body);
  void preferencesAction(const nlohmann::json& body);
  void historyAction();
  void resetAction(const nlohmann::json& body);
  void settingAction(const nlohmann::json& body);

  // Derived values.
  bool cablePresent() const;
  bool active() const { return !paused_ && cablePresent(); }
  std::string deviceKey() const;
  bool connectionSequenceRuns() const { return connectionReadID_.has_value(); }
  bool historyRetryScheduled() const { return historyRetryAt_.has_value(); }
  bool analysisRuns() const { return analysisID_.has_value(); }
  bool batteryTaskRuns() const { return batteryTask_ && batteryTask_->isActive(); }
  bool sessionRecorded() const { return session_.startedAt().has_value(); }

  // Seams.
  MainQueue& queue_;
  const Clock& clock_;
  LocalStorage storage_;
  LocalSettings settings_;
  std::function<std::string(const std::string&)> effectiveLanguage_;
  std::unique_ptr<PresenceSource> presenceSource_;
  Telemetry& telemetry_;
  std::function<Uuid()> installationId_;
  HistoryAPI::Endpoint analysisEndpoint_;
  Sharing& sharing_;
  Updater& updater_;
  std::vector<std::string> arguments_;
  HistoryArchive archive_;

  // State, in the order the controller's documentation lists it.
  PresentationPreferences presentation_;
  DeviceProfile profile_ = DeviceProfile::iqosIlumaOne();
  std::unique_ptr<Model> model_;
  std::optional<DeviceStore> store_;
  std::optional<std::string> storageError_;
  std::optional<std::string> preferencesError_;  // the last preferences save failed
  std::optional<DeviceSample> lastSample_;
  std::optional<std::string> lastDevice_;
  Uuid connectionId_ = Uuid::random();
  std::optional<std::string> resetStatus_;
  std::optional<ResetRecovery> resetRecovery_;
  std::unique_ptr<SettingJournal> settingJournal_;
  std::vector<MaintenanceRecord> maintenanceRecords_;
  std::optional<Telemetry::Device> uploadedDevice_;
  std::optional<Date> uploadedDeviceAt_;
  std::vector<DeviceSample> samples_;
  std::optional<std::vector<HistoryEntry>> history_;
  std::optional<int> archiveCount_;
  std::optional<int> directoryCount_;
  std::optional<std::string> historyError_;
  std::optional<std::vector<HistoryObservation>> observations_;
  std::optional<TaskHandle> analysisTask_;
  std::optional<Uuid> analysisID_;
  bool initialLoadFinished_ = false;
  bool startupLoading_ = false;
  bool historyStarted_ = false;
  std::optional<HistoryArchive::Revision> historyRevision_;
  std::optional<std::string> historyArchiveError_;
  bool historyNeedsAnalysis_ = true;
  MainQueue::TimePoint historyAnalysisRetryAfter_;
  std::optional<TaskHandle> historyTimer_;
  std::optional<TaskHandle> liveStatusTimer_;
  std::optional<std::vector<uint8_t>> analyzedCatalog_;
  bool historyCheckRequested_ = false;
  bool readingHistory_ = false;
  int historyReadAttempts_ = 0;
  std::optional<MainQueue::TimePoint> historyRetryAt_;
  MainQueue::Duration historyRetryDelay_{5000};
  int historyMaxAttempts_ = 3;
  std::optional<HistoryAPI::BatteryInput> batteryInput_;
  std::optional<HistoryAPI::BatteryEstimate> batteryEstimate_;
  std::optional<TaskHandle> batteryTask_;
  SessionTracker session_;  // sessionStartedAt
  std::optional<Model::Token> observer_;
  std::weak_ptr<PageView> web_;
  bool ready_ = false;
  bool paused_ = false;
  std::unique_ptr<USBPresence> usbPresence_;
  USBPresence::Serials attached_;
  bool refreshPending_ = false;
  std::optional<Uuid> connectionReadID_;
  int connectionAttempt_ = 0;
  bool connectionReadInFlight_ = false;
  int maxConnectionAttempts_ = kMaxConnectionAttempts;
  std::optional<PendingOperation> pendingOperation_;
  bool publishQueued_ = false;
};

}  // namespace nimbra
