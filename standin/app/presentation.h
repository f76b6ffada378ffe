#pragma once

// Stand-in for the controller's app/presentation.h while that is not in this tree (see
// src/CMakeLists.txt); the shape the shell relies on: the two fields, the settings key and
// the JSON conversions. Delete once the controller is merged.

#include <string>

#include <nlohmann/json.hpp>

namespace nimbra {

inline constexpr char kPresentationPreferencesKey[] = "ZuvoPresentationPreferences";

struct PresentationPreferences {
  std::string language = "system";
  std::string theme = "system";
  bool operator==(const PresentationPreferences&) const = default;
};

inline void to_json(nlohmann::json& json, const PresentationPreferences& preferences) {
  json = {{"language", preferences.language}, {"theme", preferences.theme}};
}

inline void from_json(const nlohmann::json& json, PresentationPreferences& preferences) {
  preferences.language = json.at("language").get<std::string>();
  preferences.theme = json.at("theme").get<std::string>();
}

}  // namespace nimbra
