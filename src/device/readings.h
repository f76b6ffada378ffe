#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/uuid.h"

namespace nimbra {

// One device found by the scan.
struct Device {
  std::string id;  // USB serial number
  std::string name;
  std::string manufacturer;

  bool operator==(const Device&) const = default;
};

// One row of the status read.
struct Reading {
  Uuid id;
  int module = 0;  // hop
  int command = 0;
  std::string name;
  std::string value;  // formatted value, or the error's message
  std::string raw;    // payload hex (application-error payload on failure), or empty
  bool ok = false;
  std::optional<std::string> applicationError;
};

struct ReadingName {
  int command;
  std::string_view name;
};

inline constexpr std::array<ReadingName, 21> kReadingNames{{
    {0, "软件标识"},     {1, "模块序列号"},     {3, "计时起算日期"},
    {4, "设备时钟"},     {7, "自检结果"},       {8, "状态记录 08"},
    {11, "状态记录 0B"}, {12, "Codentify"},     {16, "家长保护字段"},
    {17, "状态字段 11"}, {128, "校准参数"},     {129, "系统状态"},
    {130, "错误字段"},   {131, "另一电池布局"}, {132, "累计统计（类型未定）"},
    {133, "记录 85"},    {134, "记录 86"},      {135, "配置能力"},
    {136, "配置字段"},   {385, "电池状态"},     {393, "扩展提醒字段"},
}};

struct StatusRead {
  int hop;
  int command;
};

// The commands the status read asks for, in reading order.
inline constexpr std::array<StatusRead, 10> kStatusReads{{
    {0, 0},
    {0, 1},
    {0, 128},
    {0, 129},
    {0, 130},
    {0, 385},
    {1, 0},
    {1, 129},
    {1, 130},
    {1, 134},
}};

// The name of a command from kReadingNames; empty for a command not in the table.
std::string readingName(int command);

// The text the user sees for a reading's payload. Command 4 (the device clock) is shown in
// the process's time zone and LC_TIME locale. Pure apart from that; any thread.
std::string formatValue(int command, std::span<const uint8_t> payload);

// The row for a successful read of `command` on `hop`.
Reading successReading(int hop, int command, std::span<const uint8_t> payload);

// The row for a read that failed with `error`; an application error keeps its payload hex.
Reading errorReading(const Error& error, int hop, int command, std::string name);

}  // namespace nimbra
