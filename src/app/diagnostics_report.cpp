#include "app/diagnostics_report.h"

#include <cstdio>
#include <string_view>

#include "app/screen_state.h"
#include "devicelink/iqos_device.h"

namespace nimbra::Diagnostics {
namespace {

using std::filesystem::path;

const char* yesNo(bool value) { return value ? "yes" : "no"; }

const char* configured(bool value) { return value ? "configured" : "not configured"; }

std::string shown(const path& file, const std::optional<path>& home) {
  if (home && !home->empty()) {
    const path relative = file.lexically_relative(*home);
    if (!relative.empty() && *relative.begin() != "..") {
      return relative == "." ? "~" : "~/" + relative.string();
    }
  }
  return file.string();
}

std::string octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777u);
  return text;
}

std::string hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

void heading(std::string& out, const char* title) {
  out += '\n';
  out += title;
  out += '\n';
  out.append(std::string(title).size(), '-');
  out += '\n';
}

// Labels stay views of their literals: a short literal turned into a std::string is built from
// immediate stores whose fragments ("Installe") lintian reads as misspellings in the binary.
void line(std::string& out, std::string_view label, std::string_view value) {
  out += label;
  out += ": ";
  out += value;
  out += '\n';
}

void program(std::string& out, const Facts& facts) {
  heading(out, "nimbra");
  line(out, "Version", facts.version + " (build " + facts.build + ")");
  line(out, "Installed as", facts.installation);
  line(out, "Executable", shown(facts.executable, facts.home));
  line(out, "Analysis server", configured(facts.analysisServerConfigured));
  line(out, "Update server", configured(facts.updateServerConfigured));
}

void system(std::string& out, const Facts& facts) {
  heading(out, "System");
  line(out, "OS", facts.os.empty() ? "unknown" : facts.os);
  line(out, "Kernel", facts.kernel.empty() ? "unknown" : facts.kernel);
  const char* when = facts.librariesAtRuntime ? "" : " (compiled against)";
  line(out, "GTK", facts.gtkVersion + when);
  line(out, "WebKitGTK", facts.webkitVersion + when);
  line(out, "hidapi", facts.hidapiVersion + when);
}

std::string ruleState(const Facts& facts) {
  if (facts.installedRules.empty()) {
    std::string folders;
    for (const path& folder : facts.ruleFolders) {
      folders += (folders.empty() ? "" : ", ") + folder.string();
    }
    return "not installed (looked in " + folders + ")";
  }
  std::string found;
  for (const path& rule : facts.installedRules)
    found += (found.empty() ? "" : ", ") + rule.string();
  return "installed (" + found + ")";
}

void node(std::string& out, const HidNode& node) {
  out += "  " + node.devnode + ": owner " + node.owner.value_or("unknown") + ", mode " +
         (node.mode ? octal(*node.mode) : std::string("unknown")) + ", read-write for you " +
         yesNo(node.readWrite) + ", uaccess tag " + yesNo(node.uaccessTag) + '\n';
}

void deviceAccess(std::string& out, const Facts& facts) {
  heading(out, "Device access");
  if (facts.simulatedDevice) {
    line(out, "Simulated device", "yes (NIMBRA_SIMULATED_DEVICE=1: the window uses no USB device)");
  }
  line(out, "udev rule 70-nimbra.rules", ruleState(facts));
  const std::string ids = hex4(iqos::kVendorId) + ":" + hex4(iqos::kProductId);
  if (facts.usbScanError) {
    line(out, "USB devices " + ids, "not listed: " + *facts.usbScanError);
    return;
  }
  if (facts.devices.empty()) {
    line(out, "USB devices " + ids, "none connected");
    return;
  }
  line(out, "USB devices " + ids, std::to_string(facts.devices.size()) + " connected");
  for (const UsbDevice& device : facts.devices) {
    out += "- " + device.productName.value_or("(no product name)") + ", serial " +
           (device.serial ? maskSerial(*device.serial) : std::string("none")) + ", " +
           device.location + '\n';
    if (device.nodes.empty()) out += "  no hidraw node\n";
    for (const HidNode& each : device.nodes) node(out, each);
  }
}

void folders(std::string& out, const Facts& facts) {
  heading(out, "Folders");
  for (const Folder& folder : facts.folders) {
    if (!folder.path) {
      line(out, folder.role, "no place (HOME is not set)");
      continue;
    }
    std::string state = "missing";
    if (folder.exists) {
      state = std::to_string(folder.files) + (folder.files == 1 ? " file, " : " files, ") +
              std::to_string(folder.bytes) + " bytes";
    }
    line(out, folder.role, shown(*folder.path, facts.home) + " (" + state + ")");
  }
}

constexpr char kWindowOnly[] =
    "only in the report the window copies (Care, \"Copy diagnostics\")\n";

void lastStatus(std::string& out, const Facts& facts) {
  heading(out, "Last status read");
  if (!facts.window) {
    out += kWindowOnly;
    return;
  }
  if (!facts.window->statusReadAt && facts.window->statusRows.empty()) {
    out += "none since the window opened\n";
    return;
  }
  if (facts.window->statusReadAt) line(out, "Read at", *facts.window->statusReadAt);
  for (const StatusRow& row : facts.window->statusRows) {
    line(out, row.name, row.value + " [" + row.rawHex + "]");
  }
}

void lastErrors(std::string& out, const Facts& facts) {
  heading(out, "Last errors");
  if (!facts.window) {
    out += kWindowOnly;
    return;
  }
  if (facts.window->lastErrors.empty()) out += "none\n";
  for (const LastError& error : facts.window->lastErrors) {
    line(out, error.kind, error.message + (error.when ? " (" + *error.when + ")" : ""));
  }
}

}  // namespace

std::string buildReport(const Facts& facts) {
  std::string out = "nimbra diagnostics\n";
  program(out, facts);
  system(out, facts);
  deviceAccess(out, facts);
  folders(out, facts);
  lastStatus(out, facts);
  lastErrors(out, facts);
  return out;
}

}  // namespace nimbra::Diagnostics
