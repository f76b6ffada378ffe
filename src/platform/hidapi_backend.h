#pragma once

#include "devicelink/hid_backend.h"

namespace nimbra {

// The real HID bus through hidapi's hidraw backend. The only place that includes hidapi.h and
// translates its failures: a failing open, write or read becomes IQ_STATUS_FROM_ERRNO(errno)
// (EIO when hidapi leaves no errno), so EACCES from a missing udev rule stays recognisable.
// Thread: hidapi is not thread-safe, so every call, including the first (which initialises
// hidapi), must come from the one device thread.
class HidapiBackend final : public HidBackend {
 public:
  HidapiBackend() = default;
  ~HidapiBackend() override;

  std::vector<HidDeviceInfo> enumerate(uint16_t vendorId, uint16_t productId) override;
  HidOpenResult open(const std::string& path) override;

 private:
  bool initialised_ = false;
  bool ensureInitialised();
};

// What HidConnection::read returns for hid_read_timeout's `returned` and the errno it left:
// the byte count, 0 for an empty slice, or a platform status. hidapi returns -1 when its poll
// is interrupted by a signal (EINTR); that is an empty slice, and only a real failure ends
// the caller's wait. Pure.
int hidReadResult(int returned, int error);

}  // namespace nimbra
