#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nimbra {

inline constexpr char kPresentationPreferencesKey[] = "ZuvoPresentationPreferences";

// The page's language and theme as the user chose them. Stored as the JSON object
// {"language": …, "theme": …} under kPresentationPreferencesKey.
struct PresentationPreferences {
  std::string language = "system";  // "system", "zh" or "en"
  std::string theme = "system";     // "dark", "light" or "system"

  static bool isLanguage(std::string_view value) {
    return value == "system" || value == "zh" || value == "en";
  }
  static bool isTheme(std::string_view value) {
    return value == "dark" || value == "light" || value == "system";
  }
  // Both fields valid; only then is a record from the page or from the file used.
  static std::optional<PresentationPreferences> make(std::string_view language,
                                                     std::string_view theme) {
    if (!isLanguage(language) || !isTheme(theme)) return std::nullopt;
    return PresentationPreferences{std::string(language), std::string(theme)};
  }

  bool operator==(const PresentationPreferences&) const = default;
};

// Keys in the order "language", "theme".
inline nlohmann::ordered_json toJson(const PresentationPreferences& preferences) {
  nlohmann::ordered_json json;
  json["language"] = preferences.language;
  json["theme"] = preferences.theme;
  return json;
}

inline void to_json(nlohmann::json& json, const PresentationPreferences& preferences) {
  json = {{"language", preferences.language}, {"theme", preferences.theme}};
}

// Throws nlohmann::json::exception on a missing, mistyped or unknown value.
inline void from_json(const nlohmann::json& json, PresentationPreferences& preferences) {
  std::optional<PresentationPreferences> made = PresentationPreferences::make(
      json.at("language").get<std::string>(), json.at("theme").get<std::string>());
  if (!made) throw nlohmann::json::type_error::create(302, "unknown language or theme", &json);
  preferences = *made;
}

}  // namespace nimbra
