#pragma once

// An emulated "IQOS ILUMA i ONE": a plain state struct that tests set, and respond(), which
// answers one output report the way the device does. Later features (settings, module reset,
// history) add fields to the state and cases to the dispatch in simulated_device.cpp.
// Thread: whoever owns the state; nothing here locks.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "devicelink/iqos_device.h"
#include "sim/simulated_history.h"
#include "sim/simulated_settings.h"

namespace nimbra::sim {

// How the device spoils its reply to ordinary commands.
enum class ReplyFault {
  none,
  drop,        // no reply at all
  badCrc,      // check byte off by one
  noReplyBit,  // bit 7 of the control byte clear
  otherKey,    // a different command number
  otherHop,    // other hop bits in the address byte
  otherFlag,   // flag bit flipped
};

// (hop, command number)
using CommandKey = std::pair<int, int>;

struct SimulatedDeviceState {
  std::string serial = "SIM0000000001";
  std::string product = iqos::kProductName;
  std::string manufacturer = "Philip Morris Products S.A.";

  // Payloads answered to status commands. A command without an entry here or in
  // applicationErrors is answered with application error 02 00 00 00.
  std::map<CommandKey, std::vector<uint8_t>> readings;
  // Commands answered with the application-error bit and this payload.
  std::map<CommandKey, std::vector<uint8_t>> applicationErrors;

  std::chrono::milliseconds replyLatency{0};
  ReplyFault fault = ReplyFault::none;
  bool goodReplyAfterFault = false;  // send the correct reply right after the spoiled one

  bool present = true;  // false: unplugged, every open, write and read fails with ENODEV
  bool vanishOnNextRequest = false;  // unplugged right after taking the next request
  int openErrno = 0;                 // nonzero: open fails with this errno (EACCES: no udev rule)

  // Settings, module reset and the switched-off mode (simulated_settings.h). Switched off,
  // only hop 0 commands 0 and 1 answer; everything else is refused with 02000000.
  SimulatedSettings settings;
  SimulatedModuleReset reset;
  bool switchedOff = false;
  // The clock reboot times are measured on; the steady clock when empty.
  std::function<std::chrono::steady_clock::time_point()> clock;

  // Usage history and its transfer faults (simulated_history.h).
  SimulatedHistory history;

  // What the device received, for tests.
  int requestsReceived = 0;
  std::vector<LoggedFrame> frameLog;
};

// A device with realistic answers to every status command of both hops.
SimulatedDeviceState ilumaOne(std::string serial = "SIM0000000001");

// The input reports the device sends back for one 64-byte output report, in order.
std::vector<std::vector<uint8_t>> respond(SimulatedDeviceState& device,
                                          std::span<const uint8_t> report);

}  // namespace nimbra::sim
