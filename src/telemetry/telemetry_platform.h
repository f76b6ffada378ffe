#pragma once

#include <optional>
#include <string>
#include <string_view>

// The values telemetry takes from the running system and the build.
namespace nimbra::TelemetryPlatform {

// "Linux " followed by the distribution's own description of itself, the PRETTY_NAME of
// os-release ("Linux Debian GNU/Linux 12 (bookworm)"); where there is none, the kernel
// release as uname reports it ("Linux 6.1.0-18-amd64").
std::string osDescription();

// PRETTY_NAME from the text of an os-release file, unquoted and unescaped; absent when the
// file has none or it is empty.
std::optional<std::string> prettyName(std::string_view osRelease);

// The build's NIMBRA_BUILD and NIMBRA_VERSION, or "development" when the build left them
// empty.
std::string appBuild();
std::string appVersion();

// Seconds since boot on a monotonic clock that keeps counting while the machine sleeps, so
// a back-off is not stretched by a suspend. Any thread.
double systemUptime();

}  // namespace nimbra::TelemetryPlatform
