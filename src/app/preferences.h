#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/presentation.h"
#include "storage/local_settings.h"

// The presentation preferences at start-up and the language the page is shown in.
// Main thread only (the settings store has one writer per key).
namespace nimbra::Preferences {

inline constexpr char kSystemLanguageDefaultAppliedKey[] = "ZuvoSystemLanguageDefaultApplied";

// The stored preferences ("system"/"system" when missing or unreadable). Once per
// installation, while "ZuvoSystemLanguageDefaultApplied" is missing or false, the language
// is reset to "system" (the theme kept), saved, and the flag set.
PresentationPreferences loadPreferences(const LocalSettings& settings);

// A locale name's language code and script, as CLDR's likely subtags fill them in for the
// cases that matter here.
struct Locale {
  std::string language;
  std::string script;  // "Hans", "Hant", or empty when unknown
};

// "zh_CN.UTF-8", "zh-Hant-TW", "en_GB@euro": the encoding and modifier are dropped; "C",
// "POSIX" and empty text are no locale. Chinese without an explicit script is "Hant" for the
// regions TW, HK and MO and "Hans" otherwise (plain "zh", CN, SG, MY).
std::optional<Locale> parseLocale(std::string_view name);

// The user's first preferred language on Linux, which has no list of preferred languages
// with scripts: the first entry of LANGUAGE (colon-separated), else LC_ALL, LC_MESSAGES,
// LANG, whichever is set first and not empty. `getenv` is a seam for tests.
std::optional<Locale> preferredLocale(const std::function<const char*(const char*)>& getenv =
                                          [](const char* name) { return std::getenv(name); });

// Any language but "system" unchanged; "system" is "zh" for Chinese in simplified script and
// "en" for everything else, no preferred language included.
std::string effectiveLanguage(std::string_view language, const std::optional<Locale>& preferred);
// With the process's environment.
std::string effectiveLanguage(std::string_view language);

}  // namespace nimbra::Preferences
