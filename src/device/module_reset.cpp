#include "device/module_reset.h"

#include <thread>

#include "device/exchange.h"
#include "device/open_device.h"
#include "device/setting_frames.h"
#include "devicelink/iq.h"

namespace nimbra {
namespace {

// A module accepts the reset with an empty, error-free reply.
bool acknowledged(std::string_view frame) {
  const auto reply = exchange(fixedFrame(frame));
  return reply.ok() && reply->empty();
}

bool resetBoth(uint32_t epoch, const SleepFunction& sleep) {
  if (!acknowledged(kEngineResetFrame)) return false;
  sleep(kModuleResetPause);
  if (iq_connection_epoch() != epoch) return false;
  return acknowledged(kControlResetFrame);
}

}  // namespace

void sleepOnThisThread(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

bool resetModulesOnDevice(const std::string& serial, uint32_t epoch, const SleepFunction& sleep) {
  OpenDevice device(serial, epoch);
  return device.isOpen() && resetBoth(epoch, sleep);
}

}  // namespace nimbra
