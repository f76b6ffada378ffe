#include "device/frames.h"

#include <optional>

#include "devicelink/crc8.h"
#include "devicelink/iqos_device.h"

namespace nimbra {
namespace {

std::optional<uint8_t> sizeClass(std::size_t payloadLength) {
  switch (payloadLength) {
    case 0:
      return 0;
    case 4:
      return 1;
    case 14:
      return 2;
    case 24:
      return 3;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::vector<uint8_t> makeFrame(int command, int hop, std::span<const uint8_t> payload, bool flag) {
  const auto payloadClass = sizeClass(payload.size());
  if (!payloadClass || command < 0 || command > iqos::kMaxCommand) return {};

  const auto control = static_cast<uint8_t>(
      (flag ? iqos::kFlagBit : 0) | iqos::commandControlBits(command) | (*payloadClass << 2));
  std::vector<uint8_t> frame{iqos::kReportId, static_cast<uint8_t>(payload.size() + 4),
                             hop == 0 ? iqos::kHop0Address : iqos::kOtherHopAddress, control,
                             iqos::commandHighByte(command)};
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.push_back(crc8(std::span<const uint8_t>(frame).subspan(3)));
  return frame;
}

}  // namespace nimbra
