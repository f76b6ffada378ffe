#pragma once

#include <filesystem>
#include <optional>
#include <vector>

// Where the program finds its page and icon, relative to its own executable, so the same
// rule serves every way it is laid out:
//   the Debian package   /usr/bin/nimbra             /usr/share/nimbra/web, /usr/share/icons
//   the build tree       build/<preset>/src/nimbra   build/<preset>/share/... (made by CMake)
//   a bundle             nimbra.app/Contents/bin/    nimbra.app/Contents/Resources/...
// Any thread; reads the file system only.
namespace nimbra::ResourceLocation {

// The folder holding "index.html", or none when no candidate has it.
std::optional<std::filesystem::path> pageFolder(const std::filesystem::path& executable);

// Icon theme folders (each holding "hicolor/...") that exist next to the executable.
std::vector<std::filesystem::path> iconFolders(const std::filesystem::path& executable);

}  // namespace nimbra::ResourceLocation
