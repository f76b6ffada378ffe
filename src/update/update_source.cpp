#include "update/update_source.h"

namespace nimbra {
namespace {

bool underUsr(const std::filesystem::path& folder) {
  auto part = folder.begin();
  return folder.is_absolute() && ++part != folder.end() && *part == "usr";
}

}  // namespace

UpdateSource updateSourceFor(std::string_view updateBaseUrl, const RunningApp& running) {
  if (!running.isBundle && underUsr(running.bundle)) return UpdateSource::systemPackage;
  if (updateBaseUrl.empty()) return UpdateSource::none;
  return UpdateSource::server;
}

const char* updateSourceName(UpdateSource source) {
  switch (source) {
    case UpdateSource::server:
      return "server";
    case UpdateSource::systemPackage:
      return "package";
    case UpdateSource::none:
      return "none";
  }
  return "none";
}

}  // namespace nimbra
