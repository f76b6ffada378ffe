// Feeds arbitrary sequences of input reports to the input-report handler, in ordinary and in
// history mode, and checks that what it keeps stays inside its buffers.
//
// Input: byte 0 picks the mode (bit 0: history) and byte 1 the expected key / sub-command;
// then reports, each a length byte (cut to 64) followed by that many bytes.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "devicelink/iq_module.h"

namespace {

using nimbra::kHidReportSize;
using nimbra::iq::kHistoryMessageLimit;
using nimbra::iq::ModuleState;

void prepare(ModuleState& module, uint8_t mode, uint8_t expected) {
  const bool history = (mode & 1) != 0;
  module.historySubcommand = history ? static_cast<uint8_t>(expected | 1) : 0;
  module.expectedKey = expected;
  module.expectedHop = (mode >> 1) & 7u;
  module.expectedFlag = mode & 0x40u;
  module.matchStatus = nimbra::iq::kPending;
  module.replyLength = 0;
  module.historyReplyLength = 0;
  module.assembly.reset();
}

void checkBounds(const ModuleState& module) {
  if (module.replyLength > kHidReportSize || module.historyReplyLength > kHistoryMessageLimit ||
      module.assembly.length > kHistoryMessageLimit || module.assembly.countdown > 4) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  ModuleState& module = nimbra::iq::state();
  prepare(module, data[0], data[1]);
  std::size_t at = 2;
  while (at < size) {
    const std::size_t wanted = data[at++];
    const std::size_t length = std::min({wanted, size - at, kHidReportSize});
    // The handler reads the module's own 64-byte buffer, as during a real wait.
    std::memset(module.inputReport, 0, sizeof module.inputReport);
    std::memcpy(module.inputReport, data + at, length);
    at += length;
    nimbra::iq::handleInputReport(0, module.inputReport, length);
    checkBounds(module);
  }
  module.historySubcommand = 0;
  return 0;
}
