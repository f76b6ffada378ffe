#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/battery_estimator.h"
#include "app/connection_sequence.h"
#include "app/device_access.h"
#include "app/error_moments.h"
#include "app/file_chooser.h"
#include "app/history_flow.h"
#include "app/page_view.h"
#include "app/presentation.h"
#include "app/reset_recovery.h"
#include "app/sample_folder.h"
#include "app/screen_state.h"
#include "app/session_tracking.h"
#include "app/sharing.h"
#include "app/usage_data.h"
#include "core/clock.h"
#include "core/diagnostics_facts.h"
#include "core/main_queue.h"
#include "core/serial_queue.h"
#include "core/uuid.h"
#include "device/model.h"
#include "devicelink/presence_source.h"
#include "devicelink/usb_presence.h"
#include "server/post_json.h"
#include "storage/local_settings.h"
#include "storage/local_storage.h"
#include "storage/maintenance_records.h"
#include "storage/setting_journal.h"
#include "telemetry/telemetry.h"
#include "update/updater.h"

namespace nimbra {

// The one object that owns the application's state: the device model, the setting journal,
// the maintenance records and the USB monitor, and the parts that each keep one concern of the
// served device (connection_sequence.h, history_flow.h, battery_estimator.h,
// reset_recovery.h, sample_folder.h). It reads the device when a cable comes and on a timer,
// tracks the use session, and after every change pushes the whole screen state to the page;
// the page's actions come back through handleAction and pass its gate.
//
// Main thread only: creation, destruction and every member; no locks. Work that finishes
// later (device reads, delayed retries, timers, updater callbacks) holds the controller or
// its part weakly and is dropped once it is gone. Lives as long as the window; destroying it
// stops both timers.
//
// controller.cpp: start-up, change handling, publish, timers, sessions; controller_screen.cpp:
// screen state, page load, rendering; controller_messages.cpp: the gate and the page actions.
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
    // The commands that let the user open the device (device_access.h), asked for while an
    // open is refused for permission; empty: the fix for a program without its rule file.
    std::function<DeviceAccess::Fix()> accessFix = {};
    // The facts of a diagnostics report that the program and the system give (the window's
    // own are added by the controller); empty: "copy-diagnostics" copies nothing.
    std::function<Diagnostics::Facts()> diagnosticsFacts = {};
    // Day files of samples written on a thread of their own (the program); otherwise at once,
    // on the main thread (tests, benchmarks). See SampleWriter. Exports likewise.
    bool sampleWriterThread = false;
    // After each new status read of the served device: its serial, the read's battery and
    // the page's language ("zh" or "en"). Empty: nobody listens.
    std::function<void(const std::string& serial, std::optional<int64_t> battery,
                       const std::string& language)>
        batteryRead = {};
    // Where "export" asks the user to save; null: exports are not offered.
    FileChooser* fileChooser = nullptr;
  };

  // The device poll timer's interval (usbPollInterval) and tolerance.
  static constexpr MainQueue::Duration kDevicePollInterval{5000};
  static constexpr MainQueue::Duration kDevicePollTolerance{500};
  static constexpr MainQueue::Duration kLiveStatusInterval{500};
  static constexpr MainQueue::Duration kLiveStatusTolerance{50};
  static constexpr MainQueue::Duration kConnectionRetryDelay =
      ConnectionSequence::kConnectionRetryDelay;
  static constexpr MainQueue::Duration kResetRecoveryDelay = ResetRecovery::kResetRecoveryDelay;
  static constexpr MainQueue::Duration kResetRecoveryLimit = ResetRecovery::kResetRecoveryLimit;
  static constexpr const char* kStoreOpenFailedMessage = SampleFolder::kStoreOpenFailedMessage;
  static constexpr char kExportThreadName[] = "nimbra-export";
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
  // After each load of the page: sends the sharing configuration and which services the
  // build has, publishes, and asks the page whether it is ready (then the updater writes its
  // health marker).
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
  // Tests and benchmarks read and fill the parts' state.
  friend class ControllerPeer;

  explicit Controller(Seams seams);
  void start(std::unique_ptr<PresenceSource> presenceSource);
  void startPresenceMonitor(std::unique_ptr<PresenceSource> presenceSource);

  // Schedules a closure on the main queue that runs only while the controller still exists.
  void postSelf(void (Controller::*member)());

  // Change handling.
  void requestChange();
  void modelChanged();
  void presenceChanged(const USBPresence::Serials& serials);
  void deviceNodeChanged(const std::string& serial);

  // publish steps.
  void resetForDeviceChange();
  void tellBatteryRead(const std::string& deviceKey);
  void checkResetRecovery();
  void updateTimers();
  void updateLoadingState();
  void startHistoryRead();
  void devicePollTick();
  void liveStatusTick();
  void liveStatusResult(const std::optional<std::string>& code, const Uuid& connection);

  // Completions of the page's device operations.
  void settingWriteFinished(std::optional<bool> state, const Uuid& record, const std::string& key);
  void resetFinished(bool acknowledged, const Uuid& connection, const Uuid& record);
  void batteryEstimateFinished(bool changed);
  bool resetSupported() const;

  // Rendering and the page (controller_screen.cpp).
  void render();
  void configureSharing(PageView& page);
  void configureServices(PageView& page);

  // The gate and the page actions (controller_messages.cpp).
  bool passesGate(const std::string& action) const;
  bool deferDuringBackgroundRead(const std::string& action, const nlohmann::json& body);
  void shareSystem(const nlohmann::json& body);
  void shareResult(const std::string& action, bool result);
  bool copyAccessFix();
  // The diagnostics report with the window's facts (controller_diagnostics.cpp).
  bool copyDiagnostics();
  Diagnostics::WindowFacts windowFacts() const;
  void noteErrorMoments();
  void refreshAction();
  void disconnectAction();
  void activityAction(const nlohmann::json& body);
  void preferencesAction(const nlohmann::json& body);
  void usageDataAction(const nlohmann::json& body);
  void usageNoticeAction();
  void historyAction();
  void resetAction(const nlohmann::json& body);
  void settingAction(const nlohmann::json& body);
  // Export of the kept data (controller_export.cpp).
  struct ExportJob;
  void exportAction(const nlohmann::json& body);
  void exportChosen(const ExportJob& job, const std::optional<std::filesystem::path>& file);

  // Derived values.
  bool cablePresent() const;
  bool active() const { return !paused_ && cablePresent(); }
  // Not paused, and a cable present when the USB monitor tells: the device may be read.
  bool mayRead() const { return !paused_ && (!usbPresence_ || cablePresent()); }
  std::string deviceKey() const;
  bool sessionRecorded() const { return session_.startedAt().has_value(); }
  // The device is attached and being served, but its last open was refused for permission.
  bool accessRefused() const { return active() && model_->openRefused(); }

  // Seams.
  MainQueue& queue_;
  const Clock& clock_;
  LocalSettings settings_;
  std::function<std::string(const std::string&)> effectiveLanguage_;
  Telemetry& telemetry_;
  Sharing& sharing_;
  Updater& updater_;
  std::vector<std::string> arguments_;
  std::function<DeviceAccess::Fix()> accessFix_;
  std::function<Diagnostics::Facts()> diagnosticsFacts_;
  std::function<void(const std::string&, std::optional<int64_t>, const std::string&)> batteryRead_;
  double batteryReadAt_ = 0;  // the observedAt of the last sample told to batteryRead_
  FileChooser* fileChooser_;
  LocalStorage dataStorage_;  // the sample store's and the archives' (seams.storage)

  // State.
  PresentationPreferences presentation_;
  std::optional<std::string> preferencesError_;  // the last preferences save failed
  ErrorMoments errorMoments_;
  UsageData::State usageData_;
  std::unique_ptr<Model> model_;
  std::optional<std::string> lastDevice_;
  Uuid connectionId_ = Uuid::random();
  std::unique_ptr<SettingJournal> settingJournal_;
  std::vector<MaintenanceRecord> maintenanceRecords_;
  bool initialLoadFinished_ = false;
  bool startupLoading_ = false;
  std::optional<TaskHandle> historyTimer_;
  std::optional<TaskHandle> liveStatusTimer_;
  SessionTracker session_;  // sessionStartedAt
  std::optional<Model::Token> observer_;
  std::weak_ptr<PageView> web_;
  bool ready_ = false;
  bool paused_ = false;
  std::unique_ptr<USBPresence> usbPresence_;
  USBPresence::Serials attached_;
  bool publishQueued_ = false;
  bool exportChoosing_ = false;  // the file chooser of an export is open
  bool exportThread_ = false;    // exports run on exportWorker_ (seams.sampleWriterThread)

  // The parts, each with its own fields (declared after what they refer to).
  ConnectionSequence connection_;
  HistoryFlow history_;
  BatteryEstimator battery_;
  ResetRecovery reset_;
  SampleFolder samples_;
  // Made by the first export of a run that writes on a thread; destroyed first, letting the
  // export under way finish (its result is dropped).
  std::unique_ptr<SerialQueue> exportWorker_;
};

}  // namespace nimbra
