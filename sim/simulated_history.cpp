#include "sim/simulated_history.h"

#include <algorithm>

#include "devicelink/crc16.h"
#include "devicelink/iqos_device.h"

namespace nimbra::sim {
namespace {

using iqos::kHistoryCommand;
constexpr uint8_t kMarker = iqos::kReportId;
constexpr uint8_t kPartMarker = iqos::kHistoryPartMarker;
constexpr uint8_t kAddress = iqos::kHop0Address;
constexpr uint8_t kSuccess = iqos::kHistoryStatusSuccess;
constexpr uint8_t kFailure = iqos::kHistoryStatusFailure;
constexpr std::size_t kReportSize = 64;
constexpr std::size_t kSingleReportLimit = 62;
constexpr std::size_t kPartChunk = 61;
constexpr std::size_t kMinEntry = 4;
constexpr std::size_t kMaxEntry = 247;

void appendCrc(std::vector<uint8_t>& bytes, std::size_t from) {
  const uint16_t crc = crc16(std::span<const uint8_t>(bytes).subspan(from));
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
}

bool spoils(const SimulatedHistory& history, bool catalog) {
  if (history.fault == HistoryFault::none) return false;
  switch (history.faultOn) {
    case HistoryFaultOn::everything:
      return true;
    case HistoryFaultOn::catalog:
      return catalog;
    case HistoryFaultOn::entries:
      return !catalog;
  }
  return false;
}

// The request's payload if `report` is a well-formed history request.
std::optional<std::vector<uint8_t>> historyPayload(std::span<const uint8_t> report) {
  if (report.size() < 7 || report[0] != kMarker || report[2] != kAddress ||
      report[3] != kHistoryCommand) {
    return std::nullopt;
  }
  const std::size_t length = report[4];
  if (report[1] != length + 5 || length + 7 > report.size()) return std::nullopt;
  const uint16_t crc = crc16(report.subspan(3, length + 2));
  if (report[5 + length] != (crc & 0xFF) || report[6 + length] != (crc >> 8)) return std::nullopt;
  return std::vector<uint8_t>(report.begin() + 5,
                              report.begin() + 5 + static_cast<std::ptrdiff_t>(length));
}

const CatalogRecord* recordOf(const CatalogRecords& records, int directory) {
  for (const auto& record : records) {
    if (record.directory == directory) return &record;
  }
  return nullptr;
}

// The data of an entry reply, or nothing when the position is not announced.
std::optional<std::vector<uint8_t>> entryData(SimulatedHistory& history,
                                              const std::vector<uint8_t>& payload, bool spoiled) {
  const int directory = payload[2];
  const uint32_t position = payload[4] | (payload[5] << 8) | (payload[6] << 16);
  const CatalogRecord* record = recordOf(history.records, directory);
  if (record == nullptr || position < record->start || position >= record->end) {
    return std::nullopt;
  }
  const auto found = history.entries.find({directory, position});
  std::vector<uint8_t> entry = found != history.entries.end() ? found->second
                               : history.makeEntry ? history.makeEntry(directory, position)
                                                   : generatedEntry(directory, position);
  if (spoiled && history.fault == HistoryFault::badInnerCrc) entry.back() ^= 0x01;
  std::vector<uint8_t> data = payload;
  data.push_back(static_cast<uint8_t>(entry.size()));
  data.insert(data.end(), entry.begin(), entry.end());
  return data;
}

std::vector<uint8_t> message(uint8_t status, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes{kAddress, status, static_cast<uint8_t>(data.size())};
  bytes.insert(bytes.end(), data.begin(), data.end());
  appendCrc(bytes, 1);
  return bytes;
}

std::vector<uint8_t> report(std::initializer_list<uint8_t> head, std::span<const uint8_t> body) {
  std::vector<uint8_t> bytes(head);
  bytes.insert(bytes.end(), body.begin(), body.end());
  bytes.resize(kReportSize, 0);
  return bytes;
}

// Cuts `bytes` into `count` parts of at most `chunk` bytes, sequence bytes counting down.
std::vector<std::vector<uint8_t>> parts(std::span<const uint8_t> bytes, std::size_t chunk) {
  const std::size_t count = (bytes.size() + chunk - 1) / chunk;
  std::vector<std::vector<uint8_t>> reports;
  for (std::size_t i = 0; i < count; ++i) {
    const auto piece = bytes.subspan(i * chunk, std::min(chunk, bytes.size() - i * chunk));
    uint8_t sequence = static_cast<uint8_t>(count - 1 - i);
    if (i == 0) sequence |= 0x80;
    reports.push_back(
        report({kPartMarker, static_cast<uint8_t>(piece.size() + 1), sequence}, piece));
  }
  return reports;
}

std::vector<std::vector<uint8_t>> wrap(const std::vector<uint8_t>& bytes, HistoryFault fault) {
  const auto chunkFor = [&](std::size_t count) { return (bytes.size() + count - 1) / count; };
  switch (fault) {
    case HistoryFault::drop:
      return {};
    case HistoryFault::tooManyParts:
      return parts(bytes, chunkFor(6));
    case HistoryFault::brokenSequence: {
      auto reports = parts(bytes, chunkFor(3));
      reports.erase(reports.begin() + 1);
      return reports;
    }
    default:
      break;
  }
  if (bytes.size() <= kSingleReportLimit) {
    return {report({kMarker, static_cast<uint8_t>(bytes.size())}, bytes)};
  }
  return parts(bytes, kPartChunk);
}

}  // namespace

std::vector<uint8_t> makeHistoryEntry(uint8_t first, std::size_t length, uint8_t seed) {
  length = std::clamp(length, kMinEntry, kMaxEntry);
  std::vector<uint8_t> entry{first, static_cast<uint8_t>(length)};
  for (std::size_t i = 2; i + 2 < length; ++i) entry.push_back(static_cast<uint8_t>(seed + i));
  appendCrc(entry, 0);
  return entry;
}

std::vector<uint8_t> generatedEntry(int directory, uint32_t position) {
  const std::size_t length = 12 + (position * 53 + static_cast<uint32_t>(directory) * 17) % 236;
  const auto first = static_cast<uint8_t>(0x80 | ((position + directory) % 8));
  return makeHistoryEntry(first, length, static_cast<uint8_t>(position));
}

std::vector<uint8_t> catalogData(const CatalogRecords& records) {
  std::vector<uint8_t> data{0x01, 0x01};
  for (const auto& record : records) {
    data.push_back(record.directory);
    for (uint32_t value : {record.start, record.end}) {
      for (int shift : {0, 8, 16}) data.push_back(static_cast<uint8_t>(value >> shift));
    }
    data.push_back(0);
  }
  return data;
}

std::optional<std::vector<std::vector<uint8_t>>> respondToHistory(
    SimulatedHistory& history, std::span<const uint8_t> request) {
  const auto payload = historyPayload(request);
  if (!payload) return std::nullopt;
  const bool isCatalog = payload->size() == 2 && (*payload)[0] == 1 && (*payload)[1] == 1;
  const bool isEntry =
      payload->size() == 7 && (*payload)[0] == 1 && (*payload)[1] == 2 && (*payload)[3] == 1;
  const bool spoiled = spoils(history, isCatalog);

  uint8_t status = kSuccess;
  std::vector<uint8_t> data;
  if (isCatalog) {
    ++history.catalogRequests;
    data = catalogData(history.records);
    if (spoiled && history.fault == HistoryFault::shortCatalog) data.pop_back();
    if (history.recordsAfterNextCatalog) {
      history.records = *history.recordsAfterNextCatalog;
      history.recordsAfterNextCatalog.reset();
    }
  } else if (auto entry = isEntry ? entryData(history, *payload, spoiled) : std::nullopt) {
    ++history.entryRequests;
    data = std::move(*entry);
  } else {
    if (isEntry) ++history.entryRequests;
    status = kFailure;
    data = {0x01, payload->size() > 1 ? (*payload)[1] : uint8_t{0}};
  }
  if (spoiled && history.fault == HistoryFault::deviceFailure) status = kFailure;

  std::vector<uint8_t> bytes = message(status, data);
  if (spoiled && history.fault == HistoryFault::extraByte) bytes.push_back(0x00);
  return wrap(bytes, spoiled ? history.fault : HistoryFault::none);
}

}  // namespace nimbra::sim
