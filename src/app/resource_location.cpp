#include "app/resource_location.h"

#include <system_error>

namespace nimbra::ResourceLocation {
namespace {

using std::filesystem::path;

std::vector<path> resourceRoots(const path& executable) {
  path prefix = executable.parent_path().parent_path();
  return {prefix / "share", prefix / "Resources"};
}

bool isDirectory(const path& folder) {
  std::error_code failure;
  return std::filesystem::is_directory(folder, failure);
}

}  // namespace

std::optional<path> pageFolder(const path& executable) {
  for (const path& root : resourceRoots(executable)) {
    for (const path& folder : {root / "nimbra" / "web", root / "web"}) {
      std::error_code failure;
      if (std::filesystem::is_regular_file(folder / "index.html", failure)) {
        return folder;
      }
    }
  }
  return std::nullopt;
}

std::vector<path> iconFolders(const path& executable) {
  std::vector<path> folders;
  for (const path& root : resourceRoots(executable)) {
    path icons = root / "icons";
    if (isDirectory(icons / "hicolor")) folders.push_back(icons);
  }
  return folders;
}

}  // namespace nimbra::ResourceLocation
