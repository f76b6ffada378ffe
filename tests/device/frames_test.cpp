#include "device/frames.h"

#include <string_view>

#include <gtest/gtest.h>

#include "core/hex.h"
#include "devicelink/crc8.h"

namespace nimbra {
namespace {

std::string frameHex(int command, int hop, std::vector<uint8_t> payload, bool flag) {
  return hexString(makeFrame(command, hop, payload, flag));
}

TEST(Crc8, CheckValueOverDigitsIsF4) {
  constexpr std::string_view digits = "123456789";
  EXPECT_EQ(crc8({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}), 0xF4);
}

TEST(Crc8, CoversTheControlByteThroughThePayload) {
  const uint8_t body[] = {0x47, 0x04, 0x00, 0xFF, 0xFF, 0x00};  // bytes 3 .. 8 of a frame
  EXPECT_EQ(crc8(body), 0xDA);
}

TEST(MakeFrame, DocumentedExamples) {
  EXPECT_EQ(frameHex(0, 0, {}, false), "3f04c0000000");
  EXPECT_EQ(frameHex(129, 1, {}, false), "3f04c90120f5");
  EXPECT_EQ(frameHex(19, 0, {0x00, 0xFF, 0xFF, 0x00}, true), "3f08c0470400ffff00da");
  EXPECT_EQ(frameHex(20, 0, {0x00, 0xFF, 0xFF, 0x00}, true), "3f08c0440500ffff00c3");
}

TEST(MakeFrame, SizeClassFollowsThePayloadLength) {
  EXPECT_EQ(makeFrame(0, 0, std::vector<uint8_t>(14), false).size(), 20u);
  EXPECT_EQ(makeFrame(0, 0, std::vector<uint8_t>(14), false)[3], 0x08);
  EXPECT_EQ(makeFrame(0, 0, std::vector<uint8_t>(24), false).size(), 30u);
  EXPECT_EQ(makeFrame(0, 0, std::vector<uint8_t>(24), false)[3], 0x0C);
}

TEST(MakeFrame, AnyHopOtherThanZeroIsAddressedC9) {
  EXPECT_EQ(makeFrame(0, 2, {}, false)[2], 0xC9);
}

TEST(MakeFrame, RefusesOtherPayloadLengthsAndCommandsOutOfRange) {
  EXPECT_TRUE(makeFrame(0, 0, std::vector<uint8_t>(5), false).empty());
  EXPECT_TRUE(makeFrame(1024, 0, {}, false).empty());
  EXPECT_TRUE(makeFrame(-1, 0, {}, false).empty());
  EXPECT_EQ(makeFrame(1023, 0, {}, false).size(), 6u);
}

}  // namespace
}  // namespace nimbra
