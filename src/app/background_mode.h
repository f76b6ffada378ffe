#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/desktop_seams.h"
#include "storage/local_settings.h"

namespace nimbra {

// The desktop choices of Preferences, stored as one JSON object under kDesktopPreferencesKey:
// the charge notification (on by default), background mode ("Keep running when the window is
// closed", off by default) and "Start at login", which exists only with background mode.
struct DesktopPreferences {
  bool chargeNotice = true;
  bool keepRunning = false;
  bool startAtLogin = false;

  bool operator==(const DesktopPreferences&) const = default;
};

inline constexpr char kDesktopPreferencesKey[] = "NimbraDesktopPreferences";

void to_json(nlohmann::json& json, const DesktopPreferences& choice);
// Throws nlohmann::json::exception on a missing or mistyped value.
void from_json(const nlohmann::json& json, DesktopPreferences& choice);

// Owns those choices for the running program: reads them at start, takes the page's
// "desktop" action, saves it and keeps the autostart entry in step (written while "Start at
// login" is on, removed otherwise). The window asks it whether closing hides.
//
// Main thread only (the settings store has one writer per key).
class BackgroundMode {
 public:
  // The command-line switch of a start that keeps the window hidden.
  static constexpr char kHiddenSwitch[] = "--hidden";

  // `program`: the executable the autostart entry starts; `applicationId` names its icon.
  BackgroundMode(LocalSettings settings, AutostartEntry& autostart, std::filesystem::path program,
                 std::string applicationId);

  const DesktopPreferences& preferences() const { return preferences_; }
  // Background mode is on: closing the window hides it and nimbra keeps serving the device.
  bool closeHides() const { return preferences_.keepRunning; }

  // A page message body. True when it was the "desktop" action (handled here, valid or not);
  // false for every other message, which goes on to the controller.
  bool receive(std::string_view bodyJSON);
  // For the page's window.configureDesktop: {"chargeNotice", "keepRunning", "startAtLogin"}.
  std::string pageJSON() const;

  // The autostart entry: a desktop file that starts `program` with kHiddenSwitch.
  static std::string autostartText(const std::filesystem::path& program,
                                   const std::string& applicationId);
  // `choice` as stored: "Start at login" dropped without background mode.
  static DesktopPreferences normalized(DesktopPreferences choice);

 private:
  void apply(const DesktopPreferences& choice);
  void syncAutostart();

  LocalSettings settings_;
  AutostartEntry& autostart_;
  std::filesystem::path program_;
  std::string applicationId_;
  DesktopPreferences preferences_;
};

}  // namespace nimbra
