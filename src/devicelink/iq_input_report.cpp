// The input-report handler: decides whether a report read during a wait is the reply the
// outstanding request waits for.

#include <cstring>

#include "devicelink/crc8.h"
#include "devicelink/iq_module.h"

namespace nimbra::iq {
namespace {

// Ordinary replies: "?" marker, 4 <= n <= 62 with the whole frame inside the report, CRC-8 over
// bytes 3 .. n, and the request's command key, hop bits and flag with the reply bit set. The
// size class and the application-error bit are not compared.
bool isExpectedReply(const ModuleState& module, const uint8_t* report, std::size_t length) {
  if (length < 6 || report[0] != kReportId) return false;
  const std::size_t n = report[1];
  if (n < 4 || n > 62 || n + 2 > length) return false;
  if (crc8(std::span<const uint8_t>(report + 3, n - 2)) != report[n + 1]) return false;
  const unsigned key = iqos::commandKey(report[3], report[4]);
  const unsigned hop = iqos::hopOfAddress(report[2]);
  return key == module.expectedKey && (report[3] & iqos::kReplyBit) != 0 &&
         hop == module.expectedHop && (report[3] & iqos::kFlagBit) == module.expectedFlag;
}

}  // namespace

void handleInputReport(int result, const uint8_t* report, std::size_t length) {
  ModuleState& module = state();
  if (result != 0) return;
  if (module.historySubcommand != 0) {
    handleHistoryReport(report, length);
    return;
  }
  if (!isExpectedReply(module, report, length)) return;
  const std::size_t frameLength = static_cast<std::size_t>(report[1]) + 2;
  std::memcpy(module.reply, report, frameLength);
  module.replyLength = frameLength;
  module.matchStatus = kMatched;
}

}  // namespace nimbra::iq
