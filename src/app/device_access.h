#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What the user runs when Linux refuses to let nimbra open the device: the udev rule nimbra
// ships grants the user at the desktop access to its HID node, but only once it is installed
// and applied to a node that already exists. Any thread; reads the file system only.
namespace nimbra::DeviceAccess {

inline constexpr char kRuleFileName[] = "70-nimbra.rules";
// Where a rule installed by hand belongs (the package installs under /usr/lib).
inline constexpr char kLocalRulesFolder[] = "/etc/udev/rules.d";
// Every folder udev reads rules from, the local one first.
inline constexpr const char* kRuleFolders[] = {kLocalRulesFolder, "/usr/lib/udev/rules.d",
                                               "/lib/udev/rules.d"};
inline constexpr char kReloadCommand[] = "sudo udevadm control --reload-rules";
// A "change" for every HID node: udev applies the rules to nodes that already exist, and
// nimbra, which watches those events, tries the device again at once.
inline constexpr char kTriggerCommand[] =
    "sudo udevadm trigger --subsystem-match=hidraw --action=change";
// The rule's one line, for a program that cannot find the file it was shipped with.
inline constexpr char kRuleLine[] =
    R"(KERNEL=="hidraw*", SUBSYSTEM=="hidraw", ATTRS{idVendor}=="2759", ATTRS{idProduct}=="0003", TAG+="uaccess")";

struct Fix {
  bool ruleInstalled = false;         // udev already has the rule; it only needs applying
  std::vector<std::string> commands;  // one shell command each, to run in this order
};

// The commands for a rule that is installed (reload and trigger), or else installed from
// the shipped file when there is one, or else written from kRuleLine. Pure.
Fix fixFor(bool ruleInstalled, const std::optional<std::filesystem::path>& shippedRule);

// A path as one shell word (single-quoted unless it needs no quoting). Pure.
std::string shellWord(const std::string& text);

// Whether udev has nimbra's rule in one of its rule folders.
bool ruleInstalled();

// The rule file shipped beside the program's page: share/nimbra (the build tree and the
// package) or Resources (a bundle), relative to the executable's folder's parent.
std::optional<std::filesystem::path> shippedRule(const std::filesystem::path& executable);

// fixFor with what this system and this program have.
Fix currentFix(const std::filesystem::path& executable);

}  // namespace nimbra::DeviceAccess
