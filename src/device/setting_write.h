#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/error.h"
#include "device/setting.h"

namespace nimbra {

// Setting values by setting id, as the status read found them.
using SettingValues = std::map<std::string, bool>;

inline constexpr char kWriteOpenFailedMessage[] = "无法打开 USB，请退出官方 IQOS 程序";
inline constexpr char kReadBackUnconfirmedMessage[] = "已发送，但设备回读未确认";
inline constexpr char kVibrationUnknownMessage[] = "请先成功读取四项震动设置";
inline constexpr char kVibrationReadBackMessage[] = "震动配置回读不一致";

// Opens the device `serial` under `epoch`, writes `requested` for `setting` and proves it by
// reading the setting back, then closes the device. The vibration alerts are always written
// as one configuration of all four, the others taken from `before`. The first failure ends the
// write; frames already sent are not undone.
// Thread: the device queue.
Status writeSettingOnDevice(const Setting& setting, bool requested, const SettingValues& before,
                            const std::string& serial, uint32_t epoch);

}  // namespace nimbra
