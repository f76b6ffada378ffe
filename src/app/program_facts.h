#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/diagnostics_facts.h"
#include "update/bundle.h"

namespace nimbra::Diagnostics {

// The servers a build (or the demo) talks to; only whether each is set is reported.
struct ServerUrls {
  std::string_view analysis;
  std::string_view update;
};

// How the program was installed, in words: a self-updating bundle, a system package under
// /usr or a build tree (or an unpacked copy), as update_source.h decides it. Pure.
std::string_view installationText(const RunningApp& running, std::string_view updateBaseUrl);

// The folder's regular files counted and summed, links not followed; a folder that cannot
// be read completely reports what could be read. Reads the file system; any thread.
Folder folderAt(std::string role, std::optional<std::filesystem::path> folder);

// The program's own part of the report: version and build, installation, servers, the data,
// key and update folders ($XDG_DATA_HOME, $XDG_CACHE_HOME), whether the udev rule is
// installed, and the home folder. Reads the environment and the file system; any thread.
Facts programFacts(const RunningApp& running, ServerUrls servers);

}  // namespace nimbra::Diagnostics
