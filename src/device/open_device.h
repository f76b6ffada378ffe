#pragma once

// The device link holds one device open at a time, from iq_open_checked to iq_close. Every
// pass over the device (status read, live status, history read, setting write, module reset)
// holds it through an OpenDevice, so the device is closed however the pass ends. Thread: the
// device queue, like every iq_ call of one connection.

#include <cstdint>
#include <string>

#include "devicelink/iq.h"

namespace nimbra {

class OpenDevice {
 public:
  // Opens `serial` under `epoch`; status() tells whether that worked.
  OpenDevice(const std::string& serial, uint32_t epoch)
      : status_(iq_open_checked(serial.c_str(), epoch)) {}
  // Closes it again (a no-op after a failed open, which leaves nothing open).
  ~OpenDevice() { iq_close(); }

  OpenDevice(const OpenDevice&) = delete;
  OpenDevice& operator=(const OpenDevice&) = delete;

  bool isOpen() const { return status_ == 0; }
  // 0, or the result code of iq_open_checked.
  int32_t status() const { return status_; }

 private:
  int32_t status_;
};

}  // namespace nimbra
