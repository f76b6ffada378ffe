#include "core/user_folders.h"

#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace nimbra {
namespace {

using UserFolders::Folder;

struct Case {
  const char* name;
  std::map<std::string, std::string> variables;
  std::optional<std::string> accountHome;
  std::optional<std::string> data;
  std::optional<std::string> cache;
};

// Each folder from its own variable, else from HOME, else from the account record; relative
// values count as unset.
const Case kCases[] = {
    {"own variables",
     {{"XDG_DATA_HOME", "/d"}, {"XDG_CACHE_HOME", "/c"}, {"HOME", "/h"}},
     "/acct",
     "/d",
     "/c"},
    {"home", {{"HOME", "/h"}}, "/acct", "/h/.local/share", "/h/.cache"},
    {"relative variables",
     {{"XDG_DATA_HOME", "d"}, {"HOME", "/h"}},
     {},
     "/h/.local/share",
     "/h/.cache"},
    {"account without HOME", {}, "/acct", "/acct/.local/share", "/acct/.cache"},
    {"account with relative HOME", {{"HOME", "h"}}, "/acct", "/acct/.local/share", "/acct/.cache"},
    {"relative account home", {}, "acct", {}, {}},
    {"nothing", {}, {}, {}, {}},
};

TEST(UserFolders, ComeFromTheVariablesThenHomeThenTheAccount) {
  for (const Case& c : kCases) {
    UserFolders::Sources sources{[&](const char* name) -> const char* {
                                   auto found = c.variables.find(name);
                                   return found == c.variables.end() ? nullptr
                                                                     : found->second.c_str();
                                 },
                                 [&]() -> std::optional<std::filesystem::path> {
                                   if (!c.accountHome) return std::nullopt;
                                   return std::filesystem::path(*c.accountHome);
                                 }};
    auto text = [](std::optional<std::filesystem::path> folder) -> std::optional<std::string> {
      if (!folder) return std::nullopt;
      return folder->string();
    };
    EXPECT_EQ(text(UserFolders::folder(Folder::data, sources)), c.data) << c.name;
    EXPECT_EQ(text(UserFolders::folder(Folder::cache, sources)), c.cache) << c.name;
  }
}

}  // namespace
}  // namespace nimbra
