#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/error.h"

namespace nimbra {

// A "nimbra.app" folder: "Contents/Info.json" with the bundle values, the programs in
// "Contents/bin", the page in "Contents/Resources" and the signature in
// "Contents/CodeSignature". Values that are missing or not text are absent.
struct BundleValues {
  std::optional<std::string> identifier;     // "CFBundleIdentifier"
  std::optional<std::string> executable;     // "CFBundleExecutable"
  std::optional<std::string> shortVersion;   // "CFBundleShortVersionString"
  std::optional<std::string> version;        // "CFBundleVersion" (the build)
  std::optional<std::string> minimumSystem;  // "LSMinimumSystemVersion" (glibc)
};

namespace Bundle {

inline constexpr char kIdentifier[] = "com.zuvo.devicecenter";
inline constexpr char kExecutable[] = "nimbra";
inline constexpr char kInstallerName[] = "UpdateInstaller";
inline constexpr char kBundleName[] = "nimbra.app";

std::filesystem::path infoFile(const std::filesystem::path& bundle);
std::filesystem::path codeSignatureFolder(const std::filesystem::path& bundle);
std::filesystem::path executable(const std::filesystem::path& bundle);
std::filesystem::path installer(const std::filesystem::path& bundle);

// The values of the bundle's Info.json. Absent when the file is missing, unreadable or not
// a JSON object (the folder is then not a bundle).
std::optional<BundleValues> readValues(const std::filesystem::path& bundle);

}  // namespace Bundle

// Where the running program lives and what it says about itself. Started from a bundle, the
// bundle and its Info.json; started from the build tree or the Debian package, the folder
// of the executable and the build's constants.
struct RunningApp {
  std::filesystem::path bundle;
  bool isBundle = false;
  BundleValues values;

  // The installer program next to the running executable.
  std::filesystem::path installer() const;
  // Where the page lives in a bundle ("Contents/Resources"); absent outside one.
  std::optional<std::filesystem::path> resources() const;

  // From the running executable (runningExecutable).
  static RunningApp current();
  // The same rules for an executable at `executable`.
  static RunningApp forExecutable(const std::filesystem::path& executable);
};

}  // namespace nimbra
