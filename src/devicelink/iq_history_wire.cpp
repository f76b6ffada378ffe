#include "devicelink/iq_history_wire.h"

#include <algorithm>
#include <cstring>

#include "devicelink/crc16.h"
#include "devicelink/iq.h"
#include "devicelink/iqos_device.h"

namespace nimbra::iq {
namespace {

constexpr uint8_t kFirstPartBit = 0x80;
constexpr std::size_t kMessageEnvelope = 5;  // address, status, length, CRC-16
constexpr std::size_t kMinMessage = 7;       // envelope plus the 01 / sub-command echo
constexpr std::size_t kMinEntryData = 12;
constexpr std::size_t kMaxWrapped = 62;

uint16_t littleEndian16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

// Bytes [0, count) of `bytes` carry a CRC-16 in the two bytes that follow them.
bool crcMatches(std::span<const uint8_t> bytes, std::size_t count) {
  return crc16(bytes.first(count)) == littleEndian16(bytes.data() + count);
}

// A part report: byte 2 is the sequence byte, bytes 3 .. n + 1 the next message bytes.
std::span<const uint8_t> takePart(HistoryAssembly& assembly, std::span<const uint8_t> report,
                                  std::size_t n) {
  const uint8_t sequence = report[2];
  const int count = sequence & 0x7F;
  if (sequence & kFirstPartBit) {
    assembly.countdown = count;
    assembly.length = 0;
    if (count > kMaxFollowingParts) {
      assembly.countdown = -1;
      return {};
    }
  } else if (assembly.countdown <= 0 || count != assembly.countdown - 1) {
    assembly.countdown = -1;
    return {};
  } else {
    assembly.countdown = count;
  }
  const std::size_t chunk = n - 1;
  if (assembly.length + chunk > kHistoryMessageLimit) {
    assembly.countdown = -1;
    return {};
  }
  std::memcpy(assembly.bytes + assembly.length, report.data() + 3, chunk);
  assembly.length += chunk;
  if (count != 0) return {};
  assembly.countdown = -1;
  return {assembly.bytes, assembly.length};
}

}  // namespace

std::size_t buildHistoryRequest(std::span<const uint8_t> payload,
                                std::span<uint8_t, kHidReportSize> report) {
  const std::size_t length = std::min(payload.size(), kHistoryPayloadLimit);
  std::fill(report.begin(), report.end(), uint8_t{0});
  report[0] = iqos::kReportId;
  report[1] = static_cast<uint8_t>(length + 5);
  report[2] = iqos::kHop0Address;
  report[3] = iqos::kHistoryCommand;
  report[4] = static_cast<uint8_t>(length);
  std::copy_n(payload.begin(), length, report.begin() + 5);
  const uint16_t crc = crc16(std::span<const uint8_t>(report).subspan(3, length + 2));
  report[5 + length] = static_cast<uint8_t>(crc & 0xFF);
  report[6 + length] = static_cast<uint8_t>(crc >> 8);
  return length + 7;
}

void entryRequestPayload(uint32_t directory, uint32_t position,
                         std::span<uint8_t, kEntryPayloadLength> payload) {
  payload[0] = 0x01;
  payload[1] = 0x02;
  payload[2] = static_cast<uint8_t>(directory);
  payload[3] = 0x01;
  payload[4] = static_cast<uint8_t>(position & 0xFF);
  payload[5] = static_cast<uint8_t>((position >> 8) & 0xFF);
  payload[6] = static_cast<uint8_t>((position >> 16) & 0xFF);
}

std::span<const uint8_t> unwrapHistoryReport(HistoryAssembly& assembly,
                                             std::span<const uint8_t> report) {
  if (report.size() < 3) return {};
  const std::size_t n = report[1];
  if (n < 1 || n > kMaxWrapped || n + 2 > report.size()) return {};
  if (report[0] == iqos::kReportId) return report.subspan(2, n);
  if (report[0] == iqos::kHistoryPartMarker && n >= 2) return takePart(assembly, report, n);
  return {};
}

std::optional<HistoryMessage> parseHistoryMessage(std::span<const uint8_t> message,
                                                  uint8_t subcommand) {
  const std::size_t m = message.size();
  if (m < kMinMessage || m != message[2] + kMessageEnvelope) return std::nullopt;
  if ((message[0] & iqos::kAddressHopBits) != 0) return std::nullopt;
  if ((message[1] | 0x20) != iqos::kHistoryStatusFailure) return std::nullopt;
  if (message[3] != 0x01 || message[4] != subcommand) return std::nullopt;
  if (!crcMatches(message.subspan(1), m - 3)) return std::nullopt;
  return HistoryMessage{message[1] != iqos::kHistoryStatusSuccess, message.subspan(3, message[2])};
}

int32_t checkEntryData(std::span<const uint8_t> data,
                       std::span<const uint8_t, kEntryPayloadLength> requestPayload) {
  if (data.size() < kMinEntryData) return IQ_MALFORMED;
  if (!std::equal(requestPayload.begin(), requestPayload.end(), data.begin())) return IQ_MALFORMED;
  const std::size_t entryLength = data[7];
  if (data.size() != entryLength + 8) return IQ_MALFORMED;
  const std::span<const uint8_t> entry = data.subspan(8, entryLength);
  if (entry[1] != entryLength) return IQ_MALFORMED;
  if (!crcMatches(entry, entryLength - 2)) return IQ_MALFORMED;
  return static_cast<int32_t>(entryLength);
}

}  // namespace nimbra::iq
