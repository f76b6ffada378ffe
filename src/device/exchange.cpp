#include "device/exchange.h"

#include <algorithm>
#include <string>

#include "core/hex.h"
#include "devicelink/iq.h"
#include "devicelink/iqos_device.h"

namespace nimbra {
namespace {

constexpr int32_t kMinReply = 6;

}  // namespace

Error iqosError(std::string message) {
  return Error::make(kIqosDomain, kIqosMessageCode, std::move(message));
}

Error transferError(int32_t result) {
  if (result == IQ_TIMEOUT) return iqosError(kTimeoutMessage);
  return iqosError(kTransferFailedPrefix + std::to_string(result));
}

Result<std::vector<uint8_t>> exchange(std::span<const uint8_t> frame) {
  uint8_t reply[64] = {};
  const int32_t result = iq_exchange(frame.data(), static_cast<uint32_t>(frame.size()), reply);
  if (result < kMinReply) return transferError(result);

  const std::size_t length = std::min<std::size_t>(sizeof reply, static_cast<std::size_t>(result));
  const std::span<const uint8_t> payload(reply + 5, length - 6);
  if (reply[3] & iqos::kApplicationErrorBit) {
    const std::string hex = hexString(payload);
    Error error =
        Error::make(kIqosDeviceDomain, kIqosApplicationErrorCode, kApplicationErrorPrefix + hex);
    error.userInfo[kPayloadKey] = hex;
    return error;
  }
  return std::vector<uint8_t>(payload.begin(), payload.end());
}

}  // namespace nimbra
