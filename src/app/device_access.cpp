#include "app/device_access.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace nimbra::DeviceAccess {
namespace {

using std::filesystem::path;

bool isFile(const path& file) {
  std::error_code failure;
  return std::filesystem::is_regular_file(file, failure);
}

}  // namespace

std::string shellWord(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' || c == '-' ||
           c == '_' || c == '+';
  });
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

Fix fixFor(bool ruleInstalled, const std::optional<path>& shippedRule) {
  Fix fix;
  fix.ruleInstalled = ruleInstalled;
  if (!ruleInstalled) {
    const std::string target = std::string(kLocalRulesFolder) + "/" + kRuleFileName;
    if (shippedRule) {
      fix.commands.push_back("sudo install -m 644 " + shellWord(shippedRule->string()) + " " +
                             kLocalRulesFolder + "/");
    } else {
      fix.commands.push_back("echo " + shellWord(kRuleLine) + " | sudo tee " + target +
                             " >/dev/null");
    }
  }
  fix.commands.emplace_back(kReloadCommand);
  fix.commands.emplace_back(kTriggerCommand);
  return fix;
}

bool ruleInstalled() {
  for (const char* folder : kRuleFolders) {
    if (isFile(path(folder) / kRuleFileName)) return true;
  }
  return false;
}

std::optional<path> shippedRule(const path& executable) {
  const path prefix = executable.parent_path().parent_path();
  for (const path& candidate :
       {prefix / "share" / "nimbra" / kRuleFileName, prefix / "Resources" / kRuleFileName}) {
    if (isFile(candidate)) return candidate;
  }
  return std::nullopt;
}

Fix currentFix(const path& executable) { return fixFor(ruleInstalled(), shippedRule(executable)); }

}  // namespace nimbra::DeviceAccess
