#pragma once

// The pieces of the model's status read that run on the device queue: the scan, the choice of
// device, and one pass over every reading and setting of an open device.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/readings.h"
#include "device/setting_write.h"
#include "devicelink/iqos_device.h"

namespace nimbra {

// The devices of an iq_scan text: lines of exactly three tab-separated fields (serial, product,
// manufacturer) naming the right product with a non-empty serial, in scan order. Pure.
std::vector<Device> parseScan(std::string_view text);

// The device to read: the one with serial `selected` if it is still there, else the first;
// empty when there is none. Pure.
std::string chooseDevice(const std::vector<Device>& devices, const std::string& selected);

struct StatusReadResult {
  int openStatus = 0;  // nonzero: iq_open_checked failed with it and nothing else was read
  std::vector<Reading> rows;
  SettingValues values;
  bool powerHint = false;
  int catalogueSettingsRead = 0;  // catalogue settings with a value, the lock not counted
};

// Whether a failed open's status says the user may not open the device node (EACCES or
// EPERM: on Linux, the udev rule that grants access is missing or has not been applied to
// the node yet). Pure.
bool openRefusedForPermission(int openStatus);

// Opens `serial` under `epoch`, reads the ten status commands and the nine settings, closes.
// A failing exchange becomes a row and the pass goes on. Thread: the device queue.
StatusReadResult readStatus(const std::string& serial, uint32_t epoch);

// Whether the rows look like a device that is connected but switched off: identity readable
// on hop 0, nothing from command 128 up, and the battery, system state and at least two more
// of the extension reads refused with application error 02000000. Pure.
bool powerHintApplies(const std::vector<Reading>& rows);

}  // namespace nimbra
