#include "sample_fixture.h"

namespace nimbra::testing {
namespace {

TEST_F(SampleStoreTest, SamplesGoToTheirUtcDayFile) {
  setToday(0);
  DeviceStore store = openStore();
  EXPECT_EQ(store.root(), dataDir() / "DeviceSamples");
  ASSERT_OK(store.append(sampleAt(kDay - 0.5), profile_, kDeviceKey));
  ASSERT_OK(store.append(sampleAt(kDay), profile_, kDeviceKey));
  ASSERT_OK(store.append(sampleAt(-0.5), profile_, kDeviceKey));
  EXPECT_EQ(timesOf(samplesIn(dayFile(0))), std::vector<double>{kDay - 0.5});
  EXPECT_EQ(timesOf(samplesIn(dayFile(1))), std::vector<double>{kDay});
  EXPECT_EQ(timesOf(samplesIn(dayFile(-1))), std::vector<double>{-0.5});
  EXPECT_EQ(modeOf(deviceDir()), 0700u);
  EXPECT_EQ(modeOf(dayFile(0)), 0600u);
}

TEST_F(SampleStoreTest, RepeatedReadingIsStoredOnceAndLateOnesAtTheEnd) {
  setToday(20000);
  DeviceStore store = openStore();
  double base = 20000 * kDay;
  ASSERT_OK(store.append(sampleAt(base + 100), profile_, kDeviceKey));
  std::string written = readAll(dayFile(20000));
  ASSERT_OK(store.append(sampleAt(base + 100, 99), profile_, kDeviceKey));
  EXPECT_EQ(readAll(dayFile(20000)), written);  // any rewrite would carry a fresh nonce
  ASSERT_OK(store.append(sampleAt(base + 50), profile_, kDeviceKey));
  EXPECT_EQ(timesOf(samplesIn(dayFile(20000))), (std::vector<double>{base + 100, base + 50}));
}

TEST_F(SampleStoreTest, PlaintextIsExactlyTheEncodingOfTheWholeDay) {
  setToday(20000);
  std::vector<DeviceSample> all;
  double base = 20000 * kDay;
  {
    DeviceStore store = openStore();
    for (int i = 0; i < 5; ++i) {
      DeviceSample sample = sampleAt(base + i * 5.123456789, -i * 1000000000000LL);
      if (i == 1) sample.engine = "E \"quoted\" \\ tab\t 温度 \x01";
      if (i == 2) sample.settings["名字"] = true;
      if (i == 3) sample = DeviceSample{base + 1e-7, {}, {}, {}, {}, {}, {}, {}, {}};
      if (i == 4) sample.observedAt = base + 86399.875;
      all.push_back(sample);
      ASSERT_OK(store.append(sample, profile_, kDeviceKey));
      EXPECT_EQ(plaintextOf(dayFile(20000)), nlohmann::json(all).dump());
    }
  }
  DeviceStore reopened = openStore();  // the cache is rebuilt from the file
  all.push_back(sampleAt(base + 7));
  ASSERT_OK(reopened.append(all.back(), profile_, kDeviceKey));
  EXPECT_EQ(plaintextOf(dayFile(20000)), nlohmann::json(all).dump());
  EXPECT_EQ(samplesIn(dayFile(20000)), all);
}

TEST_F(SampleStoreTest, RecentTakesTodayThenTheTailOfYesterday) {
  setToday(20001);
  DeviceStore store = openStore();
  EXPECT_TRUE(store.recent(profile_, kDeviceKey)->empty());
  for (int i = 0; i < 25; ++i) {
    ASSERT_OK(store.append(sampleAt(20000 * kDay + i), profile_, kDeviceKey));
  }
  for (int i = 0; i < 20; ++i) {
    ASSERT_OK(store.append(sampleAt(20001 * kDay + i), profile_, kDeviceKey));
  }
  std::vector<double> expected;
  for (int i = 0; i < 20; ++i) expected.push_back(20001 * kDay + i);
  for (int i = 15; i < 25; ++i) expected.push_back(20000 * kDay + i);

  auto recent = store.recent(profile_, kDeviceKey);
  ASSERT_OK(recent);
  EXPECT_EQ(timesOf(*recent), expected);
  auto fromDisk = openStore().recent(profile_, kDeviceKey);
  ASSERT_OK(fromDisk);
  EXPECT_EQ(timesOf(*fromDisk), expected);
}

// Yesterday's tail is read once, and read again once the store has written to yesterday.
TEST_F(SampleStoreTest, RecentFollowsADayWrittenAfterItsTailWasRead) {
  setToday(20001);
  DeviceStore store = openStore();
  ASSERT_OK(store.append(sampleAt(20000 * kDay), profile_, kDeviceKey));
  ASSERT_OK(store.append(sampleAt(20001 * kDay), profile_, kDeviceKey));
  EXPECT_EQ(timesOf(*store.recent(profile_, kDeviceKey)),
            (std::vector<double>{20001 * kDay, 20000 * kDay}));
  ASSERT_OK(store.append(sampleAt(20000 * kDay + 1), profile_, kDeviceKey));  // a late read
  ASSERT_OK(store.append(sampleAt(20001 * kDay + 1), profile_, kDeviceKey));
  EXPECT_EQ(timesOf(*store.recent(profile_, kDeviceKey)),
            (std::vector<double>{20001 * kDay, 20001 * kDay + 1, 20000 * kDay, 20000 * kDay + 1}));
}

TEST_F(SampleStoreTest, FirstAppendPrunesOldDaysAndIgnoresOtherNames) {
  const int64_t today = 20100;
  setToday(today);
  {
    DeviceStore seeding = openStore();
    for (int64_t day : {today - 31, today - 30, today - 1}) {
      ASSERT_OK(seeding.append(sampleAt(static_cast<double>(day) * kDay), profile_, kDeviceKey));
    }
  }
  for (const char* odd : {"notes.json", "12a.json", "5.txt", "-.json"}) {
    writeAll(deviceDir() / odd, "not sealed");
  }
  DeviceStore store = openStore();
  ASSERT_OK(store.append(sampleAt(today * kDay + 1), profile_, kDeviceKey));
  EXPECT_FALSE(fs::exists(dayFile(today - 31)));
  EXPECT_TRUE(fs::exists(dayFile(today - 30)));
  EXPECT_TRUE(fs::exists(dayFile(today - 1)));
  for (const char* odd : {"notes.json", "12a.json", "5.txt", "-.json"}) {
    EXPECT_TRUE(fs::exists(deviceDir() / odd)) << odd;
  }
  auto recent = store.recent(profile_, kDeviceKey);
  ASSERT_OK(recent);
  EXPECT_EQ(recent->size(), 3u);
}

TEST_F(SampleStoreTest, UnusableSamplesAndKeysAreRefused) {
  DeviceStore store = openStore();
  EXPECT_STORAGE_ERROR(store.append(sampleAt(std::nan("")), profile_, kDeviceKey), encodingFailed);
  EXPECT_STORAGE_ERROR(store.append(sampleAt(1e300), profile_, kDeviceKey), encodingFailed);
  EXPECT_FALSE(store.append(sampleAt(1), profile_, "../escape").ok());
  EXPECT_FALSE(store.recent(profile_, "a/b").ok());
  EXPECT_FALSE(fs::exists(dataDir() / "escape"));
}

TEST_F(SampleStoreTest, UnreadableDayFileFailsTheAppendAndKeepsTheCache) {
  setToday(20000);
  DeviceStore store = openStore();
  ASSERT_OK(store.append(sampleAt(20000 * kDay), profile_, kDeviceKey));
  writeAll(dayFile(19999), "NIMBRA2\nthis is not a sealed day file at all");
  EXPECT_STORAGE_ERROR(store.append(sampleAt(19999 * kDay), profile_, kDeviceKey),
                       authenticationFailure);
  EXPECT_STORAGE_ERROR(store.recent(profile_, kDeviceKey), authenticationFailure);
  ASSERT_OK(store.append(sampleAt(20000 * kDay + 1), profile_, kDeviceKey));
  EXPECT_EQ(timesOf(samplesIn(dayFile(20000))),
            (std::vector<double>{20000 * kDay, 20000 * kDay + 1}));
}

TEST(SampleCodec, DecodesLikeTheDocumentReaderAndRejectsBadShapes) {
  std::string text = R"([{"observedAt":5,"settings":{"a":true},"battery":null,"firmware":"x",
      "unknown":{"deep":[1,{"x":null}]},"more":[[]]},
      {"observedAt":1.5e9,"settings":{},"engine":"e","cumulativePuffCount":-3}])";
  auto fast = decodeSampleArray(text);
  ASSERT_OK(fast);
  EXPECT_EQ(*fast, nlohmann::json::parse(text).get<std::vector<DeviceSample>>());
  EXPECT_TRUE(decodeSampleArray("[]")->empty());
  for (const char* bad :
       {R"({})", R"([{"settings":{}}])", R"([{"observedAt":1}])",
        R"([{"observedAt":"1","settings":{}}])", R"([{"observedAt":1,"settings":{"a":1}}])",
        R"([{"observedAt":1,"settings":{},"battery":1.5}])",
        R"([{"observedAt":1,"settings":{},"engine":2}])", R"([{"observedAt":1,"settings":null}])",
        R"([1])", R"([[]])", R"([{"observedAt":1,"settings":{}})", ""}) {
    EXPECT_STORAGE_ERROR(decodeSampleArray(bad), decodingFailed);
  }
}

// The day-file reader and nlohmann's document reader must accept the same texts and produce
// the same samples, or a file would read differently depending on who opens it.
TEST(SampleCodec, AgreesWithTheDocumentReaderOnNumbersTextAndFraming) {
  auto sample = [](std::string_view members) {
    return R"([{"observedAt":1,"settings":{},)" + std::string(members) + "}]";
  };
  std::vector<std::string> texts = {
      sample(R"("battery":9223372036854775807)"), sample(R"("battery":-9223372036854775808)"),
      sample(R"("battery":18446744073709551615)"), sample(R"("battery":18446744073709551616)"),
      sample(R"("battery":-9223372036854775809)"), sample(R"("battery":1e2)"),
      sample(R"("battery":-0)"), sample(R"("x":1e999)"), sample(R"("x":01)"),
      R"([{"observedAt":1699999999.123456789,"settings":{}}])",
      R"([{"observedAt":-0.0,"settings":{}}])", R"([{"observedAt":1e400,"settings":{}}])",
      R"([{"observedAt":1e-400,"settings":{}}])", R"([{"observedAt":-4.9e-324,"settings":{}}])",
      R"([{"observedAt":2.4703282292062328e-324,"settings":{}}])",
      sample(R"("firmware":"\u00e9\ud83d\ude00\n")"), sample(R"("firmware":"\ud800")"),
      sample("\"firmware\":\"\xc3\x28\""), sample("\"firmware\":\"\xc0\x80\""),
      sample("\"firmware\":\"\xed\xa0\x80\""), sample("\"firmware\":\"\xf4\x90\x80\x80\""),
      sample("\"firmware\":\"\xf8\x88\x80\x80\x80\""), sample("\"firmware\":\"\xe2\x82\""),
      sample("\"firmware\":\"\xf0\x9f\x98\x80\""), sample("\"firmware\":\"\x7f\""),
      sample("\"firmware\":\"a\tb\""), sample(R"("settings":{"a":true,"a":false})"),
      // A repeated key keeps its last value, so only a bad last value fails.
      sample(R"("processCount":1.5,"processCount":3)"),
      sample(R"("processCount":3,"processCount":1.5)"), sample(R"("battery":[1])"),
      sample(R"("firmware":{})"), sample(R"("firmware":{},"firmware":null)"),
      R"([{"observedAt":"x","observedAt":1,"settings":{}}])",
      R"([{"observedAt":1,"observedAt":[],"settings":{}}])",
      R"([{"observedAt":1,"settings":5,"settings":{"a":true}}])",
      R"([{"observedAt":1,"settings":{"a":true},"settings":[]}])",
      sample(R"("settings":{"a":1,"a":true})"), sample(R"("settings":{"a":true,"b":{}})"),
      sample(R"("settings":{"a":{},"a":false})"), "[] ", "[]x", "[],[]", "[", "\xEF\xBB\xBF[]",
      "\xEF\xBB[]", std::string(R"([{"observedAt":1,"settings":{}})") + '\0' + "]",
      // RapidJSON alone accepts a lone low surrogate and refuses these finite numbers.
      sample(R"("x":"\uDC00")"), sample(R"("\uDC00":1)"), sample(R"("x":0e400)"),
      R"([{"observedAt":)" + std::string(400, '1') + R"(e-400,"settings":{}}])"};
  for (const std::string& text : texts) {
    std::optional<std::vector<DeviceSample>> expected;
    try {
      expected = nlohmann::json::parse(text).get<std::vector<DeviceSample>>();
    } catch (const nlohmann::json::exception&) {
    }
    auto decoded = decodeSampleArray(text);
    ASSERT_EQ(decoded.ok(), expected.has_value()) << text;
    if (decoded.ok()) {
      EXPECT_EQ(*decoded, *expected) << text;
    }
  }
  // nlohmann stops reading at a NUL; bytes after the array are refused here whatever they are.
  EXPECT_STORAGE_ERROR(decodeSampleArray(std::string("[]\0junk", 7)), decodingFailed);
}

// Unknown values are skipped whatever their shape; nesting a million deep must not exhaust
// the stack.
TEST(SampleCodec, DeepNestingInAnUnknownValueIsSkippedWithoutRecursion) {
  std::string deep = std::string(1'000'000, '[') + std::string(1'000'000, ']');
  auto decoded = decodeSampleArray(R"([{"observedAt":1,"settings":{},"x":)" + deep + "}]");
  ASSERT_OK(decoded);
  EXPECT_EQ(decoded->size(), 1u);
}

TEST(SampleCodec, DayNumbersAndFileNames) {
  EXPECT_EQ(dayNumber(-86400.0), -1);
  EXPECT_EQ(dayNumber(-86400.5), -2);
  EXPECT_FALSE(dayNumber(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(parseDayFileName("+12.json"), 12);
  EXPECT_EQ(parseDayFileName("-3.json"), -3);
  for (const char* name : {"notes.json", "12a.json", "5.txt", ".json", "+.json", "1.json.tmp",
                           "99999999999999999999.json"}) {
    EXPECT_FALSE(parseDayFileName(name)) << name;
  }
}

}  // namespace
}  // namespace nimbra::testing
