#include "core/user_folders.h"

#include <cstdlib>
#include <string>

#include <pwd.h>
#include <unistd.h>

namespace nimbra::UserFolders {
namespace {

using std::filesystem::path;

std::optional<path> absolute(const char* text) {
  if (text == nullptr || !path(text).is_absolute()) return std::nullopt;
  return path(text);
}

std::optional<path> accountHomeOfProcess() {
  // getpwuid's record is static and not thread-safe; getpwuid_r fills one of our own.
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384, '\0');
  passwd record{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &record, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return absolute(found->pw_dir);
}

}  // namespace

Sources Sources::process() {
  return Sources{[](const char* name) { return std::getenv(name); }, accountHomeOfProcess};
}

std::optional<path> folder(Folder which, const Sources& sources) {
  const bool data = which == Folder::data;
  if (std::optional<path> own =
          absolute(sources.variable(data ? "XDG_DATA_HOME" : "XDG_CACHE_HOME"))) {
    return own;
  }
  std::optional<path> home = absolute(sources.variable("HOME"));
  if (!home && sources.accountHome) home = sources.accountHome();
  if (!home || !home->is_absolute()) return std::nullopt;
  return data ? *home / ".local" / "share" : *home / ".cache";
}

}  // namespace nimbra::UserFolders
