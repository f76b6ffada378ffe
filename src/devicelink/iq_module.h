#pragma once

// Internal to the iq_ functions: the module-level state of the one open device and the pieces
// the exchange and the history transfer share (sending, the wait, the input-report handler).
// Thread: the connection thread, except globalEpoch() and installedBackend().

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "devicelink/hid_backend.h"
#include "devicelink/iq_history_wire.h"
#include "devicelink/iqos_device.h"

namespace nimbra::iq {

using iqos::kReportId;
inline constexpr std::size_t kScanTextSize = 8192;
inline constexpr std::chrono::milliseconds kSlice{20};

// Match status values shared with the history transfer.
inline constexpr int32_t kPending = 0;
inline constexpr int32_t kMatched = 1;
inline constexpr int32_t kDeviceFailed = -1;

struct ModuleState {
  std::shared_ptr<HidBackend> backend;  // the backend that opened `device`
  std::unique_ptr<HidConnection> device;
  int32_t connectionEpoch = 0;  // the epoch passed to iq_open_checked

  char scanText[kScanTextSize] = {};
  uint8_t inputReport[kHidReportSize] = {};

  // What the outstanding ordinary exchange waits for.
  unsigned expectedKey = 0;   // 10-bit command number
  unsigned expectedHop = 0;   // 3 bits
  unsigned expectedFlag = 0;  // 0 or 0x40
  int32_t matchStatus = kPending;
  std::size_t replyLength = 0;
  uint8_t reply[kHidReportSize] = {};

  // Nonzero while a history request is outstanding: the handler then expects history replies.
  uint8_t historySubcommand = 0;
  HistoryAssembly assembly;  // the multi-part reply being collected
  std::size_t historyReplyLength = 0;
  uint8_t historyReply[kHistoryMessageLimit] = {};  // data of the accepted history reply
};

ModuleState& state();

// Any thread.
std::atomic<uint32_t>& globalEpoch();
std::shared_ptr<HidBackend> installedBackend();

// An open device whose epoch still equals the global epoch.
bool connectionIsCurrent();

// Drops input reports queued before this request (a late reply to an earlier request of the
// same command would otherwise be taken as this one's answer), then writes `length` bytes
// padded with zeros to one 64-byte report. 0 or a platform status. Requires an open device.
int sendReport(const uint8_t* bytes, std::size_t length);

enum class WaitEnd { matched, deviceFailed, cancelled, timedOut, failed };
struct WaitOutcome {
  WaitEnd end;
  int status = 0;  // the platform status when end == failed
};

// Reads input reports in 20 ms slices and hands each to handleInputReport until the match
// status leaves pending, the epoch changes, `limit` has passed or the read fails.
WaitOutcome awaitReply(std::chrono::milliseconds limit);

// Ordinary mode checks the reply frame; history mode forwards to handleHistoryReport.
void handleInputReport(int result, const uint8_t* report, std::size_t length);
void handleHistoryReport(const uint8_t* report, std::size_t length);

}  // namespace nimbra::iq
