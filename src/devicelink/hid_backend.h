#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace nimbra {

// Every HID report the device link writes or reads is 64 bytes, byte 0 being the report ID.
inline constexpr std::size_t kHidReportSize = 64;

// One HID device as the backend lists it, strings already converted to UTF-8.
struct HidDeviceInfo {
  std::string path;  // what open() takes
  std::string serial;
  std::string product;
  std::string manufacturer;
};

// One open device. Destroying it closes the device.
// Thread: the connection thread that opened it, for every call.
class HidConnection {
 public:
  virtual ~HidConnection() = default;

  // Writes one 64-byte output report (byte 0 = report ID). 0 or a negative platform status
  // (IQ_STATUS_FROM_ERRNO in devicelink/iq.h).
  virtual int write(std::span<const uint8_t, kHidReportSize> report) = 0;

  // Reads one input report into `buffer`, waiting at most `timeout`; returns as soon as a
  // report is there. The report's length, 0 on time-out, a negative platform status on failure.
  virtual int read(std::span<uint8_t, kHidReportSize> buffer,
                   std::chrono::milliseconds timeout) = 0;

  // Drops every input report already queued for this connection without waiting.
  virtual void discardQueued() = 0;
};

struct HidOpenResult {
  std::unique_ptr<HidConnection> connection;  // null on failure
  int status = 0;                             // negative platform status on failure
};

// Access to the HID bus. hidapi on the real system, the simulator in tests and the demo.
// Thread: the connection thread (hidapi is not thread-safe), apart from construction.
class HidBackend {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~HidBackend() = default;

  // Devices with this vendor and product ID, in the platform's listing order.
  virtual std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) = 0;

  virtual HidOpenResult open(const std::string& path) = 0;

  // The clock the exchange wait measures against; a simulator may run on virtual time.
  virtual TimePoint now() { return std::chrono::steady_clock::now(); }
};

}  // namespace nimbra
