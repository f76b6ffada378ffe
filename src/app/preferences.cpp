#include "app/preferences.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace nimbra::Preferences {
namespace {

std::vector<std::string_view> splitParts(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '_' || text[i] == '-') {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::string lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

std::string upper(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return result;
}

std::string titleCase(std::string_view text) {
  std::string result = lower(text);
  if (!result.empty()) result[0] = static_cast<char>(std::toupper(result[0]));
  return result;
}

std::string likelyChineseScript(std::string_view region) {
  return region == "TW" || region == "HK" || region == "MO" ? "Hant" : "Hans";
}

}  // namespace

PresentationPreferences loadPreferences(const LocalSettings& settings) {
  PresentationPreferences preferences =
      settings.value<PresentationPreferences>(kPresentationPreferencesKey)
          .value_or(PresentationPreferences{});
  if (!settings.value<bool>(kSystemLanguageDefaultAppliedKey).value_or(false)) {
    preferences.language = "system";
    settings.set(preferences, kPresentationPreferencesKey);
    settings.set(true, kSystemLanguageDefaultAppliedKey);
  }
  return preferences;
}

std::optional<Locale> parseLocale(std::string_view name) {
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return std::nullopt;
  std::vector<std::string_view> parts = splitParts(name);
  Locale locale{lower(parts[0]), ""};
  if (locale.language.empty()) return std::nullopt;
  std::string region;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].size() == 4) {
      locale.script = titleCase(parts[i]);
    } else if (region.empty()) {
      region = upper(parts[i]);
    }
  }
  if (locale.script.empty() && locale.language == "zh") {
    locale.script = likelyChineseScript(region);
  }
  return locale;
}

std::optional<Locale> preferredLocale(const std::function<const char*(const char*)>& getenv) {
  if (const char* list = getenv("LANGUAGE"); list != nullptr && *list != '\0') {
    std::string_view entries(list);
    // Empty entries ("::zh_CN") carry nothing; the first named one is the first choice.
    for (size_t start = 0; start <= entries.size();) {
      size_t end = std::min(entries.find(':', start), entries.size());
      if (end > start) return parseLocale(entries.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(variable);
    if (value != nullptr && *value != '\0') return parseLocale(value);
  }
  return std::nullopt;
}

std::string effectiveLanguage(std::string_view language, const std::optional<Locale>& preferred) {
  if (language != "system") return std::string(language);
  return preferred && preferred->language == "zh" && preferred->script == "Hans" ? "zh" : "en";
}

std::string effectiveLanguage(std::string_view language) {
  return effectiveLanguage(language, preferredLocale());
}

}  // namespace nimbra::Preferences
