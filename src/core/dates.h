#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace nimbra {

// Stored documents keep dates as seconds since 2001-01-01T00:00:00Z (a JSON number).
double secondsSince2001(Date date);
Date dateFromSecondsSince2001(double seconds);

double secondsSince1970(Date date);
Date dateFromSecondsSince1970(double seconds);

// ISO 8601 in UTC without fractional seconds: "2024-05-01T08:30:00Z".
std::string iso8601(Date date);

// Reads "yyyy-MM-ddTHH:mm:ss" followed by a zone designator: "Z", "+hh:mm", "+hhmm" or
// "+hh" (or "-"). Fractional seconds, a missing zone or anything trailing are rejected.
std::optional<Date> parseIso8601(std::string_view text);

}  // namespace nimbra
