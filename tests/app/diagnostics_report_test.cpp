// The diagnostics report's text: every section present, the serial masked as the window
// masks it, the window's facts only where the window gave them, and paths under the home
// folder shortened, for the cases a bug report meets (no device, a device the user cannot
// open, a failed listing, the window's report).

#include "app/diagnostics_report.h"

#include <gtest/gtest.h>

namespace nimbra::testing {
namespace {

using namespace Diagnostics;

Facts commonFacts() {
  Facts facts;
  facts.version = "1.4.0";
  facts.build = "140";
  facts.installation = "self-updating bundle";
  facts.executable = "/home/ann/Apps/nimbra.app/Contents/bin/nimbra";
  facts.home = "/home/ann";
  facts.analysisServerConfigured = true;
  facts.os = "Debian GNU/Linux 12 (bookworm)";
  facts.kernel = "Linux 6.1.0 x86_64";
  facts.gtkVersion = "4.8.3";
  facts.webkitVersion = "2.42.1";
  facts.hidapiVersion = "0.13.1";
  facts.ruleFolders = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d"};
  facts.folders = {{"Data", "/home/ann/.local/share/nimbra-local", true, 4096, 3},
                   {"Update cache", "/var/cache/elsewhere", false, 0, 0},
                   {"Key", std::nullopt, false, 0, 0}};
  return facts;
}

UsbDevice refusedDevice() {
  return {"bus 1 device 7",
          "IQOS ILUMA i ONE",
          "ABCDEFGH12",
          {{"/dev/hidraw3", "root:root", 0600u, false, false}}};
}

TEST(DiagnosticsReport, HoldsEverySectionAndNothingSecret) {
  struct Case {
    const char* name;
    std::function<void(Facts&)> change;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const std::string windowOnly = "only in the report the window copies";
  const Case cases[] = {
      {"command line, no device",
       [](Facts&) {},
       {"Version: 1.4.0 (build 140)", "Installed as: self-updating bundle",
        "Executable: ~/Apps/nimbra.app/Contents/bin/nimbra", "Analysis server: configured",
        "Update server: not configured", "GTK: 4.8.3 (compiled against)",
        "USB devices 2759:0003: none connected",
        "not installed (looked in /etc/udev/rules.d, /usr/lib/udev/rules.d)",
        "Data: ~/.local/share/nimbra-local (3 files, 4096 bytes)",
        "Update cache: /var/cache/elsewhere (missing)", "Key: no place", windowOnly},
       {"/home/ann", "Simulated device"}},
      {"a device this user cannot open",
       [](Facts& facts) {
         facts.devices = {refusedDevice()};
         facts.installedRules = {"/usr/lib/udev/rules.d/70-nimbra.rules"};
       },
       {"USB devices 2759:0003: 1 connected",
        "- IQOS ILUMA i ONE, serial ABCD\u2022\u2022\u2022\u202212, bus 1 device 7",
        "/dev/hidraw3: owner root:root, mode 0600, read-write for you no, uaccess tag no",
        "udev rule 70-nimbra.rules: installed (/usr/lib/udev/rules.d/70-nimbra.rules)"},
       {"ABCDEFGH12", "EFGH"}},
      {"a device without a hidraw node, simulated",
       [](Facts& facts) {
         facts.simulatedDevice = true;
         facts.devices = {{"bus 2 device 3", std::nullopt, std::nullopt, {}}};
       },
       {"(no product name), serial none, bus 2 device 3", "no hidraw node",
        "Simulated device: yes"},
       {}},
      {"the listing failed",
       [](Facts& facts) { facts.usbScanError = "udev new: Permission denied"; },
       {"USB devices 2759:0003: not listed: udev new: Permission denied"},
       {"none connected"}},
      {"the window's report",
       [](Facts& facts) {
         facts.librariesAtRuntime = true;
         facts.window =
             WindowFacts{"2026-12-09T02:40:00Z",
                         {{"Battery", "87 %", "57"}, {"Puffs", "12", "0C 00"}},
                         {{"device", "The device did not answer.", "2026-12-09T02:39:10Z"}}};
       },
       {"Read at: 2026-12-09T02:40:00Z", "Battery: 87 % [57]", "Puffs: 12 [0C 00]",
        "device: The device did not answer. (2026-12-09T02:39:10Z)", "GTK: 4.8.3\n"},
       {windowOnly, "compiled against"}},
      {"the window's report before any read",
       [](Facts& facts) { facts.window = WindowFacts{}; },
       {"Last status read\n----------------\nnone since the window opened",
        "Last errors\n-----------\nnone"},
       {windowOnly}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Facts facts = commonFacts();
    c.change(facts);
    const std::string report = buildReport(facts);
    for (const char* section : {"\nnimbra\n", "\nSystem\n", "\nDevice access\n", "\nFolders\n",
                                "\nLast status read\n", "\nLast errors\n"}) {
      EXPECT_NE(report.find(section), std::string::npos) << section;
    }
    for (const std::string& text : c.present) {
      EXPECT_NE(report.find(text), std::string::npos) << text << "\n" << report;
    }
    for (const std::string& text : c.absent) {
      EXPECT_EQ(report.find(text), std::string::npos) << text << "\n" << report;
    }
  }
}

}  // namespace
}  // namespace nimbra::testing
