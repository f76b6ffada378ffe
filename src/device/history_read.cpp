#include "device/history_read.h"

#include <algorithm>

#include "device/exchange.h"
#include "device/open_device.h"
#include "devicelink/iq.h"

namespace nimbra {
namespace {

constexpr std::size_t kFirstRecord = 2;
constexpr std::size_t kRecordSize = 8;
// iq_history_entry needs 255 bytes; one more keeps the buffer a round size.
constexpr std::size_t kEntryBufferSize = 256;

uint32_t littleEndian24(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16);
}

using Catalog = std::array<uint8_t, kHistoryCatalogSize>;

bool readCatalog(Catalog& catalog) {
  return iq_history_catalog(catalog.data()) == static_cast<int32_t>(kHistoryCatalogSize);
}

// Every announced entry, newest position first within each directory, directories in order.
Result<std::vector<HistoryPacket>> readEntries(const HistoryDirectories& directories) {
  std::size_t announced = 0;
  for (const HistoryRange& range : directories) announced += range.end - range.start;
  std::vector<HistoryPacket> packets;
  packets.reserve(announced);

  uint8_t buffer[kEntryBufferSize];
  for (int directory = 0; directory < kHistoryDirectoryCount; ++directory) {
    const HistoryRange range = directories[static_cast<std::size_t>(directory)];
    for (uint32_t position = range.end; position-- > range.start;) {
      const int32_t size = iq_history_entry(static_cast<uint32_t>(directory), position, buffer);
      if (size < 1) return iqosError(historyEntryFailedMessage(directory, position));
      HistoryEntry entry{directory, static_cast<int>(position), size, buffer[0] & 0x7F};
      packets.push_back({entry, std::vector<uint8_t>(buffer, buffer + size)});
    }
  }
  return packets;
}

}  // namespace

std::string historyEntryFailedMessage(int directory, uint32_t position) {
  return "目录 " + std::to_string(directory) + " 位置 " + std::to_string(position) +
         " 读取失败，请重试";
}

std::string historySnapshotMessage(std::size_t packets) {
  return "已读取 " + std::to_string(packets) + " 条设备历史目录记录";
}

Result<HistoryDirectories> parseHistoryCatalog(
    std::span<const uint8_t, kHistoryCatalogSize> catalog) {
  unsigned seen = 0;
  for (int record = 0; record < kHistoryDirectoryCount; ++record) {
    const uint8_t number = catalog[kFirstRecord + kRecordSize * record];
    if (number >= kHistoryDirectoryCount || (seen & (1u << number)) != 0) {
      return iqosError(kHistoryFormatMessage);
    }
    seen |= 1u << number;
  }
  HistoryDirectories directories{};
  for (int record = 0; record < kHistoryDirectoryCount; ++record) {
    const uint8_t* bytes = catalog.data() + kFirstRecord + kRecordSize * record;
    const HistoryRange range{littleEndian24(bytes + 1), littleEndian24(bytes + 4)};
    if (range.end < range.start) return iqosError(kHistoryPositionsMessage);
    directories[bytes[0]] = range;
  }
  return directories;
}

HistoryOutcome readHistoryFromDevice(const std::string& serial, uint32_t epoch,
                                     const std::optional<std::vector<uint8_t>>& previousCatalog) {
  OpenDevice device(serial, epoch);
  if (!device.isOpen()) return iqosError(kHistoryOpenFailedMessage);

  Catalog catalog;
  if (!readCatalog(catalog)) return iqosError(kHistoryCatalogFailedMessage);
  if (previousCatalog && std::ranges::equal(*previousCatalog, catalog)) return HistoryUnchanged{};

  auto directories = parseHistoryCatalog(catalog);
  if (!directories) return directories.error();
  auto packets = readEntries(*directories);
  if (!packets) return packets.error();

  Catalog again;
  if (!readCatalog(again) || again != catalog) return iqosError(kHistoryChangedMessage);

  HistorySnapshot snapshot;
  snapshot.catalog.assign(catalog.begin(), catalog.end());
  snapshot.packets = std::move(*packets);
  snapshot.archiveCount = static_cast<int>(snapshot.packets.size());
  const HistoryRange& first = (*directories)[0];
  snapshot.directoryCount = static_cast<int>(first.end - first.start);
  return snapshot;
}

}  // namespace nimbra
