#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace nimbra {

// Date counts nanoseconds since 1970 in 64 bits, so it holds about 1677-09-21T00:12:44Z to
// 2262-04-11T23:47:16Z. Every reader of a date from outside (documents, server replies)
// goes through the checked conversions or parseIso8601, which refuse anything beyond.
inline constexpr int64_t kLatestDateSeconds = 9223372036;  // seconds since 1970
inline constexpr int64_t kEarliestDateSeconds = -9223372036;

// Stored documents keep dates as seconds since 2001-01-01T00:00:00Z (a JSON number).
double secondsSince2001(Date date);
double secondsSince1970(Date date);

// Absent when `seconds` is not finite or the date lies outside the range above.
std::optional<Date> checkedDateFromSecondsSince2001(double seconds);
std::optional<Date> checkedDateFromSecondsSince1970(double seconds);

// For values nimbra made itself: as the checked forms, with a date outside the range moved
// to its nearer end (and NaN to 1970) instead of overflowing.
Date dateFromSecondsSince2001(double seconds);
Date dateFromSecondsSince1970(double seconds);

// ISO 8601 in UTC without fractional seconds: "2024-05-01T08:30:00Z".
std::string iso8601(Date date);

// Reads "yyyy-MM-ddTHH:mm:ss" followed by a zone designator: "Z", "+hh:mm", "+hhmm" or
// "+hh" (or "-"). Fractional seconds, a missing zone, anything trailing and a date outside
// the range above are rejected.
std::optional<Date> parseIso8601(std::string_view text);

}  // namespace nimbra
