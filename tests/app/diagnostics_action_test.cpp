// "copy-diagnostics": the controller copies the report with the last status read added, the
// rows that identify the device masked and their payload withheld; without the program's
// facts it copies nothing.

#include <gtest/gtest.h>

#include "app/controller_fixture.h"

namespace nimbra::testing {
namespace {

TEST_F(ControllerTest, CopyDiagnosticsAddsTheStatusReadWithoutIdentifiers) {
  diagnosticsFacts_ = [] {
    Diagnostics::Facts facts;
    facts.version = "1.2.3";
    return facts;
  };
  loaded();
  connected();
  send({{"action", "copy-diagnostics"}});
  EXPECT_EQ(page_->scripts.back(), "window.sharingResult('copy-diagnostics', true)");
  ASSERT_EQ(sharing_.texts.size(), 1u);
  const std::string& report = sharing_.texts[0];
  EXPECT_NE(report.find("Version: 1.2.3"), std::string::npos) << report;
  EXPECT_NE(report.find("Read at: "), std::string::npos) << report;
  EXPECT_EQ(report.find("only in the report the window copies"), std::string::npos) << report;
  EXPECT_EQ(report.find(kSerial), std::string::npos) << report;
  int identifying = 0;
  for (const Reading& row : model().rows()) {
    if (row.command != 1 && row.command != 12) {
      if (!row.raw.empty()) {
        EXPECT_NE(report.find(row.raw), std::string::npos) << row.name;
      }
      continue;
    }
    ++identifying;
    if (row.value.size() > 2) {
      EXPECT_EQ(report.find(row.value), std::string::npos) << report;
    }
    if (!row.raw.empty()) {
      EXPECT_EQ(report.find(row.raw), std::string::npos) << report;
    }
  }
  EXPECT_GT(identifying, 0);
}

TEST_F(ControllerTest, CopyDiagnosticsWithoutTheProgramsFactsCopiesNothing) {
  loaded();
  send({{"action", "copy-diagnostics"}});
  EXPECT_TRUE(sharing_.texts.empty());
  EXPECT_EQ(page_->scripts.back(), "window.sharingResult('copy-diagnostics', false)");
}

}  // namespace
}  // namespace nimbra::testing
