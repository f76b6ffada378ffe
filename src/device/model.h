#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/main_queue.h"
#include "core/serial_queue.h"
#include "device/history_read.h"
#include "device/model_messages.h"
#include "device/model_published.h"
#include "device/model_status_read.h"
#include "device/module_reset.h"
#include "device/readings.h"
#include "device/setting.h"
#include "device/setting_write.h"

namespace nimbra {

// The name of the model's device queue (its worker thread's name).
inline constexpr char kDeviceQueueName[] = "iqos-device-usb";

// The one object through which nimbra talks to the device. It owns a serial device queue on
// which every iq_ call runs (one task holds the device from open to close), publishes what it
// learns as properties, and decides the status line and the switched-off hint.
//
// Thread: the main thread, for every member, the constructor and the destructor. Device work
// runs on queue(); its results come back through the MainQueue. Every operation captures the
// generation, the connection epoch and the selected serial when it starts: forgetDevice()
// bumps both counters, so older tasks fail their I/O at once and their results are dropped.
// While busy() every other device operation is refused.
//
// The MainQueue and the Clock must outlive the model. Destroying the model waits for the
// running device task; results still on their way are dropped.
class Model {
 public:
  using Observer = ChangeNotifier::Observer;
  using Token = ChangeNotifier::Token;

  Model(MainQueue& mainQueue, const Clock& clock, SleepFunction sleep = sleepOnThisThread);
  ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // Told before each change of a published property.
  Token subscribe(Observer observer) { return notifier_.subscribe(std::move(observer)); }
  void unsubscribe(Token token) { notifier_.unsubscribe(token); }

  // Published properties.
  const std::vector<Device>& devices() const { return devices_.get(); }
  const std::string& selected() const { return selected_.get(); }
  const std::vector<Reading>& rows() const { return rows_.get(); }
  const SettingValues& values() const { return values_.get(); }
  const std::string& message() const { return message_.get(); }
  bool busy() const { return busy_.get(); }
  const std::optional<Date>& updated() const { return updated_.get(); }
  bool automatic() const { return automatic_.get(); }
  void setAutomatic(bool automatic) { automatic_ = automatic; }
  const std::optional<std::string>& powerHint() const { return powerHint_.get(); }

  // The last status read found the device but could not open it for lack of permission
  // (openRefusedForPermission). Set and cleared with the message of that read, so an
  // observer told of the message sees it; forgetDevice clears it.
  bool openRefused() const { return openRefused_; }

  uint64_t generation() const { return generation_; }
  bool backgroundReading() const { return backgroundReading_; }
  const SerialQueue& queue() const { return queue_; }

  // Scans, chooses the device and reads every reading and setting, unless busy. `automatic`
  // reads after the first good one run in the background (no progress message).
  void refresh(bool automatic);

  // Drops the device: cancels its I/O, clears everything the model knows about it, and makes
  // results of work already started be dropped. `busy` stays until that work comes back.
  void forgetDevice();

  // Reads the live status code (command 129 on hop 1) as hex, or absent when it is not a
  // 4-byte reply. Not started while busy or without a device; `done` is not called when the
  // device was forgotten or changed meanwhile.
  void readLiveStatus(std::function<void(std::optional<std::string>)> done);

  // Writes one setting and proves it by reading it back. Not started (and `done` not called)
  // unless the setting's value is known, a device is selected and the model is idle. `done`
  // receives the confirmed value, or nothing on failure or when the device was forgotten.
  void writeSetting(const Setting& setting, bool requested,
                    std::function<void(std::optional<bool>)> done);

  // Resets the engine module, then the control module. `done(false)` at once when busy, before
  // a good status read, or when the selected device is not an "IQOS ILUMA i ONE"; not called
  // when the device was forgotten meanwhile. Afterwards the model holds no readings.
  void resetModules(std::function<void(bool)> done);

  // Reads the device history (history_read.h): the catalogue and, unless it equals
  // `previousCatalog`, every entry it announces. Not started (and `done` not called) while
  // busy, without a device or before a good status read. In the foreground the status line
  // shows the progress and the result; in the background it is left alone. `done` gets the
  // serial read and the outcome; it is not called when the device was forgotten meanwhile.
  using HistoryDone = std::function<void(const std::string& serial, const HistoryOutcome&)>;
  void readHistory(std::optional<std::vector<uint8_t>> previousCatalog, bool background,
                   HistoryDone done);

 private:
  // What an operation holds on to from its start.
  struct DeviceTicket {
    uint64_t generation = 0;
    uint32_t epoch = 0;
    std::string serial;
  };

  // Posts closures from the device queue to the main queue; they are dropped once the model
  // is gone. Copyable; any thread.
  class MainHandoff {
   public:
    MainHandoff(MainQueue& mainQueue, std::shared_ptr<const bool> alive)
        : mainQueue_(&mainQueue), alive_(std::move(alive)) {}
    void operator()(std::function<void()> apply) const;

   private:
    MainQueue* mainQueue_;
    std::shared_ptr<const bool> alive_;
  };

  DeviceTicket takeTicket() const;
  bool isCurrent(const DeviceTicket& ticket) const { return ticket.generation == generation_; }
  MainHandoff handoff() const { return MainHandoff(mainQueue_, alive_); }

  // Runs `work` on the device queue and then `done` with its result on the main thread.
  template <typename T>
  void runOnDevice(std::function<T()> work, std::function<void(T)> done) {
    queue_.async([work = std::move(work), done = std::move(done), handoff = handoff()] {
      handoff([result = work(), done] { done(result); });
    });
  }

  void clearDeviceState();
  void endOperation();

  // Status read steps, on the main thread. No result: the scan found no device.
  void applyScan(const DeviceTicket& ticket, std::vector<Device> devices,
                 const std::string& chosen);
  void finishStatusRead(const DeviceTicket& ticket, const std::optional<StatusReadResult>& read);
  void publishStatusRead(const StatusReadResult& read);

  MainQueue& mainQueue_;
  const Clock& clock_;
  SleepFunction sleep_;
  ChangeNotifier notifier_;

  Published<std::vector<Device>> devices_{ModelProperty::devices, {}, notifier_};
  Published<std::string> selected_{ModelProperty::selected, {}, notifier_};
  Published<std::vector<Reading>> rows_{ModelProperty::rows, {}, notifier_};
  Published<SettingValues> values_{ModelProperty::values, {}, notifier_};
  Published<std::string> message_{ModelProperty::message, kSearchingMessage, notifier_};
  Published<bool> busy_{ModelProperty::busy, false, notifier_};
  Published<std::optional<Date>> updated_{ModelProperty::updated, std::nullopt, notifier_};
  Published<bool> automatic_{ModelProperty::automatic, false, notifier_};
  Published<std::optional<std::string>> powerHint_{ModelProperty::powerHint, std::nullopt,
                                                   notifier_};
  uint64_t generation_ = 0;
  bool backgroundReading_ = false;
  bool openRefused_ = false;

  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Last member: destroyed first, so queued tasks finish while the rest still exists.
  SerialQueue queue_{kDeviceQueueName};
};

}  // namespace nimbra
