#pragma once

#include "storage/local_settings.h"

// The user's choice about usage data: whether nimbra records usage events and device
// records and uploads them to the analysis server (telemetry/telemetry.h), and whether the
// short notice that points to the switch in Preferences is still shown. Sending is on until
// the user turns it off; the notice shows from the first start until the user closes it or
// uses the switch. Main thread only (the settings store has one writer per key).
namespace nimbra::UsageData {

inline constexpr char kEnabledKey[] = "NimbraSendUsageData";
inline constexpr char kNoticeSeenKey[] = "NimbraUsageDataNoticeSeen";

struct State {
  bool enabled = true;
  bool notice = false;  // the first-start notice is still to be shown

  bool operator==(const State&) const = default;
};

// As stored; a value that is missing or cannot be read counts as never chosen (sending on,
// notice shown).
State load(const LocalSettings& settings);

// Stores the switch and marks the notice seen. False when either could not be saved (the
// choice then holds for this run only).
bool saveEnabled(const LocalSettings& settings, bool enabled);

// Marks the notice seen; false when that could not be saved.
bool dismissNotice(const LocalSettings& settings);

}  // namespace nimbra::UsageData
