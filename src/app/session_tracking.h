#pragma once

#include <optional>
#include <string>

namespace nimbra {

// The use session seen through the device's live status code ("0542ff7f" while heating, …).
// A start time is kept until a code says the session ended, or until a code that says
// neither arrives more than 360 seconds after the start (the device stopped reporting it).
// Times are seconds since 1970. Pure; main thread in the controller.
class SessionTracker {
 public:
  static constexpr double kStaleSessionSeconds = 360;

  enum class Change { none, started, ended };

  // One status code (hex text, or none when the read gave none) observed at `time`.
  Change track(const std::optional<std::string>& code, double time);
  void clear() { startedAt_.reset(); }

  const std::optional<double>& startedAt() const { return startedAt_; }

  static bool isRunningCode(const std::string& code);
  static bool isEndedCode(const std::string& code);

 private:
  std::optional<double> startedAt_;
};

}  // namespace nimbra
