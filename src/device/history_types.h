#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

namespace nimbra {

// Where one history record lives on the device and what kind it is.
struct HistoryEntry {
  int directory = 0;  // 0 .. 3
  int position = 0;   // position within the directory
  int size = 0;       // bytes returned by the device, inner checksum included
  int format = 0;     // first byte of the record AND 0x7F

  bool operator==(const HistoryEntry&) const = default;
};

// One record exactly as the device returned it.
struct HistoryPacket {
  HistoryEntry entry;
  std::vector<uint8_t> payload;  // `entry.size` bytes

  bool operator==(const HistoryPacket&) const = default;
};

// The result of one complete and consistent history read.
struct HistorySnapshot {
  std::vector<uint8_t> catalog;  // the 34 catalogue bytes as read
  std::vector<HistoryPacket> packets;
  int archiveCount = 0;    // packets read in this pass
  int directoryCount = 0;  // entries announced for directory 0

  bool operator==(const HistorySnapshot&) const = default;
};

// Keys in this order: "directory", "position", "size", "format".
inline nlohmann::ordered_json toJson(const HistoryEntry& entry) {
  nlohmann::ordered_json json;
  json["directory"] = entry.directory;
  json["position"] = entry.position;
  json["size"] = entry.size;
  json["format"] = entry.format;
  return json;
}

}  // namespace nimbra
