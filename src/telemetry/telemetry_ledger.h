#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/uuid.h"
#include "storage/local_settings.h"

namespace nimbra {

// The calendar day a daily report counts for, "yyyy-MM-dd" at a fixed UTC+8 without
// daylight saving: days turn at 16:00 UTC on every machine, whatever its time zone.
std::string telemetryDayText(Date date);

// Telemetry's bookkeeping in the local settings: for which installation first_launch has
// been recorded, and which days each installation has reported.
//
// The reported days are also remembered for the rest of the run once marked, so a settings
// file that cannot be written (a full disk, a damaged value that is never overwritten) costs
// at most one daily event per day and run, not one per check. Without storage nothing is
// stored and only that memory remains. Main thread only.
class TelemetryLedger {
 public:
  static constexpr char kFirstLaunchKey[] = "ZuvoFirstLaunchInstallationID";
  static constexpr char kDailyReportsKeyPrefix[] = "ZuvoDailyReports.";
  static constexpr size_t kMaxReportedDays = 400;

  explicit TelemetryLedger(std::optional<LocalSettings> settings)
      : settings_(std::move(settings)) {}

  // True unless first_launch has been stored for exactly this installation.
  bool needsFirstLaunch(const Uuid& installation) const;
  void markFirstLaunch(const Uuid& installation) const;

  bool hasReported(const Uuid& installation, const std::string& day);
  // Appends the day, keeping only the newest kMaxReportedDays, and stores the list.
  void markReported(const Uuid& installation, const std::string& day);

  static std::string dailyReportsKey(const Uuid& installation);

 private:
  std::vector<std::string>& reportedDays(const Uuid& installation);

  std::optional<LocalSettings> settings_;
  std::map<Uuid, std::vector<std::string>> reportedDays_;  // loaded on first use per id
};

}  // namespace nimbra
