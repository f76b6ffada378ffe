#include "app/preferences.h"

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "app/legacy_migration.h"
#include "storage/key_cache.h"
#include "support/temporary_folder.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using Preferences::effectiveLanguage;
using Preferences::Locale;

class PreferencesTest : public ::testing::Test {
 protected:
  LocalSettings settings() { return LocalSettings(LocalStorage(root_, cache_)); }

  testing::TemporaryFolder folder_{"nimbra-preferences"};
  fs::path root_ = folder_.path();
  KeyCache cache_;
};

TEST_F(PreferencesTest, StoredLanguageBecomesSystemOnceThenStays) {
  settings().set(PresentationPreferences{"en", "dark"}, kPresentationPreferencesKey);

  PresentationPreferences first = Preferences::loadPreferences(settings());
  EXPECT_EQ(first, (PresentationPreferences{"system", "dark"}));
  EXPECT_EQ(settings().value<bool>(Preferences::kSystemLanguageDefaultAppliedKey), true);

  // The user picks English again; later starts keep it.
  settings().set(PresentationPreferences{"en", "dark"}, kPresentationPreferencesKey);
  EXPECT_EQ(Preferences::loadPreferences(settings()), (PresentationPreferences{"en", "dark"}));
  EXPECT_EQ(Preferences::loadPreferences(settings()), (PresentationPreferences{"en", "dark"}));
}

TEST_F(PreferencesTest, MissingOrUnreadableRecordGivesSystemDefaults) {
  EXPECT_EQ(Preferences::loadPreferences(settings()), PresentationPreferences{});
  settings().set(std::string("not an object"), "ZuvoPresentationPreferences");
  settings().set(true, Preferences::kSystemLanguageDefaultAppliedKey);
  EXPECT_EQ(Preferences::loadPreferences(settings()), PresentationPreferences{});
}

std::optional<Locale> fromEnvironment(std::map<std::string, std::string> variables) {
  return Preferences::preferredLocale([&](const char* name) -> const char* {
    auto it = variables.find(name);
    return it == variables.end() ? nullptr : it->second.c_str();
  });
}

TEST(EffectiveLanguage, FirstPreferredLocaleDecides) {
  EXPECT_EQ(effectiveLanguage("system", fromEnvironment({{"LANGUAGE", "zh_TW:zh_CN"}})), "en");
  EXPECT_EQ(effectiveLanguage("system", fromEnvironment({{"LANG", "zh_CN.UTF-8"}})), "zh");
  EXPECT_EQ(effectiveLanguage("system", fromEnvironment({{"LANG", "C"}})), "en");
  EXPECT_EQ(effectiveLanguage("system", fromEnvironment({})), "en");
  // LANGUAGE before LC_ALL before LC_MESSAGES before LANG; empty values do not count.
  EXPECT_EQ(
      effectiveLanguage(
          "system",
          fromEnvironment({{"LANGUAGE", ""}, {"LC_ALL", "zh_SG.UTF-8"}, {"LANG", "en_US.UTF-8"}})),
      "zh");
  EXPECT_EQ(effectiveLanguage("system", fromEnvironment({{"LC_MESSAGES", "zh_HK.UTF-8"},
                                                         {"LANG", "zh_CN.UTF-8"}})),
            "en");
  EXPECT_EQ(effectiveLanguage("system", fromEnvironment({{"LANGUAGE", ":zh:en"}})), "zh");
  // A chosen language is never second-guessed.
  EXPECT_EQ(effectiveLanguage("zh", fromEnvironment({{"LANG", "en_GB.UTF-8"}})), "zh");
  EXPECT_EQ(effectiveLanguage("en", fromEnvironment({{"LANG", "zh_CN.UTF-8"}})), "en");
}

TEST(EffectiveLanguage, ScriptsFollowLikelySubtags) {
  auto script = [](std::string_view name) {
    std::optional<Locale> locale = Preferences::parseLocale(name);
    return locale ? locale->language + "/" + locale->script : std::string("none");
  };
  EXPECT_EQ(script("zh"), "zh/Hans");
  EXPECT_EQ(script("zh_MY.UTF-8"), "zh/Hans");
  EXPECT_EQ(script("zh_MO"), "zh/Hant");
  EXPECT_EQ(script("zh-Hant-CN"), "zh/Hant");  // an explicit script wins over the region
  EXPECT_EQ(script("zh_TW@radical"), "zh/Hant");
  EXPECT_EQ(script("zh-hans-tw"), "zh/Hans");
  EXPECT_EQ(script("en_US.ISO-8859-1"), "en/");
  EXPECT_EQ(script("POSIX"), "none");
  EXPECT_EQ(script("C.UTF-8"), "none");
}

TEST_F(PreferencesTest, LegacyFolderMovesOnlyWhenTheNewOneIsAbsent) {
  fs::create_directories(root_ / "Dovel" / "inner");
  EXPECT_EQ(LegacyMigration::moveLegacyFolder(root_), LegacyMigration::FolderMove::moved);
  EXPECT_TRUE(fs::exists(root_ / "zuvo" / "inner"));
  EXPECT_FALSE(fs::exists(root_ / "Dovel"));
  EXPECT_EQ(LegacyMigration::moveLegacyFolder(root_),
            LegacyMigration::FolderMove::destinationExists);

  // Both present: nothing moves, not even into an empty "zuvo".
  fs::remove_all(root_ / "zuvo");
  fs::create_directories(root_ / "Dovel" / "kept");
  fs::create_directories(root_ / "zuvo");
  EXPECT_EQ(LegacyMigration::moveLegacyFolder(root_),
            LegacyMigration::FolderMove::destinationExists);
  EXPECT_TRUE(fs::exists(root_ / "Dovel" / "kept"));
  EXPECT_TRUE(fs::is_empty(root_ / "zuvo"));

  // A dangling link named "zuvo" counts as present.
  fs::remove_all(root_ / "zuvo");
  fs::create_symlink(root_ / "nowhere", root_ / "zuvo");
  EXPECT_EQ(LegacyMigration::moveLegacyFolder(root_),
            LegacyMigration::FolderMove::destinationExists);
  EXPECT_TRUE(fs::exists(root_ / "Dovel" / "kept"));
}

}  // namespace
}  // namespace nimbra
