#pragma once

#include <string_view>

#include "update/bundle.h"

namespace nimbra {

// Where a running nimbra gets its updates from, decided once at start from the build's update
// server and the place the program runs from.
//   server         the update server is asked at launch, hourly and on request (a signed
//                  bundle installs what it finds; any other copy stops at "permission")
//   systemPackage  the program lives under /usr, where the system's package manager put it
//                  and keeps it up to date: no checks
//   none           the build names no update server: no checks
enum class UpdateSource { server, systemPackage, none };

// REQUIRES: `running` as RunningApp::current() gives it. A bundle is never a system package,
// wherever it lies; a program that is not in a bundle counts as one when its folder is under
// /usr (the Debian package installs /usr/bin/nimbra).
UpdateSource updateSourceFor(std::string_view updateBaseUrl, const RunningApp& running);

// The word the page is told: "server", "package" or "none".
const char* updateSourceName(UpdateSource source);

}  // namespace nimbra
