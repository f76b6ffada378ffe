// iq_exchange and the pieces the history transfer shares with it: sending one report and the
// sliced wait for the reply.

#include <algorithm>
#include <cstring>

#include "devicelink/iq.h"
#include "devicelink/iq_module.h"

namespace nimbra::iq {

namespace {
constexpr std::chrono::milliseconds kExchangeLimit{2000};
constexpr uint32_t kMinRequest = 6;
}  // namespace

int sendReport(const uint8_t* bytes, std::size_t length) {
  ModuleState& module = state();
  module.device->discardQueued();
  uint8_t report[kHidReportSize] = {};
  std::memcpy(report, bytes, std::min(length, kHidReportSize));
  return module.device->write(std::span<const uint8_t, kHidReportSize>(report));
}

// A reply ends the wait as soon as it is read; the epoch and the limit are checked between
// reads, so a cancel is seen within one slice.
WaitOutcome awaitReply(std::chrono::milliseconds limit) {
  ModuleState& module = state();
  HidBackend& backend = *module.backend;
  const auto deadline = backend.now() + limit;
  while (module.matchStatus == kPending) {
    if (!connectionIsCurrent()) return {WaitEnd::cancelled};
    if (backend.now() >= deadline) return {WaitEnd::timedOut};
    const int read =
        module.device->read(std::span<uint8_t, kHidReportSize>(module.inputReport), kSlice);
    // A vanished device fails every read at once; waiting out the limit would only spin.
    if (read < 0) return {WaitEnd::failed, read};
    if (read > 0) handleInputReport(0, module.inputReport, static_cast<std::size_t>(read));
  }
  if (!connectionIsCurrent()) return {WaitEnd::cancelled};
  return {module.matchStatus == kMatched ? WaitEnd::matched : WaitEnd::deviceFailed};
}

}  // namespace nimbra::iq

using namespace nimbra::iq;

extern "C" int32_t iq_exchange(const uint8_t* request, uint32_t length, uint8_t* reply) {
  ModuleState& module = state();
  if (!connectionIsCurrent()) return IQ_NO_DEVICE;
  if (length < kMinRequest || length > nimbra::kHidReportSize || request == nullptr ||
      reply == nullptr) {
    return IQ_BAD_ARGUMENT;
  }

  module.expectedKey = nimbra::iqos::commandKey(request[3], request[4]);
  module.expectedHop = nimbra::iqos::hopOfAddress(request[2]);
  module.expectedFlag = request[3] & nimbra::iqos::kFlagBit;
  module.matchStatus = kPending;
  module.replyLength = 0;

  const int sent = sendReport(request, length);
  if (sent != 0) return sent;

  const WaitOutcome outcome = awaitReply(kExchangeLimit);
  switch (outcome.end) {
    case WaitEnd::matched:
      break;
    case WaitEnd::cancelled:
      return IQ_NO_DEVICE;
    case WaitEnd::failed:
      return outcome.status;
    case WaitEnd::timedOut:
    case WaitEnd::deviceFailed:
      return IQ_TIMEOUT;
  }
  const std::size_t replyLength = std::min(module.replyLength, nimbra::kHidReportSize);
  std::memcpy(reply, module.reply, replyLength);
  return static_cast<int32_t>(replyLength);
}
