#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What a diagnostics report is made of: facts gathered by several layers (the program's own
// build and folders, the system's udev and kernel, the window's toolkit, the device model)
// and turned into text by one pure function (app/diagnostics_report.h). Plain data; it holds
// the device's serial unmasked, so only the report's text may leave the process.
namespace nimbra::Diagnostics {

// A hidraw node of one of the served devices, as udev and stat(2) see it.
struct HidNode {
  std::string devnode;               // "/dev/hidraw3"
  std::optional<std::string> owner;  // "root:plugdev"; absent when stat failed
  std::optional<unsigned> mode;      // the permission bits
  bool readWrite = false;            // access(2) grants this user reading and writing
  bool uaccessTag = false;           // udev's TAGS or CURRENT_TAGS hold "uaccess"
};

struct UsbDevice {
  std::string location;  // "bus 1 device 4"
  std::optional<std::string> productName;
  std::optional<std::string> serial;  // as the device reports it; masked in the report
  std::vector<HidNode> nodes;
};

struct Folder {
  std::string role;  // "data", "key", "update cache"
  std::optional<std::filesystem::path> path;
  bool exists = false;
  uint64_t bytes = 0;  // the regular files below it
  uint64_t files = 0;
};

// One row of the device's last status read, as the window shows it.
struct StatusRow {
  std::string name;
  std::string value;
  std::string rawHex;
};

struct LastError {
  std::string kind;  // "device", "storage", "history", "update"
  std::string message;
  std::optional<std::string> when;  // ISO 8601
};

// What only the running window knows.
struct WindowFacts {
  std::optional<std::string> statusReadAt;
  std::vector<StatusRow> statusRows;
  std::vector<LastError> lastErrors;
};

struct Facts {
  // The program.
  std::string version;
  std::string build;
  std::string installation;  // how it was installed, in words
  std::filesystem::path executable;
  bool analysisServerConfigured = false;
  bool updateServerConfigured = false;
  std::vector<Folder> folders;
  std::optional<std::filesystem::path> home;  // shown as "~" in paths

  // The system.
  std::string os;
  std::string kernel;
  std::string gtkVersion;
  std::string webkitVersion;
  std::string hidapiVersion;
  bool librariesAtRuntime = false;  // false: the versions nimbra was compiled against

  // The device's access.
  bool simulatedDevice = false;  // NIMBRA_SIMULATED_DEVICE=1: the demo, not the USB bus
  std::vector<std::filesystem::path> ruleFolders;     // where the udev rule was looked for
  std::vector<std::filesystem::path> installedRules;  // the ones found
  std::optional<std::string> usbScanError;
  std::vector<UsbDevice> devices;

  // Absent on the command line.
  std::optional<WindowFacts> window;
};

}  // namespace nimbra::Diagnostics
