#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "core/error.h"

// The installer's steps, kept in the job folder's "progress" file (written atomically at
// each step), so that the next start of the program completes or undoes an installation
// whose installer was killed. The order is the installer's:
//   waiting  the job is taken; the old program may still run; nothing touched
//   staged   the new bundle lies next to the target (the staging name); target untouched
//   proving  the new bundle runs from the staging name with the health switch (it dies
//            with the installer)
//   failed   it did not prove healthy (its build is recorded as failed); target untouched
//   proven   it left its health marker and was stopped: it may take the target's place
//   parked   (exchange without RENAME_EXCHANGE) the old bundle is parked; target empty
//   swapped  the proven bundle is at the target
// Any thread; no state.
namespace nimbra::InstallProgress {

inline constexpr char kFile[] = "progress";

enum class Step { waiting, staged, proving, failed, proven, parked, swapped };

const char* name(Step step);
std::optional<Step> parse(std::string_view text);

Status record(const std::filesystem::path& jobDirectory, Step step);
// Absent when the file is missing or unreadable (an installer that never got going).
std::optional<Step> read(const std::filesystem::path& jobDirectory);

}  // namespace nimbra::InstallProgress
