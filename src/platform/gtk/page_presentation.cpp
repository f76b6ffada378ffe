#include "platform/gtk/page_presentation.h"

#include <nlohmann/json.hpp>

namespace nimbra {

std::optional<PagePresentation> PagePresentation::ofState(const std::string& stateJSON) {
  using nlohmann::json;
  // Only the two top-level keys are kept: the rest of the state (records, samples) is
  // parsed past without being built.
  auto keep = [](int depth, json::parse_event_t event, json& parsed) {
    if (depth == 1 && event == json::parse_event_t::key) {
      const auto& key = parsed.get_ref<const std::string&>();
      return key == "effectiveLanguage" || key == "preferences";
    }
    return true;
  };
  json state = json::parse(stateJSON, keep, false);
  if (!state.is_object()) return std::nullopt;
  PagePresentation presentation;
  auto language = state.find("effectiveLanguage");
  presentation.english = language != state.end() && *language == "en";
  auto preferences = state.find("preferences");
  if (preferences != state.end() && preferences->is_object()) {
    auto theme = preferences->find("theme");
    if (theme != preferences->end() && *theme == "dark") presentation.theme = Theme::dark;
    if (theme != preferences->end() && *theme == "light") presentation.theme = Theme::light;
  }
  return presentation;
}

}  // namespace nimbra
