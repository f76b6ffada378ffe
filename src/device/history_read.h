#pragma once

// The device history read: the catalogue, every entry it announces, and the catalogue again
// to prove nothing moved meanwhile. The model runs readHistoryFromDevice as one device task;
// the catalogue checks and the messages are plain functions.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/error.h"
#include "device/history_types.h"

namespace nimbra {

// The catalogue equals the one analysed before: nothing else was read.
struct HistoryUnchanged {
  bool operator==(const HistoryUnchanged&) const = default;
};

// What one history read ends with. Errors are "IQOS" message errors with the texts below.
using HistoryOutcome = std::variant<HistorySnapshot, HistoryUnchanged, Error>;

inline constexpr std::size_t kHistoryCatalogSize = 34;
inline constexpr int kHistoryDirectoryCount = 4;
// The most entries one catalogue may announce, all directories together. An entry is at most
// 255 bytes and a use of the device adds a handful, so 16,384 entries (at most 4 MiB, years of
// daily use) is far above what a device holds, and reading them costs minutes at the usual
// reply time rather than days at the 4-second worst case. A catalogue announcing more is a
// fault and is refused with the format message before anything is requested or allocated.
inline constexpr uint32_t kHistoryEntryLimit = 16384;

inline constexpr char kHistoryReadingMessage[] = "正在读取设备历史…";
inline constexpr char kHistoryOpenFailedMessage[] = "无法打开设备";
inline constexpr char kHistoryCatalogFailedMessage[] = "设备历史目录读取失败";
inline constexpr char kHistoryFormatMessage[] = "设备历史目录格式暂不支持";
inline constexpr char kHistoryPositionsMessage[] = "设备历史目录位置不一致";
inline constexpr char kHistoryChangedMessage[] = "读取期间历史目录发生变化，请重试";

// "目录 N 位置 P 读取失败，请重试"
std::string historyEntryFailedMessage(int directory, uint32_t position);
// "已读取 N 条设备历史目录记录"
std::string historySnapshotMessage(std::size_t packets);

// The entries of one directory: positions start .. end - 1.
struct HistoryRange {
  uint32_t start = 0;
  uint32_t end = 0;
  bool operator==(const HistoryRange&) const = default;
};
// Indexed by directory number.
using HistoryDirectories = std::array<HistoryRange, kHistoryDirectoryCount>;

// Reads the four 8-byte directory records of a 34-byte catalogue. The directory numbers must
// be 0 .. 3, each once, in any order, and no directory may end before it starts; otherwise
// the format or position error. More than kHistoryEntryLimit entries in all: the format
// error. Pure; any thread.
Result<HistoryDirectories> parseHistoryCatalog(
    std::span<const uint8_t, kHistoryCatalogSize> catalog);

// One whole read of the device `serial`, from iq_open_checked (with `epoch`) to iq_close.
// Stops after the first catalogue when it equals `previousCatalog`. Any failure ends the read
// at once and discards what was read so far.
// Thread: the device queue; blocks for up to 4 seconds per request.
HistoryOutcome readHistoryFromDevice(const std::string& serial, uint32_t epoch,
                                     const std::optional<std::vector<uint8_t>>& previousCatalog);

}  // namespace nimbra
