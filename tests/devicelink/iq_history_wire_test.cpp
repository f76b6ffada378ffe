#include "devicelink/iq_history_wire.h"

#include <array>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/hex.h"
#include "devicelink/crc16.h"
#include "devicelink/iq.h"

namespace nimbra::iq {
namespace {

std::vector<uint8_t> fromHex(std::string_view text) { return parseHex(text).value(); }

std::vector<uint8_t> frameOf(std::span<const uint8_t, kHidReportSize> report, std::size_t length) {
  return {report.begin(), report.begin() + static_cast<std::ptrdiff_t>(length)};
}

TEST(Crc16, CheckValueOverTheNineDigits) {
  const std::string_view digits = "123456789";
  EXPECT_EQ(crc16({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}), 0x20FE);
  EXPECT_EQ(crc16({}), 0x0000);
}

TEST(HistoryRequest, CatalogRequestMatchesTheDocumentedBytes) {
  std::array<uint8_t, kHidReportSize> report;
  report.fill(0xEE);
  const uint8_t payload[] = {0x01, 0x01};
  const std::size_t length = buildHistoryRequest(payload, report);
  EXPECT_EQ(frameOf(report, length), fromHex("3f07c01002010175d6"));
  for (std::size_t i = length; i < report.size(); ++i) EXPECT_EQ(report[i], 0) << i;
}

TEST(HistoryRequest, EntryRequestForDirectoryZeroPositionFive) {
  std::array<uint8_t, kEntryPayloadLength> payload;
  entryRequestPayload(0, 5, payload);
  std::array<uint8_t, kHidReportSize> report;
  const std::size_t length = buildHistoryRequest(payload, report);
  EXPECT_EQ(frameOf(report, length), fromHex("3f0cc01007010200010500007d1f"));
}

TEST(HistoryRequest, PositionIsSentLittleEndianInThreeBytes) {
  std::array<uint8_t, kEntryPayloadLength> payload;
  entryRequestPayload(3, 0xABCDEF, payload);
  EXPECT_EQ(std::vector<uint8_t>(payload.begin(), payload.end()), fromHex("01020301efcdab"));
}

// Feeds hand-made reply reports to the reassembly and keeps what it completes.
class Reassembly : public ::testing::Test {
 protected:
  // A part report: marker 0x40, n = chunk + 1, the sequence byte, `chunk` bytes of `fill`.
  std::span<const uint8_t> part(uint8_t sequence, std::size_t chunk, uint8_t fill) {
    std::vector<uint8_t> report(kHidReportSize, 0);
    report[0] = 0x40;
    report[1] = static_cast<uint8_t>(chunk + 1);
    report[2] = sequence;
    std::fill_n(report.begin() + 3, chunk, fill);
    return feed(report);
  }
  std::span<const uint8_t> feed(std::vector<uint8_t> report) {
    reports_.push_back(std::move(report));
    return unwrapHistoryReport(assembly_, reports_.back());
  }
  static std::vector<uint8_t> repeated(
      std::initializer_list<std::pair<std::size_t, uint8_t>> runs) {
    std::vector<uint8_t> bytes;
    for (auto [count, value] : runs) bytes.insert(bytes.end(), count, value);
    return bytes;
  }
  static std::vector<uint8_t> copy(std::span<const uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
  }

  HistoryAssembly assembly_;
  std::vector<std::vector<uint8_t>> reports_;
};

TEST_F(Reassembly, ThreePartsCountingDownAreJoined) {
  EXPECT_TRUE(part(0x82, 61, 0xA1).empty());
  EXPECT_TRUE(part(0x01, 61, 0xA2).empty());
  const auto message = part(0x00, 10, 0xA3);
  EXPECT_EQ(copy(message), repeated({{61, 0xA1}, {61, 0xA2}, {10, 0xA3}}));
  EXPECT_EQ(assembly_.countdown, -1);
}

TEST_F(Reassembly, MissingMiddlePartAbandonsTheReply) {
  part(0x82, 61, 0xA1);
  EXPECT_TRUE(part(0x00, 61, 0xA3).empty());
  EXPECT_EQ(assembly_.countdown, -1);
  EXPECT_TRUE(part(0x00, 61, 0xA3).empty());  // nothing to continue any more
}

TEST_F(Reassembly, MoreThanFourFollowingPartsAreRefused) {
  EXPECT_TRUE(part(0x85, 10, 0xA1).empty());
  EXPECT_EQ(assembly_.countdown, -1);
  EXPECT_TRUE(part(0x04, 10, 0xA2).empty());
}

TEST_F(Reassembly, FourFollowingPartsAreTheMost) {
  part(0x84, 5, 1);
  part(0x03, 5, 2);
  part(0x02, 5, 3);
  part(0x01, 5, 4);
  EXPECT_EQ(part(0x00, 5, 5).size(), 25u);
}

TEST_F(Reassembly, TwoHundredSixtyBytesFitExactly) {
  for (uint8_t sequence : {0x84, 0x03, 0x02, 0x01}) part(sequence, 61, sequence);
  EXPECT_EQ(part(0x00, 16, 0).size(), 260u);
}

TEST_F(Reassembly, TwoHundredSixtyOneBytesAreAbandoned) {
  for (uint8_t sequence : {0x84, 0x03, 0x02, 0x01}) part(sequence, 61, sequence);
  EXPECT_TRUE(part(0x00, 17, 0).empty());
  EXPECT_EQ(assembly_.countdown, -1);
}

TEST_F(Reassembly, NewFirstPartRestartsTheReply) {
  part(0x82, 61, 0xA1);
  part(0x81, 20, 0xB1);
  EXPECT_EQ(copy(part(0x00, 5, 0xB2)), repeated({{20, 0xB1}, {5, 0xB2}}));
}

TEST_F(Reassembly, SingleFirstPartIsAWholeMessage) { EXPECT_EQ(part(0x80, 12, 0x55).size(), 12u); }

TEST_F(Reassembly, SingleReportIsTakenWithoutPartHandling) {
  const auto message = feed(fromHex("3f07c0900201012843"));
  EXPECT_EQ(copy(message), fromHex("c0900201012843"));
  EXPECT_EQ(assembly_.countdown, -1);
}

TEST_F(Reassembly, MalformedWrappersAreIgnored) {
  EXPECT_TRUE(feed({0x3f, 0x00, 0xc0}).empty());              // n = 0
  EXPECT_TRUE(feed({0x3f, 0x3f, 0xc0, 0x90}).empty());        // n = 63
  EXPECT_TRUE(feed({0x3f, 0x05, 0xc0, 0x90, 0x02}).empty());  // longer than the report
  EXPECT_TRUE(feed({0x40, 0x01, 0x80}).empty());              // a part needs n >= 2
  EXPECT_TRUE(feed({0x41, 0x02, 0x80, 0x00}).empty());        // unknown marker
  EXPECT_TRUE(feed({0x3f, 0x01}).empty());                    // shorter than three bytes
}

// The catalogue reply for records (0: 10..13), (1: 5..5), (2: 0..1), (3: 0..0).
const std::vector<uint8_t> kCatalogMessage =
    fromHex("c090220101000a00000d0000000105000005000000020000000100000003000000000000002843");
const std::vector<uint8_t> kFailureMessage = fromHex("c0b0020101c45b");
// Entry 85 06 AA BB (inner CRC 44 63) for directory 0, position 5.
const std::vector<uint8_t> kEntryMessage = fromHex("c0900e01020001050000068506aabb4463b383");

class HistoryMessageCheck : public ::testing::Test {
 protected:
  static std::optional<HistoryMessage> parse(std::vector<uint8_t> message, uint8_t sub = 0x01) {
    kept_ = std::move(message);
    return parseHistoryMessage(kept_, sub);
  }
  static std::vector<uint8_t> changed(std::vector<uint8_t> message, std::size_t at, uint8_t to) {
    message[at] = to;
    return message;
  }
  static inline std::vector<uint8_t> kept_;
};

TEST_F(HistoryMessageCheck, CatalogReplyGivesItsThirtyFourDataBytes) {
  const auto parsed = parse(kCatalogMessage);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->deviceFailed);
  ASSERT_EQ(parsed->data.size(), 34u);
  EXPECT_EQ(parsed->data[0], 0x01);
  EXPECT_EQ(parsed->data[3], 10);
}

TEST_F(HistoryMessageCheck, StatusB0IsADeviceFailure) {
  const auto parsed = parse(kFailureMessage);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->deviceFailed);
}

TEST_F(HistoryMessageCheck, EnvelopeFaultsAreDropped) {
  EXPECT_FALSE(parse(kCatalogMessage, 0x02));               // other sub-command
  EXPECT_FALSE(parse(changed(kCatalogMessage, 0, 0xC8)));   // hop bits in the address
  EXPECT_FALSE(parse(changed(kCatalogMessage, 1, 0x91)));   // unknown status
  EXPECT_FALSE(parse(changed(kCatalogMessage, 2, 0x21)));   // length disagrees
  EXPECT_FALSE(parse(changed(kCatalogMessage, 3, 0x02)));   // data does not start with 01
  EXPECT_FALSE(parse(changed(kCatalogMessage, 38, 0x44)));  // outer CRC
  EXPECT_FALSE(parse(changed(kCatalogMessage, 10, 0x0E)));  // data changed under the CRC
  EXPECT_FALSE(parse(fromHex("c0900101c0")));               // shorter than seven bytes
}

TEST_F(HistoryMessageCheck, EntryDataIsCheckedAgainstTheRequest) {
  std::array<uint8_t, kEntryPayloadLength> request;
  entryRequestPayload(0, 5, request);
  const auto parsed = parse(kEntryMessage, 0x02);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(checkEntryData(parsed->data, request), 6);

  entryRequestPayload(0, 6, request);
  EXPECT_EQ(checkEntryData(parsed->data, request), IQ_MALFORMED);
}

TEST_F(HistoryMessageCheck, EntryFaultsUnderARightOuterCrcAreMalformed) {
  std::array<uint8_t, kEntryPayloadLength> request;
  entryRequestPayload(0, 5, request);
  const std::vector<uint8_t> data(kEntryMessage.begin() + 3, kEntryMessage.end() - 2);
  const auto with = [&](std::size_t at, uint8_t value) {
    auto copy = data;
    copy[at] = value;
    return checkEntryData(copy, request);
  };
  EXPECT_EQ(with(7, 5), IQ_MALFORMED);      // entry length disagrees with the data length
  EXPECT_EQ(with(9, 7), IQ_MALFORMED);      // entry byte 1 is not the length
  EXPECT_EQ(with(13, 0x45), IQ_MALFORMED);  // inner CRC
  EXPECT_EQ(checkEntryData(std::span(data).first(11), request), IQ_MALFORMED);
}

}  // namespace
}  // namespace nimbra::iq
