#include "app/screen_state.h"

#include <gtest/gtest.h>

#include "core/dates.h"
#include "core/json_writer.h"

namespace nimbra {
namespace {

DeviceSample exampleSample() {
  DeviceSample sample;
  sample.observedAt = 1780000000.5;
  sample.battery = 80;
  sample.voltageADC = 4000;
  sample.temperatureRaw = 31;
  sample.processCount = 12;
  sample.cumulativePuffCount = 345;
  sample.firmware = "150.6.1";
  sample.engine = "102.6.0";
  sample.settings = {{"light", true}};
  return sample;
}

ScreenState fullState() {
  ScreenState state;
  state.preferences = {"system", "dark"};
  state.effectiveLanguage = "en";
  state.connected = true;
  state.busy = true;
  state.initialReading = false;
  state.connectionFailed = false;
  state.connectionAttempt = 2;
  state.cablePresent = true;
  state.serial = maskSerial("ABCDEFGHIJ");
  state.message = "设备状态已更新";
  state.sample = exampleSample();
  state.settings = {{"light", true}, {"flex", false}};
  state.recent = {exampleSample()};
  state.storageError = "本次采样未能保存到本机数据库。";
  state.history = {{HistoryEntry{0, 40, 18, 18}}};
  state.archiveCount = 1;
  state.directoryCount = 2;
  state.historyError = "无法读取本机加密历史记录。";
  state.observations = {{HistoryObservation{48, *parseIso8601("2026-05-28T09:12:00Z"), 3,
                                            "stick_completed", "session"}}};
  state.analyzing = true;
  state.readingHistory = false;
  state.estimatedUses = 14;
  state.sessionStartedAt = 1780000100.25;
  state.resetTarget = Uuid::parse("5B1F0E3A-8C2D-4E7F-9A10-2B3C4D5E6F70");
  state.resetStatus = "running";
  state.resetWaiting = true;
  state.settingRecords = {SettingRecord{*Uuid::parse("A1B2C3D4-0000-4000-8000-000000000004"),
                                        *parseIso8601("2026-05-28T09:30:00Z"), "v2",
                                        SettingRecord::Values{{"v2", true}}, false, std::nullopt,
                                        SettingRecord::Result::unconfirmed}};
  state.settingJournalError = false;
  state.maintenanceRecords = {{MaintenanceRecord::Action::reset, 1780000000}};
  state.appUpdate = {"1.4.2", "142", "downloading", "1.5.0 (150)", true};
  state.accessFix = DeviceAccess::Fix{true, {"sudo udevadm control --reload-rules"}};
  state.usageData = {.enabled = false, .notice = true};
  return state;
}

// Written by hand from the page contract, key by key.
constexpr char kFullStateJSON[] =
    R"j({"preferences":{"language":"system","theme":"dark"},"effectiveLanguage":"en",)j"
    R"j("connected":true,"busy":true,"initialReading":false,"connectionFailed":false,)j"
    R"j("connectionAttempt":2,"cablePresent":true,"serial":"ABCD••••IJ",)j"
    R"j("message":"设备状态已更新",)j"
    R"j("sample":{"battery":80,"cumulativePuffCount":345,"engine":"102.6.0",)j"
    R"j("firmware":"150.6.1","observedAt":1780000000.5,"processCount":12,)j"
    R"j("settings":{"light":true},"temperatureRaw":31,"voltageADC":4000},)j"
    R"j("settings":{"flex":false,"light":true},)j"
    R"j("recent":[{"battery":80,"cumulativePuffCount":345,"engine":"102.6.0",)j"
    R"j("firmware":"150.6.1","observedAt":1780000000.5,"processCount":12,)j"
    R"j("settings":{"light":true},"temperatureRaw":31,"voltageADC":4000}],)j"
    R"j("storageError":"本次采样未能保存到本机数据库。",)j"
    R"j("history":[{"directory":0,"position":40,"size":18,"format":18}],)j"
    R"j("archiveCount":1,"directoryCount":2,"historyError":"无法读取本机加密历史记录。",)j"
    R"j("observations":[{"position":48,"candidateTime":"2026-05-28T09:12:00Z",)j"
    R"j("tailEntries":3,"eventKind":"stick_completed","kind":"session"}],)j"
    R"j("analyzing":true,"readingHistory":false,"estimatedUses":14,)j"
    R"j("sessionStartedAt":1780000100.25,"resetTarget":"5B1F0E3A-8C2D-4E7F-9A10-2B3C4D5E6F70",)j"
    R"j("resetStatus":"running","resetWaiting":true,)j"
    R"j("settingRecords":[{"id":"A1B2C3D4-0000-4000-8000-000000000004",)j"
    R"j("time":"2026-05-28T09:30:00Z","action":"v2","before":{"v2":true},"requested":false,)j"
    R"j("result":"unconfirmed"}],"settingJournalError":false,)j"
    R"j("maintenanceRecords":[{"action":"reset","startedAt":1780000000.0}],)j"
    R"j("appUpdate":{"version":"1.4.2","build":"142","phase":"downloading",)j"
    R"j("availableVersion":"1.5.0 (150)","automatic":true},)j"
    R"j("accessFix":{"ruleInstalled":true,"commands":["sudo udevadm control --reload-rules"]},)j"
    R"j("usageData":{"enabled":false,"notice":true}})j";

TEST(ScreenStateTest, FullStateEncodesEveryKeyInOrder) {
  EXPECT_EQ(encodeScreenState(fullState()), kFullStateJSON);
}

TEST(ScreenStateTest, AbsentOptionalsAreLeftOutNotNull) {
  ScreenState state;
  state.effectiveLanguage = "zh";
  state.appUpdate = {"—", "—", "idle", std::nullopt, false};
  EXPECT_EQ(encodeScreenState(state),
            R"j({"preferences":{"language":"system","theme":"system"},"effectiveLanguage":"zh",)j"
            R"j("connected":false,"busy":false,"initialReading":false,"connectionFailed":false,)j"
            R"j("cablePresent":false,"message":"","settings":{},"recent":[],"analyzing":false,)j"
            R"j("readingHistory":false,"resetWaiting":false,"settingRecords":[],)j"
            R"j("settingJournalError":false,"maintenanceRecords":[],)j"
            R"j("appUpdate":{"version":"—","build":"—","phase":"idle","automatic":false},)j"
            R"j("usageData":{"enabled":true,"notice":false}})j");
}

TEST(ScreenStateTest, SerialKeepsItsEndsAndHidesAtMostFourCharacters) {
  EXPECT_EQ(maskSerial("ABCDEFGHIJ"), "ABCD••••IJ");
  EXPECT_EQ(maskSerial("ABC"), "•BC");
  EXPECT_EQ(maskSerial("ABCDEF"), "••••EF");
  EXPECT_EQ(maskSerial("ABCDEFG"), "A••••FG");
  EXPECT_EQ(maskSerial("AB"), "AB");
  EXPECT_EQ(maskSerial("A"), "A");
  EXPECT_EQ(maskSerial(""), "");
  EXPECT_EQ(maskSerial("序列号AB"), "•••AB") << "counts characters, not bytes";
}

TEST(ScreenStateTest, TextThatIsNotUTF8StillEncodes) {
  ScreenState state;
  state.message = std::string("bad \xff byte");
  std::string encoded = encodeScreenState(state);
  EXPECT_NE(encoded.find("bad \xEF\xBF\xBD byte"), std::string::npos) << encoded;
}

}  // namespace
}  // namespace nimbra

namespace nimbra {
namespace {

TEST(JsonWriterTest, StringsAndNumbersMatchNlohmann) {
  for (std::string text : {std::string("plain"), std::string("quote \" and \\ slash"),
                           std::string("tab\tline\nnul\0x", 14), std::string("\x01\x1f\x7f"),
                           std::string("设备 · 150.6.1"), std::string("emoji \xF0\x9F\x98\x80")}) {
    JsonWriter writer;
    writer.string(text);
    EXPECT_EQ(writer.take(), nlohmann::json(text).dump()) << text;
  }
  for (double value : {0.0, -0.5, 1780000000.0, 1780000000.25, 1e300, 5e-324}) {
    JsonWriter writer;
    writer.number(value);
    EXPECT_EQ(writer.take(), nlohmann::json(value).dump()) << value;
  }
}

TEST(JsonWriterTest, MalformedUTF8BecomesReplacementCharacters) {
  for (std::string_view bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    JsonWriter writer;
    writer.string(bad);
    std::string out = writer.take();
    EXPECT_TRUE(nlohmann::json::accept(out)) << out;
    EXPECT_NE(out.find("\xEF\xBF\xBD"), std::string::npos);
  }
}

}  // namespace
}  // namespace nimbra
