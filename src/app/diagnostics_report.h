#pragma once

#include <string>

#include "core/diagnostics_facts.h"

namespace nimbra::Diagnostics {

// The plain-text report a user attaches to a bug report: sections "nimbra", "System",
// "Device access", "Folders", "Last status read" and "Last errors", one fact a line. The
// serial is masked as the window masks it and paths under the home folder start with "~";
// nothing else is held back, so the facts must hold no key, identifier or history. Without
// window facts the last two sections say that only the window's report has them. Pure.
std::string buildReport(const Facts& facts);

}  // namespace nimbra::Diagnostics
