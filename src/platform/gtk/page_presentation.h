#pragma once

#include <optional>
#include <string>

namespace nimbra {

// The page's language and light or dark choice, as the window's own widgets (the title
// bar, the share popover) follow them. Read from the screen state the page is given, so
// the window always agrees with what the page shows.
struct PagePresentation {
  enum class Theme { system, light, dark };

  bool english = false;  // the state's "effectiveLanguage" is "en"
  Theme theme = Theme::system;

  bool operator==(const PagePresentation&) const = default;

  // From a screen state's JSON: "effectiveLanguage" and "preferences"."theme". None when the
  // text is not a JSON object; an absent or unknown value reads as Chinese and "system".
  static std::optional<PagePresentation> ofState(const std::string& stateJSON);
};

}  // namespace nimbra
