#include "app/data_export.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/export_sources.h"
#include "app/file_chooser.h"
#include "controller_fixture.h"
#include "core/dates.h"
#include "core/file_system.h"
#include "storage/day_file.h"
#include "storage/device_store.h"
#include "storage/key_cache.h"
#include "support/temporary_folder.h"

namespace nimbra::testing {
namespace {

// Splits RFC 4180 text into rows of fields, as a strict reader would.
std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      row.push_back(std::move(field));
      field.clear();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      row.push_back(std::move(field));
      field.clear();
      rows.push_back(std::move(row));
      row.clear();
      ++i;
    } else {
      field += c;
    }
  }
  EXPECT_TRUE(field.empty() && row.empty()) << "text does not end with a CRLF";
  return rows;
}

TEST(DataExportTest, CsvFieldsAndTimes) {
  struct Case {
    std::string in;
    std::string field;
  };
  const std::vector<Case> fields{
      {"", ""},
      {"plain text", "plain text"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},
      {"line\nbreak", "\"line\nbreak\""},
      {"cr\rhere", "\"cr\rhere\""},
      {"\r\n", "\"\r\n\""},
      {"中文;=", "中文;="},
  };
  for (const Case& c : fields) {
    EXPECT_EQ(DataExport::csvField(c.in), c.field) << c.in;
    std::string row;
    DataExport::appendCsvRow(row, {c.in, "x"});
    EXPECT_EQ(parseCsv(row), (std::vector<std::vector<std::string>>{{c.in, "x"}})) << c.in;
  }

  struct Time {
    double seconds;
    std::string text;
  };
  const std::vector<Time> times{
      {0, "1970-01-01T00:00:00.000Z"},
      {1714552200.25, "2024-05-01T08:30:00.250Z"},
      {1714552200.9996, "2024-05-01T08:30:01.000Z"},
      {-0.5, "1969-12-31T23:59:59.500Z"},
      {86399.999, "1970-01-01T23:59:59.999Z"},
  };
  for (const Time& t : times) EXPECT_EQ(DataExport::sampleTime(t.seconds), t.text) << t.seconds;
}

// A full day of samples (one every 5 s) as the store seals it, exported and read back field by
// field. With NIMBRA_EXPORT_CHECK_DIR set it leaves the CSV and the store's samples there for
// the check with Python's csv module (check_export_csv.py).
TEST(DataExportTest, FullDayMatchesSealedDayFile) {
  constexpr int64_t kDay = 19844;  // 2024-05-01
  constexpr int kSamples = 17280;
  constexpr char kKey[] = "SIM0000000001";
  TemporaryFolder folder("nimbra-export-test");
  KeyCache cache;
  LocalStorage storage(folder.path(), cache);
  FakeClock clock(dateFromSecondsSince1970(kDay * kSampleDayLength + 86000));
  Result<DeviceStore> store = DeviceStore::open(storage, clock);
  ASSERT_TRUE(store.ok());

  std::vector<DeviceSample> day;
  for (int i = 0; i < kSamples; ++i) {
    DeviceSample sample;
    sample.observedAt = static_cast<double>(kDay) * kSampleDayLength + i * 5.0 + 0.25;
    sample.battery = 100 - i / 200;
    sample.voltageADC = 3900 + i % 97;
    if (i % 3 != 0) sample.temperatureRaw = 250 + i % 11;
    sample.processCount = i / 600;
    sample.cumulativePuffCount = 1000 + i / 40;
    sample.firmware = "v1.2.3";
    if (i % 1000 == 7) sample.engine = "E,2 \"beta\"\r\nnext";
    sample.settings = {{"light", i % 2 == 0}, {"flex", false}};
    if (i % 5 == 0) sample.settings["lock"] = true;
    day.push_back(std::move(sample));
  }
  Result<std::string> directory = deviceDirectoryName("iqos", "m0033", "usb-hid", kKey);
  ASSERT_TRUE(directory.ok());
  const std::filesystem::path file = store->root() / *directory / dayFileName(kDay);
  ASSERT_TRUE(createDirectories(file.parent_path(), 0700).ok());
  ASSERT_TRUE(saveDayFile(storage, file, day).ok());
  // The store itself reads the file as its own.
  Result<std::vector<DeviceSample>> recent = store->recent(DeviceProfile::iqosIlumaOne(), kKey);
  ASSERT_TRUE(recent.ok());
  ASSERT_EQ(recent->size(), DeviceStore::kRecentCount);
  EXPECT_EQ(recent->back(), day.back());

  const double from = static_cast<double>(kDay) * kSampleDayLength;
  auto exported =
      ExportSources::samples(storage, DeviceProfile::iqosIlumaOne(), from, from + kSampleDayLength);
  ASSERT_TRUE(exported.ok());
  const std::string csv = DataExport::samplesCsv(*exported);
  Result<std::vector<DeviceSample>> sealed = loadDayFile(storage, file);
  ASSERT_TRUE(sealed.ok());
  ASSERT_EQ(sealed->size(), static_cast<size_t>(kSamples));

  std::vector<std::vector<std::string>> rows = parseCsv(csv);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kSamples) + 1);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"device", "observedAt", "battery", "voltageADC",
                                               "temperatureRaw", "processCount",
                                               "cumulativePuffCount", "firmware", "engine",
                                               "setting.flex", "setting.light", "setting.lock"}));
  auto integer = [](const std::optional<int64_t>& v) { return v ? std::to_string(*v) : ""; };
  auto setting = [](const DeviceSample& s, const char* id) -> std::string {
    auto found = s.settings.find(id);
    return found == s.settings.end() ? "" : found->second ? "true" : "false";
  };
  for (int i = 0; i < kSamples; ++i) {
    const DeviceSample& s = (*sealed)[i];
    std::vector<std::string> expected{kKey,
                                      DataExport::sampleTime(s.observedAt),
                                      integer(s.battery),
                                      integer(s.voltageADC),
                                      integer(s.temperatureRaw),
                                      integer(s.processCount),
                                      integer(s.cumulativePuffCount),
                                      s.firmware.value_or(""),
                                      s.engine.value_or(""),
                                      setting(s, "flex"),
                                      setting(s, "light"),
                                      setting(s, "lock")};
    ASSERT_EQ(rows[i + 1], expected) << "sample " << i;
  }

  if (const char* out = std::getenv("NIMBRA_EXPORT_CHECK_DIR"); out != nullptr && *out) {
    std::ofstream(std::filesystem::path(out) / "samples.csv", std::ios::binary) << csv;
    std::ofstream(std::filesystem::path(out) / "store.json", std::ios::binary)
        << nlohmann::json{{"device", kKey}, {"samples", *sealed}}.dump();
  }
}

// Answers every request with the destination the test set, or with none.
class FakeChooser final : public FileChooser {
 public:
  void chooseSaveDestination(const Request& request, Chosen chosen) override {
    requests.push_back(request);
    chosen(answer);
  }
  std::optional<std::filesystem::path> answer;
  std::vector<Request> requests;
};

class ExportActionTest : public ControllerTest {};

TEST_F(ExportActionTest, WritesTheChosenFileAndTellsThePage) {
  FakeChooser chooser;
  fileChooser_ = &chooser;
  loaded();
  struct Case {
    nlohmann::json body;
    std::optional<std::filesystem::path> destination;
    std::string suggested;
    std::string title;   // the page's, in its language, else the program's own
    std::string result;  // the page's exportResult without "detail"; empty: none
  };
  const std::filesystem::path out = folder_.path() / "out";
  ASSERT_TRUE(createDirectories(out, 0700).ok());
  const double from = 1714521600;  // 2024-05-01T00:00:00Z
  const std::vector<Case> cases{
      {{{"action", "export"}, {"kind", "maintenance"}, {"title", "导出维护记录"}},
       out / "m.csv",
       "nimbra-maintenance-2025-12-18.csv",
       "导出维护记录",
       R"({"count":0,"file":"m.csv","kind":"maintenance","ok":true})"},
      {{{"action", "export"},
        {"kind", "samples"},
        {"from", from},
        {"to", from + 86400},
        {"fromDay", "2024-05-01"},
        {"toDay", "2024-05-01"}},
       out / "s.csv",
       "nimbra-samples-2024-05-01.csv",
       "Export samples",
       R"({"count":0,"file":"s.csv","kind":"samples","ok":true})"},
      {{{"action", "export"}, {"kind", "history"}},
       out / "missing" / "h.json",
       "nimbra-history-2025-12-18.json",
       "Export history records",
       R"({"file":"h.json","kind":"history","ok":false,"reason":"write"})"},
      {{{"action", "export"}, {"kind", "journal"}},
       std::nullopt,
       "nimbra-setting-journal-2025-12-18.csv",
       "Export setting journal",
       ""},
      // Not asked at all: a range backwards, an unknown kind.
      {{{"action", "export"}, {"kind", "samples"}, {"from", from}, {"to", from}},
       out / "x",
       "",
       "",
       ""},
      {{{"action", "export"}, {"kind", "secrets"}}, out / "x", "", "", ""},
  };
  for (const Case& c : cases) {
    chooser.requests.clear();
    page_->scripts.clear();
    chooser.answer = c.destination;
    send(c.body);
    SCOPED_TRACE(c.body.dump());
    ASSERT_EQ(chooser.requests.size(), c.suggested.empty() ? 0u : 1u);
    if (!c.suggested.empty()) {
      EXPECT_EQ(chooser.requests[0].suggestedName, c.suggested);
      EXPECT_EQ(chooser.requests[0].title, c.title);
    }
    std::vector<std::string> results;
    for (const std::string& script : page_->scripts) {
      if (!script.starts_with("window.exportResult(")) continue;
      auto json = nlohmann::json::parse(script.substr(20, script.size() - 21));
      if (json.value("ok", true)) {
        Result<std::string> text = readFile(*c.destination);
        EXPECT_TRUE(text.ok() &&
                    text->starts_with(c.body["kind"] == "samples" ? "device," : "action,"));
      } else {
        EXPECT_FALSE(json["detail"].get<std::string>().empty());
      }
      json.erase("detail");
      results.push_back(json.dump());
    }
    EXPECT_EQ(results,
              c.result.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.result});
  }
}

}  // namespace
}  // namespace nimbra::testing
