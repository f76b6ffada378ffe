#include "telemetry/telemetry_ledger.h"

#include <algorithm>
#include <cstdio>

namespace nimbra {

std::string telemetryDayText(Date date) {
  using namespace std::chrono;
  constexpr seconds kUtcPlus8{8 * 3600};
  const year_month_day day{floor<days>(floor<seconds>(date) + kUtcPlus8)};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
  return text;
}

bool TelemetryLedger::needsFirstLaunch(const Uuid& installation) const {
  if (!settings_) return true;
  std::optional<std::string> stored = settings_->value<std::string>(kFirstLaunchKey);
  return !stored || *stored != installation.text();
}

void TelemetryLedger::markFirstLaunch(const Uuid& installation) const {
  if (settings_) settings_->set(installation.text(), kFirstLaunchKey);
}

std::string TelemetryLedger::dailyReportsKey(const Uuid& installation) {
  return kDailyReportsKeyPrefix + installation.text();
}

bool TelemetryLedger::hasReported(const Uuid& installation, const std::string& day) {
  const std::vector<std::string>& days = reportedDays(installation);
  return std::find(days.begin(), days.end(), day) != days.end();
}

void TelemetryLedger::markReported(const Uuid& installation, const std::string& day) {
  std::vector<std::string>& days = reportedDays(installation);
  days.push_back(day);
  if (days.size() > kMaxReportedDays) {
    days.erase(days.begin(), days.end() - static_cast<std::ptrdiff_t>(kMaxReportedDays));
  }
  if (settings_) settings_->set(days, dailyReportsKey(installation));
}

std::vector<std::string>& TelemetryLedger::reportedDays(const Uuid& installation) {
  auto found = reportedDays_.find(installation);
  if (found != reportedDays_.end()) return found->second;
  std::vector<std::string> stored;
  if (settings_) {
    stored = settings_->value<std::vector<std::string>>(dailyReportsKey(installation))
                 .value_or(std::vector<std::string>{});
  }
  return reportedDays_.emplace(installation, std::move(stored)).first->second;
}

}  // namespace nimbra
