#pragma once

// What the gadget of the kernel tests is: its identity on the bus, the emulated device behind
// it, and where its control socket listens. The device program and the guest test program
// both build their device from here, so a read through the kernel can be compared with the
// same read against the simulator alone.

#include <cstdint>
#include <string>

#include "sim/simulated_device.h"

namespace nimbra::gadget {

inline constexpr uint16_t kVendorId = 0x2759;
inline constexpr uint16_t kProductId = 0x0003;
inline constexpr char kProduct[] = "IQOS ILUMA i ONE";
inline constexpr char kSerial[] = "NIMBRA-VM-0001";
inline constexpr char kManufacturer[] = "Philip Morris Products S.A.";
// A second gadget with the same IDs but another product, which nimbra must not count.
inline constexpr char kOtherProduct[] = "IQOS ILUMA PRIME";
inline constexpr char kOtherSerial[] = "NIMBRA-VM-0002";
// Non-ASCII, so that a read of it shows hidapi's strings converted to UTF-8.
inline constexpr char kOtherManufacturer[] = "Société Zürich 菲莫";

inline constexpr char kControlSocket[] = "/run/nimbra-usb-gadget.sock";

// The emulated device: realistic status answers and a history whose entries range from one
// report to several parts.
inline sim::SimulatedDeviceState gadgetDeviceState() {
  sim::SimulatedDeviceState device = sim::ilumaOne(kSerial);
  device.manufacturer = kManufacturer;
  device.history.records = {{{0, 3, 9}, {1, 0, 3}, {2, 10, 12}, {3, 0, 1}}};
  return device;
}

}  // namespace nimbra::gadget
