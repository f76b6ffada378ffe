#include "core/dates.h"

#include <algorithm>
#include <cmath>

namespace nimbra {
namespace {

using std::chrono::duration;
using std::chrono::duration_cast;

// 2001-01-01T00:00:00Z in seconds since 1970.
constexpr double kReferenceDateOffset = 978307200.0;

bool readDigits(std::string_view text, size_t at, size_t count, int& out) {
  if (at + count > text.size()) return false;
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  out = value;
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool parseZone(std::string_view zone, int& offsetSeconds) {
  if (zone == "Z") {
    offsetSeconds = 0;
    return true;
  }
  if (zone.size() < 3 || (zone[0] != '+' && zone[0] != '-')) return false;
  int hours = 0, minutes = 0;
  if (!readDigits(zone, 1, 2, hours)) return false;
  if (zone.size() == 6 && zone[3] == ':') {
    if (!readDigits(zone, 4, 2, minutes)) return false;
  } else if (zone.size() == 5) {
    if (!readDigits(zone, 3, 2, minutes)) return false;
  } else if (zone.size() != 3) {
    return false;
  }
  if (hours > 23 || minutes > 59) return false;
  offsetSeconds = (zone[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
  return true;
}

}  // namespace

// Whole seconds and their fraction are converted apart: a count of nanoseconds this far from
// 1970 has more digits than a double holds, so converting it whole would move a date given in
// whole seconds by up to a microsecond, and the date would not read back as itself.
double secondsSince1970(Date date) {
  auto whole = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch());
  auto fraction = date.time_since_epoch() - whole;
  return static_cast<double>(whole.count()) + duration_cast<duration<double>>(fraction).count();
}

std::optional<Date> checkedDateFromSecondsSince1970(double seconds) {
  if (!std::isfinite(seconds) || seconds < static_cast<double>(kEarliestDateSeconds) ||
      seconds > static_cast<double>(kLatestDateSeconds)) {
    return std::nullopt;
  }
  double whole = std::floor(seconds);
  auto fraction = duration_cast<Date::duration>(duration<double>(seconds - whole));
  return Date{std::chrono::seconds(static_cast<int64_t>(whole)) + fraction};
}

std::optional<Date> checkedDateFromSecondsSince2001(double seconds) {
  return checkedDateFromSecondsSince1970(seconds + kReferenceDateOffset);
}

Date dateFromSecondsSince1970(double seconds) {
  if (std::isnan(seconds)) seconds = 0;
  seconds = std::clamp(seconds, static_cast<double>(kEarliestDateSeconds),
                       static_cast<double>(kLatestDateSeconds));
  return *checkedDateFromSecondsSince1970(seconds);
}

double secondsSince2001(Date date) { return secondsSince1970(date) - kReferenceDateOffset; }

Date dateFromSecondsSince2001(double seconds) {
  return dateFromSecondsSince1970(seconds + kReferenceDateOffset);
}

// Written digit by digit: this runs for every observation of every screen state, and
// snprintf costs several times the rest. Years in the supported range have four digits.
std::string iso8601(Date date) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(date);
  auto days = std::chrono::floor<std::chrono::days>(seconds);
  std::chrono::year_month_day ymd{days};
  std::chrono::hh_mm_ss hms{seconds - days};
  std::string text = "0000-00-00T00:00:00Z";
  auto put = [&text](size_t at, size_t width, unsigned value) {
    for (size_t i = at + width; i > at; --i, value /= 10)
      text[i - 1] = static_cast<char>('0' + value % 10);
  };
  put(0, 4, static_cast<unsigned>(static_cast<int>(ymd.year())));
  put(5, 2, static_cast<unsigned>(ymd.month()));
  put(8, 2, static_cast<unsigned>(ymd.day()));
  put(11, 2, static_cast<unsigned>(hms.hours().count()));
  put(14, 2, static_cast<unsigned>(hms.minutes().count()));
  put(17, 2, static_cast<unsigned>(hms.seconds().count()));
  return text;
}

std::optional<Date> parseIso8601(std::string_view text) {
  int year, month, day, hour, minute, second;
  if (text.size() < 20) return std::nullopt;
  if (!readDigits(text, 0, 4, year) || text[4] != '-' || !readDigits(text, 5, 2, month) ||
      text[7] != '-' || !readDigits(text, 8, 2, day) || text[10] != 'T' ||
      !readDigits(text, 11, 2, hour) || text[13] != ':' || !readDigits(text, 14, 2, minute) ||
      text[16] != ':' || !readDigits(text, 17, 2, second)) {
    return std::nullopt;
  }
  int offset = 0;
  if (!parseZone(text.substr(19), offset)) return std::nullopt;
  std::chrono::year_month_day ymd{std::chrono::year(year), std::chrono::month(month),
                                  std::chrono::day(day)};
  if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  int64_t total =
      daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
  if (total < kEarliestDateSeconds || total > kLatestDateSeconds) return std::nullopt;
  return Date{std::chrono::seconds(total)};
}

}  // namespace nimbra
