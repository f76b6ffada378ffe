#include "platform/gtk/page_presentation.h"

#include <string>

#include <gtest/gtest.h>

namespace nimbra {
namespace {

using Theme = PagePresentation::Theme;

struct Case {
  std::string state;
  std::optional<PagePresentation> expected;
};

TEST(PagePresentation, ReadsTheLanguageAndThemeTheStateGivesThePage) {
  const Case cases[] = {
      {R"({"preferences":{"language":"system","theme":"dark"},"effectiveLanguage":"en",)"
       R"("recent":[{"x":1}],"appUpdate":{"phase":"idle"}})",
       PagePresentation{true, Theme::dark}},
      {R"({"preferences":{"language":"zh","theme":"light"},"effectiveLanguage":"zh"})",
       PagePresentation{false, Theme::light}},
      // Nested keys of the same names are not the top-level ones.
      {R"({"sample":{"effectiveLanguage":"en","preferences":{"theme":"dark"}}})",
       PagePresentation{false, Theme::system}},
      {R"({"preferences":{"theme":"blue"},"effectiveLanguage":"fr"})",
       PagePresentation{false, Theme::system}},
      {R"({"preferences":"dark"})", PagePresentation{false, Theme::system}},
      {"[1,2]", std::nullopt},
      {"{\"preferences\":", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PagePresentation::ofState(c.state), c.expected) << c.state;
  }
}

}  // namespace
}  // namespace nimbra
