// The history transfer: iq_history_catalog and iq_history_entry, and the history mode of the
// input-report handler. Runs on the connection thread like iq_exchange and shares its wait.

#include <cstring>

#include "devicelink/iq.h"
#include "devicelink/iq_history_wire.h"
#include "devicelink/iq_module.h"

namespace nimbra::iq {
namespace {

// History replies may span five reports and the device takes longer to gather them.
constexpr std::chrono::milliseconds kHistoryLimit{4000};

constexpr uint8_t kCatalogPayload[] = {0x01, 0x01};

// Sends the request carrying `payload` and waits for the reply; its data is then in the
// module's history reply buffer. 0 or a result code.
int32_t historyExchange(std::span<const uint8_t> payload) {
  ModuleState& module = state();
  if (!connectionIsCurrent()) return IQ_NO_DEVICE;

  uint8_t request[kHidReportSize];
  const std::size_t length = buildHistoryRequest(payload, request);
  module.historySubcommand = payload[1];
  module.assembly.reset();
  module.historyReplyLength = 0;
  module.matchStatus = kPending;

  const int sent = sendReport(request, length);
  if (sent != 0) {
    module.historySubcommand = 0;
    return connectionIsCurrent() ? sent : IQ_NO_DEVICE;
  }
  const WaitOutcome outcome = awaitReply(kHistoryLimit);
  module.historySubcommand = 0;
  switch (outcome.end) {
    case WaitEnd::matched:
      return 0;
    case WaitEnd::deviceFailed:
      return IQ_DEVICE_FAILED;
    case WaitEnd::cancelled:
      return IQ_NO_DEVICE;
    case WaitEnd::timedOut:
      return IQ_TIMEOUT;
    case WaitEnd::failed:
      return outcome.status;
  }
  return IQ_TIMEOUT;
}

std::span<const uint8_t> historyReply() {
  const ModuleState& module = state();
  return {module.historyReply, module.historyReplyLength};
}

}  // namespace

void handleHistoryReport(const uint8_t* report, std::size_t length) {
  ModuleState& module = state();
  const std::span<const uint8_t> message =
      unwrapHistoryReport(module.assembly, std::span<const uint8_t>(report, length));
  if (message.empty()) return;
  const auto parsed = parseHistoryMessage(message, module.historySubcommand);
  if (!parsed) return;
  std::memcpy(module.historyReply, parsed->data.data(), parsed->data.size());
  module.historyReplyLength = parsed->data.size();
  module.matchStatus = parsed->deviceFailed ? kDeviceFailed : kMatched;
}

}  // namespace nimbra::iq

using namespace nimbra::iq;

extern "C" int32_t iq_history_catalog(uint8_t* out) {
  if (out == nullptr) return IQ_BAD_ARGUMENT;
  const int32_t result = historyExchange(kCatalogPayload);
  if (result != 0) return result;
  const std::span<const uint8_t> data = historyReply();
  if (data.size() != kCatalogLength) return IQ_MALFORMED;
  std::memcpy(out, data.data(), kCatalogLength);
  return static_cast<int32_t>(kCatalogLength);
}

extern "C" int32_t iq_history_entry(uint32_t directory, uint32_t position, uint8_t* out) {
  if (directory > kDirectoryLimit || position > kPositionLimit || out == nullptr) {
    return IQ_BAD_ARGUMENT;
  }
  uint8_t payload[kEntryPayloadLength];
  entryRequestPayload(directory, position, payload);
  const int32_t result = historyExchange(payload);
  if (result != 0) return result;
  const std::span<const uint8_t> data = historyReply();
  const int32_t entryLength = checkEntryData(data, payload);
  if (entryLength < 0) return entryLength;
  std::memcpy(out, data.data() + 8, static_cast<std::size_t>(entryLength));
  return entryLength;
}
