#include <gtest/gtest.h>

#include "core/base64.h"
#include "core/dates.h"
#include "core/hex.h"
#include "core/sha256.h"
#include "core/uuid.h"

namespace nimbra {
namespace {

std::vector<uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Hex, RoundTripsLowerCaseAndRejectsBadText) {
  std::vector<uint8_t> frame{0x3f, 0x04, 0xc0, 0x00, 0x00, 0xff};
  EXPECT_EQ(hexString(frame), "3f04c00000ff");
  EXPECT_EQ(parseHex("3F04C00000FF"), frame);
  EXPECT_EQ(parseHex(""), std::vector<uint8_t>{});
  EXPECT_FALSE(parseHex("3f0"));
  EXPECT_FALSE(parseHex("zz"));
}

TEST(Sha256Hex, MatchesKnownDigests) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Uuid, RandomIsVersion4InCanonicalUpperCase) {
  Uuid id = Uuid::random();
  std::string text = id.text();
  ASSERT_EQ(text.size(), 36u);
  EXPECT_EQ(text[14], '4');
  EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
  EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos);
  EXPECT_NE(Uuid::random(), id);
}

TEST(Uuid, ParsesAnyCaseAndRejectsMalformedText) {
  auto lower = Uuid::parse("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
  ASSERT_TRUE(lower);
  EXPECT_EQ(lower->text(), "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
  EXPECT_EQ(Uuid::parse(lower->text()), lower);
  EXPECT_FALSE(Uuid::parse("0a1b2c3d4e5f-4a6b-8c7d-9e0f1a2b3c4d0"));
  EXPECT_FALSE(Uuid::parse("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4"));
  EXPECT_FALSE(Uuid::parse("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4g"));
}

TEST(Dates, ReferenceDateIsZeroSecondsSince2001) {
  auto reference = parseIso8601("2001-01-01T00:00:00Z");
  ASSERT_TRUE(reference);
  EXPECT_DOUBLE_EQ(secondsSince2001(*reference), 0.0);
  EXPECT_DOUBLE_EQ(secondsSince1970(*reference), 978307200.0);
  EXPECT_EQ(dateFromSecondsSince2001(86400.5), *reference + std::chrono::milliseconds(86400500));
}

TEST(Dates, Iso8601WritesUtcWithoutFractions) {
  Date date = dateFromSecondsSince1970(1714552200.75);
  EXPECT_EQ(iso8601(date), "2024-05-01T08:30:00Z");
  EXPECT_EQ(iso8601(dateFromSecondsSince1970(-1)), "1969-12-31T23:59:59Z");
}

TEST(Dates, Iso8601ReadsEveryZoneDesignatorButNoFractions) {
  Date utc = *parseIso8601("2024-05-01T08:30:00Z");
  EXPECT_EQ(parseIso8601("2024-05-01T16:30:00+08:00"), utc);
  EXPECT_EQ(parseIso8601("2024-05-01T16:30:00+0800"), utc);
  EXPECT_EQ(parseIso8601("2024-05-01T00:30:00-08"), utc);
  EXPECT_FALSE(parseIso8601("2024-05-01T08:30:00.5Z"));
  EXPECT_FALSE(parseIso8601("2024-05-01T08:30:00"));
  EXPECT_FALSE(parseIso8601("2024-02-30T08:30:00Z"));
  EXPECT_FALSE(parseIso8601("2024-05-01T08:30:00Zx"));
  EXPECT_FALSE(parseIso8601("1714552200"));
}

TEST(Base64, EncodesWithPaddingAndDecodesStrictly) {
  EXPECT_EQ(base64Encode(bytesOf("")), "");
  EXPECT_EQ(base64Encode(bytesOf("f")), "Zg==");
  EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
  EXPECT_EQ(base64Encode(bytesOf("foo")), "Zm9v");
  EXPECT_EQ(base64Decode("Zg=="), bytesOf("f"));
  EXPECT_EQ(base64Decode("Zm8="), bytesOf("fo"));
  EXPECT_EQ(base64Decode(""), bytesOf(""));
  std::vector<uint8_t> binary{0x00, 0xff, 0xfe, 0x3f, 0x80};
  EXPECT_EQ(base64Decode(base64Encode(binary)), binary);
  EXPECT_FALSE(base64Decode("Zg="));
  EXPECT_FALSE(base64Decode("Z=g="));
  EXPECT_FALSE(base64Decode(" Zg="));
  EXPECT_FALSE(base64Decode("Zm9v\n"));
}

}  // namespace
}  // namespace nimbra
