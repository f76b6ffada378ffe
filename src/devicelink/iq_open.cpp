// iq_scan, iq_open, iq_open_checked, iq_close: finding the device and holding it open.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "devicelink/iq.h"
#include "devicelink/iq_module.h"

namespace nimbra::iq {
namespace {

constexpr std::size_t kFieldLimit = 255;
constexpr std::size_t kLineBufferSize = 900;

// A string property as the scan reports it: at most 255 bytes, tabs and line feeds folded to
// spaces so the text's own separators stay unambiguous. The cut may split a UTF-8 sequence,
// as a fixed 256-byte property buffer does.
std::string foldedField(const std::string& value) {
  std::string field = value.substr(0, kFieldLimit);
  for (char& c : field) {
    if (c == '\t' || c == '\n') c = ' ';
  }
  return field;
}

void appendScanLine(ModuleState& module, std::size_t& textLength, const HidDeviceInfo& info) {
  char line[kLineBufferSize];
  const int written =
      std::snprintf(line, sizeof line, "%s\t%s\t%s\n", foldedField(info.serial).c_str(),
                    foldedField(info.product).c_str(), foldedField(info.manufacturer).c_str());
  if (written <= 0) return;
  const auto lineLength = static_cast<std::size_t>(written);
  // A line that does not fit is skipped; a shorter one after it may still fit.
  if (textLength + lineLength >= kScanTextSize) return;
  std::memcpy(module.scanText + textLength, line, lineLength + 1);
  textLength += lineLength;
}

bool epochStillCurrent(const ModuleState& module) {
  return static_cast<uint32_t>(module.connectionEpoch) ==
         globalEpoch().load(std::memory_order_acquire);
}

void closeDevice(ModuleState& module) {
  module.device.reset();
  module.backend.reset();
}

}  // namespace
}  // namespace nimbra::iq

using namespace nimbra::iq;

extern "C" const char* iq_scan(void) {
  ModuleState& module = state();
  module.scanText[0] = '\0';
  const auto backend = installedBackend();
  if (!backend) return module.scanText;
  std::size_t textLength = 0;
  for (const auto& info : backend->enumerate(nimbra::iqos::kVendorId, nimbra::iqos::kProductId)) {
    appendScanLine(module, textLength, info);
  }
  return module.scanText;
}

extern "C" int32_t iq_open(const char* serial) {
  return iq_open_checked(serial, iq_connection_epoch());
}

extern "C" int32_t iq_open_checked(const char* serial, uint32_t epoch) {
  ModuleState& module = state();
  module.connectionEpoch = static_cast<int32_t>(epoch);
  if (!epochStillCurrent(module)) return IQ_NO_DEVICE;
  closeDevice(module);

  const auto backend = installedBackend();
  if (!backend || serial == nullptr) return IQ_NO_DEVICE;
  const std::string wanted(serial);
  std::string path;
  bool found = false;
  for (const auto& info : backend->enumerate(nimbra::iqos::kVendorId, nimbra::iqos::kProductId)) {
    if (foldedField(info.serial) == wanted) {
      path = info.path;
      found = true;
      break;
    }
  }
  if (!found) return IQ_NO_DEVICE;
  if (!epochStillCurrent(module)) return IQ_NO_DEVICE;

  nimbra::HidOpenResult opened = backend->open(path);
  if (!opened.connection) return opened.status != 0 ? opened.status : IQ_STATUS_FROM_ERRNO(EIO);
  module.device = std::move(opened.connection);
  module.backend = backend;
  return 0;
}

extern "C" void iq_close(void) { closeDevice(state()); }
