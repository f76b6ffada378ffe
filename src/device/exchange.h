#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.h"

namespace nimbra {

inline constexpr char kIqosDomain[] = "IQOS";
inline constexpr int kIqosMessageCode = 1;
inline constexpr char kIqosDeviceDomain[] = "IQOSDevice";
inline constexpr int kIqosApplicationErrorCode = 2;
inline constexpr char kPayloadKey[] = "payload";

inline constexpr char kTimeoutMessage[] = "设备响应超时，请退出官方 IQOS 程序后重试";
inline constexpr char kTransferFailedPrefix[] = "USB 传输失败：";
inline constexpr char kApplicationErrorPrefix[] = "设备返回应用错误：";

// A device model message error ("IQOS", 1) with the given text.
Error iqosError(std::string message);

// The error for an iq_exchange result below 6: the time-out text for -3, otherwise the
// transfer failure followed by the result in decimal.
Error transferError(int32_t result);

// Sends one frame through iq_exchange and returns the reply payload (the bytes between the
// command byte and the check byte, possibly empty). A reply flagged as an application error
// becomes an "IQOSDevice" error carrying the payload's hex under "payload".
// Thread: the connection's thread; blocks for at most the 2-second reply wait.
Result<std::vector<uint8_t>> exchange(std::span<const uint8_t> frame);

}  // namespace nimbra
