#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "update/update_source.h"

namespace nimbra {

// The updater's record shown on the page under "appUpdate"; encoded with the keys in this
// order: version, build, phase, availableVersion (left out when absent), automatic.
struct AppUpdaterState {
  std::string version;  // the running bundle's short version, or "—"
  std::string build;    // the running bundle's build, or "—"
  std::string phase;    // the word of an UpdatePhase (update_phase.h)
  std::optional<std::string> availableVersion;
  bool automatic = true;

  bool operator==(const AppUpdaterState&) const = default;
};

// What the controller and the application shell use of the self-updater. AppUpdater is the
// real one (AppUpdater::createShared()); tests pass fakes. Main thread only.
class Updater {
 public:
  virtual ~Updater() = default;

  virtual AppUpdaterState state() const = 0;
  // Where this program's updates come from; only UpdateSource::server ever checks.
  virtual UpdateSource source() const { return UpdateSource::server; }
  // Starts a check unless one runs; `manual` is true for the page's "check-update". Does
  // nothing when source() is not UpdateSource::server.
  virtual void checkForUpdates(bool manual) = 0;
  // Called with no arguments on the main thread after every phase change.
  virtual void setOnChange(std::function<void()> onChange) = 0;
  // Asked before the program quits to install; answers whether it may.
  virtual void setCanInstall(std::function<bool()> canInstall) = 0;
  // After each page load: with "--zuvo-update-health" followed by a job id among
  // `arguments` (the program's command line without argv[0]), writes that job's health
  // marker; otherwise does nothing.
  virtual void writeHealthMarker(const std::vector<std::string>& arguments) = 0;
};

}  // namespace nimbra
