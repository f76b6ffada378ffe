#pragma once

// The emulated device's usage history: four directories of numbered entries, the catalogue
// that announces them, and the history transfer's replies, split into part reports whenever
// a message does not fit one report. Tests set the fields directly, including the faults.
// Thread: whoever owns the device state; nothing here locks.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace nimbra::sim {

// One 8-byte catalogue record.
struct CatalogRecord {
  uint8_t directory = 0;
  uint32_t start = 0;  // first position
  uint32_t end = 0;    // one past the last position
};
using CatalogRecords = std::array<CatalogRecord, 4>;

enum class HistoryFault {
  none,
  deviceFailure,   // status 0xB0 with a valid CRC
  badInnerCrc,     // entry CRC-16 off by one, the message's own CRC right
  shortCatalog,    // 33 catalogue data bytes
  drop,            // no reply at all
  brokenSequence,  // the middle part is left out: 0x82 then 0x00
  tooManyParts,    // the message cut into six parts (first sequence byte 0x85)
  extraByte,       // one stray byte after the message, inside the last part
};

// Which requests a fault spoils.
enum class HistoryFaultOn { everything, catalog, entries };

struct SimulatedHistory {
  CatalogRecords records{{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}}};
  // After the next catalogue reply the catalogue becomes this (a write during a read).
  std::optional<CatalogRecords> recordsAfterNextCatalog;

  // Entry bytes by (directory, position). An announced position without one here is answered
  // with makeEntry(directory, position), or generatedEntry(directory, position) without it.
  std::map<std::pair<int, uint32_t>, std::vector<uint8_t>> entries;
  std::function<std::vector<uint8_t>(int directory, uint32_t position)> makeEntry;

  HistoryFault fault = HistoryFault::none;
  HistoryFaultOn faultOn = HistoryFaultOn::everything;

  int catalogRequests = 0;
  int entryRequests = 0;
};

// An entry of `length` bytes (4 .. 247): byte 0 `first`, byte 1 the length, filler, inner CRC.
std::vector<uint8_t> makeHistoryEntry(uint8_t first, std::size_t length, uint8_t seed = 0);

// A deterministic entry whose length varies with the position from 12 to 247 bytes, so that a
// run of positions mixes single-report and multi-part replies.
std::vector<uint8_t> generatedEntry(int directory, uint32_t position);

// The catalogue's 34 data bytes: 01 01 and the four records.
std::vector<uint8_t> catalogData(const CatalogRecords& records);

// The input reports answering one output report if it is a history request (CRC-16 valid);
// nothing if it is not one, so that the caller can treat it as a command frame.
std::optional<std::vector<std::vector<uint8_t>>> respondToHistory(SimulatedHistory& history,
                                                                  std::span<const uint8_t> report);

}  // namespace nimbra::sim
