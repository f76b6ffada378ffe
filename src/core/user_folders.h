#pragma once

#include <filesystem>
#include <functional>
#include <optional>

// Where the user's own folders are, decided in one place for every part of nimbra (the stores,
// telemetry, the updater's cache, the migration of the former product's folder). Any thread.
namespace nimbra::UserFolders {

// What the folders are worked out from: an environment variable (getenv) and the home folder
// the account database gives this user (getpwuid), for a session without HOME.
struct Sources {
  std::function<const char*(const char*)> variable;
  std::function<std::optional<std::filesystem::path>()> accountHome;

  static Sources process();
};

enum class Folder { data, cache };

// $XDG_DATA_HOME or $XDG_CACHE_HOME when it is an absolute path; otherwise ".local/share" or
// ".cache" in the home folder: $HOME when absolute, else the account's. Absent when none of
// them names an absolute path.
std::optional<std::filesystem::path> folder(Folder which,
                                            const Sources& sources = Sources::process());

}  // namespace nimbra::UserFolders
