#include "telemetry/telemetry_platform.h"

#include <fstream>
#include <iterator>

#include <sys/utsname.h>
#include <time.h>

#include "nimbra/build_config.h"

namespace nimbra::TelemetryPlatform {
namespace {

constexpr char kDevelopment[] = "development";
constexpr std::string_view kPrettyNameKey = "PRETTY_NAME=";

std::optional<std::string> readText(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// os-release values follow shell quoting: either bare, or in double or single quotes where a
// backslash escapes the next character (only inside double quotes, strictly; taking it in
// single quotes too does no harm for the values found in practice).
std::string unquote(std::string_view value) {
  if (value.empty() || (value.front() != '"' && value.front() != '\'')) {
    return std::string(value);
  }
  const char quote = value.front();
  std::string text;
  for (size_t i = 1; i < value.size() && value[i] != quote; ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    text.push_back(value[i]);
  }
  return text;
}

std::string orDevelopment(const char* value) {
  std::string text(value);
  return text.empty() ? kDevelopment : text;
}

std::string kernelRelease() {
  struct utsname names {};
  if (::uname(&names) != 0) return {};
  return names.release;
}

}  // namespace

std::optional<std::string> prettyName(std::string_view osRelease) {
  std::optional<std::string> found;
  while (!osRelease.empty()) {
    size_t end = osRelease.find('\n');
    std::string_view line = osRelease.substr(0, end);
    osRelease = end == std::string_view::npos ? std::string_view{} : osRelease.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.starts_with(kPrettyNameKey)) found = unquote(line.substr(kPrettyNameKey.size()));
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

std::string osDescription() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    if (std::optional<std::string> text = readText(path)) {
      if (std::optional<std::string> name = prettyName(*text)) return "Linux " + *name;
    }
  }
  return "Linux " + kernelRelease();
}

std::string appBuild() { return orDevelopment(NIMBRA_BUILD); }
std::string appVersion() { return orDevelopment(NIMBRA_VERSION); }

double systemUptime() {
  struct timespec now {};
  // CLOCK_BOOTTIME exists on every kernel nimbra runs on; the fallback only keeps the clock
  // monotonic should it ever be refused.
  if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0) ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace nimbra::TelemetryPlatform
