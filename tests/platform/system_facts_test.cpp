// The system facts read from text: the OS's name from os-release and udev's tag lists.

#include "platform/system_facts.h"

#include <gtest/gtest.h>

namespace nimbra::testing {
namespace {

TEST(SystemFacts, ReadsThePrettyNameAndTags) {
  struct Case {
    std::string_view osRelease;
    std::string name;
  };
  const Case names[] = {
      {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
       "Debian GNU/Linux 12 (bookworm)"},
      {"ID=arch\nPRETTY_NAME='Arch Linux'", "Arch Linux"},
      {"PRETTY_NAME=Plain\n", "Plain"},
      {"MY_PRETTY_NAME=\"No\"\nNAME=Other\n", ""},
      {"", ""},
  };
  for (const Case& c : names) EXPECT_EQ(Diagnostics::osPrettyName(c.osRelease), c.name);

  struct TagCase {
    std::string_view tags;
    bool uaccess;
  };
  const TagCase tags[] = {
      {":seat:uaccess:", true}, {":uaccess:", true}, {":seat:", false},
      {":uaccessx:", false},    {"", false},         {":seat:xuaccess:", false},
  };
  for (const TagCase& c : tags)
    EXPECT_EQ(Diagnostics::hasTag(c.tags, "uaccess"), c.uaccess) << c.tags;
}

}  // namespace
}  // namespace nimbra::testing
