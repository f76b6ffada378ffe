#pragma once

// Fakes of the controller's page view, sharing and self-updater, for its tests, benchmarks
// and fuzzer: each keeps what the controller asked of it and answers from fields the caller
// sets. Main thread only, like the real ones. No GoogleTest here.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/page_view.h"
#include "app/sharing.h"
#include "update/updater.h"

namespace nimbra::testing {

class RecordingPage : public PageView {
 public:
  void evaluate(const std::string& script) override {
    if (keepAll) scripts.push_back(script);
  }
  void render(const std::string& stateJSON) override {
    ++renderCount;
    if (renders.empty() || renders.back() != stateJSON) ++distinctRenders;
    if (keepAll || renders.empty()) {
      renders.push_back(stateJSON);
    } else {
      renders.back() = stateJSON;
    }
  }
  void probeReadiness(std::function<void(bool)> answer) override {
    ++probes;
    answer(readyAnswer);
  }
  Size size() const override { return viewSize; }
  void showSharePicker(double x, double y) override { pickers.emplace_back(x, y); }

  nlohmann::json last() const { return nlohmann::json::parse(renders.back()); }

  // False for long runs: `renders` then holds only the last state and `scripts` none.
  bool keepAll = true;
  std::vector<std::string> scripts;
  std::vector<std::string> renders;
  size_t renderCount = 0;
  size_t distinctRenders = 0;  // states unlike the one rendered before
  std::vector<std::pair<double, double>> pickers;
  Size viewSize{730, 657};
  bool readyAnswer = true;
  int probes = 0;
};

class FakeSharing : public Sharing {
 public:
  const std::string& link() const override { return link_; }
  std::optional<std::string> qrDataURL(bool dark) override {
    return dark ? std::optional<std::string>() : "data:image/png;base64,AAAA";
  }
  bool copyLink() override {
    ++linkCopies;
    return true;
  }
  bool copyQR(bool dark) override {
    qrCopies.push_back(dark);
    return false;
  }
  bool copyText(const std::string& text) override {
    texts.push_back(text);
    return true;
  }

  int linkCopies = 0;
  std::vector<std::string> texts;
  std::vector<bool> qrCopies;

 private:
  std::string link_ = "https://updates.nimbra.invalid/download";
};

class FakeUpdater : public Updater {
 public:
  AppUpdaterState state() const override { return current; }
  UpdateSource source() const override { return updatesFrom; }
  void checkForUpdates(bool manual) override { checks.push_back(manual); }
  void setOnChange(std::function<void()> callback) override { onChange = std::move(callback); }
  void setCanInstall(std::function<bool()> callback) override { canInstall = std::move(callback); }
  void writeHealthMarker(const std::vector<std::string>& arguments) override {
    healthMarkers.push_back(arguments);
  }

  AppUpdaterState current{"1.4.2", "142", "current", std::nullopt, true};
  UpdateSource updatesFrom = UpdateSource::server;
  std::vector<bool> checks;
  std::function<void()> onChange;
  std::function<bool()> canInstall;
  std::vector<std::vector<std::string>> healthMarkers;
};

}  // namespace nimbra::testing
