#include "app/background_mode.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace nimbra {
namespace {

// A desktop entry's Exec argument, quoted. Inside the quotes the characters " ` $ and the
// backslash take a backslash, and the file's string escaping doubles every backslash; % is doubled.
std::string execArgument(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
    if (c == '\\') quoted += "\\\\\\";
    if (c == '%') quoted += '%';
    quoted += c == '\\' ? "\\" : std::string(1, c);
  }
  return quoted + "\"";
}

}  // namespace

void to_json(nlohmann::json& json, const DesktopPreferences& choice) {
  json = {{"chargeNotice", choice.chargeNotice},
          {"keepRunning", choice.keepRunning},
          {"startAtLogin", choice.startAtLogin}};
}

void from_json(const nlohmann::json& json, DesktopPreferences& choice) {
  choice.chargeNotice = json.at("chargeNotice").get<bool>();
  choice.keepRunning = json.at("keepRunning").get<bool>();
  choice.startAtLogin = json.at("startAtLogin").get<bool>();
}

BackgroundMode::BackgroundMode(LocalSettings settings, AutostartEntry& autostart,
                               std::filesystem::path program, std::string applicationId)
    : settings_(std::move(settings)),
      autostart_(autostart),
      program_(std::move(program)),
      applicationId_(std::move(applicationId)),
      preferences_(normalized(settings_.value<DesktopPreferences>(kDesktopPreferencesKey)
                                  .value_or(DesktopPreferences{}))) {
  // Rewritten at each start while on, so the entry follows the program when it moves.
  if (preferences_.startAtLogin) syncAutostart();
}

DesktopPreferences BackgroundMode::normalized(DesktopPreferences choice) {
  if (!choice.keepRunning) choice.startAtLogin = false;
  return choice;
}

bool BackgroundMode::receive(std::string_view bodyJSON) {
  nlohmann::json body = nlohmann::json::parse(bodyJSON, nullptr, false);
  if (!body.is_object() || body.value("action", nlohmann::json()) != "desktop") return false;
  DesktopPreferences choice = preferences_;
  // Each switch the message names; anything else keeps its value.
  for (auto [key, field] : {std::pair{"chargeNotice", &DesktopPreferences::chargeNotice},
                            std::pair{"keepRunning", &DesktopPreferences::keepRunning},
                            std::pair{"startAtLogin", &DesktopPreferences::startAtLogin}}) {
    auto value = body.find(key);
    if (value != body.end() && value->is_boolean()) choice.*field = value->get<bool>();
  }
  apply(normalized(choice));
  return true;
}

void BackgroundMode::apply(const DesktopPreferences& choice) {
  if (choice == preferences_) return;
  bool loginChanged = choice.startAtLogin != preferences_.startAtLogin;
  preferences_ = choice;
  if (Status saved = settings_.save(preferences_, kDesktopPreferencesKey); !saved) {
    std::fprintf(stderr, "nimbra: the desktop preferences were not saved: %s\n",
                 saved.error().message.c_str());
  }
  if (loginChanged) syncAutostart();
}

void BackgroundMode::syncAutostart() {
  Status done = preferences_.startAtLogin
                    ? autostart_.install(autostartText(program_, applicationId_))
                    : autostart_.remove();
  if (!done) {
    std::fprintf(stderr, "nimbra: the autostart entry was not %s: %s\n",
                 preferences_.startAtLogin ? "written" : "removed", done.error().message.c_str());
  }
}

std::string BackgroundMode::pageJSON() const {
  nlohmann::json json = preferences_;
  return json.dump();
}

std::string BackgroundMode::autostartText(const std::filesystem::path& program,
                                          const std::string& applicationId) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=nimbra\n"
         "Comment=Keeps serving the IQOS ILUMA i ONE in the background\n"
         "Exec=" +
         execArgument(program.string()) + " " + kHiddenSwitch +
         "\n"
         "Icon=" +
         applicationId +
         "\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

}  // namespace nimbra
