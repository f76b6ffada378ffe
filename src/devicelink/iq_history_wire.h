#pragma once

// The history transfer on the wire, as pure functions over bytes: the request report, the
// unwrapping and reassembly of reply reports, and the checks of a reply message and of an
// entry. The iq_ module keeps the state these functions work on; they touch nothing else.
// Thread: any; callers own the state they pass in.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "devicelink/hid_backend.h"

namespace nimbra::iq {

inline constexpr std::size_t kHistoryPayloadLimit = 59;
// Five reports of at most 61 message bytes each could carry more; the device never sends more
// than a 255-byte data field in its 5-byte envelope.
inline constexpr std::size_t kHistoryMessageLimit = 260;
inline constexpr int kMaxFollowingParts = 4;

inline constexpr std::size_t kCatalogLength = 34;
inline constexpr std::size_t kEntryPayloadLength = 7;
inline constexpr uint32_t kDirectoryLimit = 3;
inline constexpr uint32_t kPositionLimit = 0xFFFFFF;

// Writes the history request carrying `payload` (at most 59 bytes) into `report`, zero-padded.
// Returns the length of the frame proper (payload length + 7).
std::size_t buildHistoryRequest(std::span<const uint8_t> payload,
                                std::span<uint8_t, kHidReportSize> report);

// The 7-byte payload of an entry request. Requires directory <= 3 and position <= 0xFFFFFF.
void entryRequestPayload(uint32_t directory, uint32_t position,
                         std::span<uint8_t, kEntryPayloadLength> payload);

// A multi-part reply being collected. countdown is -1 while no reply is being assembled,
// otherwise the sequence count of the last part taken.
struct HistoryAssembly {
  int32_t countdown = -1;
  std::size_t length = 0;
  uint8_t bytes[kHistoryMessageLimit] = {};

  void reset() {
    countdown = -1;
    length = 0;
  }
};

// Takes one input report read in history mode. Returns the message it completes: the whole
// message of a single report (0x3F), or the reassembled parts once the last part (count 0) is
// in. A part that breaks the sequence, announces more than four following parts or would pass
// 260 bytes abandons the reply; such reports and anything unrecognised give an empty span.
// The span points into `report` or into `assembly` and is valid until either changes.
std::span<const uint8_t> unwrapHistoryReport(HistoryAssembly& assembly,
                                             std::span<const uint8_t> report);

struct HistoryMessage {
  bool deviceFailed = false;      // status 0xB0 rather than 0x90
  std::span<const uint8_t> data;  // D bytes, starting with 01 and the sub-command
};

// The status and data of `message` if it is a well-formed reply to `subcommand`: envelope
// length, address bits, status, echo and CRC-16 all right. Otherwise nothing.
std::optional<HistoryMessage> parseHistoryMessage(std::span<const uint8_t> message,
                                                  uint8_t subcommand);

// Checks the data of an entry reply against the request's payload: echo, entry length, the
// entry's own length byte and its inner CRC-16. Returns the entry length E (the entry is
// data[8 .. 8 + E)) or IQ_MALFORMED.
int32_t checkEntryData(std::span<const uint8_t> data,
                       std::span<const uint8_t, kEntryPayloadLength> requestPayload);

}  // namespace nimbra::iq
