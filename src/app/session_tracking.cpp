#include "app/session_tracking.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace nimbra {
namespace {

constexpr std::array<std::string_view, 5> kRunningCodes{"0542ff7f", "0502ff7f", "0504ff7f",
                                                        "0544ff7f", "0546ff7f"};
constexpr std::array<std::string_view, 3> kEndedCodes{"0040ff7f", "0440ff7f", "0840ff7f"};

bool contains(const auto& codes, const std::string& code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

}  // namespace

bool SessionTracker::isRunningCode(const std::string& code) {
  return contains(kRunningCodes, code);
}

bool SessionTracker::isEndedCode(const std::string& code) { return contains(kEndedCodes, code); }

SessionTracker::Change SessionTracker::track(const std::optional<std::string>& code, double time) {
  if (code && isRunningCode(*code)) {
    if (startedAt_) return Change::none;
    startedAt_ = time;
    return Change::started;
  }
  if (!startedAt_) return Change::none;
  bool ended = (code && isEndedCode(*code)) || time - *startedAt_ > kStaleSessionSeconds;
  if (!ended) return Change::none;
  startedAt_.reset();
  return Change::ended;
}

}  // namespace nimbra
