#include "device/module_reset.h"

#include <thread>

#include "device/exchange.h"
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
  if (iq_open_checked(serial.c_str(), epoch) != 0) return false;
  const bool reset = resetBoth(epoch, sleep);
  iq_close();
  return reset;
}

}  // namespace nimbra
