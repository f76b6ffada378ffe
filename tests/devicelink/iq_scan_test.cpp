#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "support/simulated_link.h"

namespace nimbra {
namespace {

class IqScan : public testing::SimulatedLinkTest {
 protected:
  // A device whose scan line "serial\tproduct\tmanufacturer\n" is `lineLength` bytes long.
  void plugInWithLineLength(int index, std::size_t lineLength) {
    sim::SimulatedDeviceState device;
    device.serial = "SERIAL" + std::to_string(1000 + index);  // 10 bytes
    device.product = "IQOS ILUMA i ONE";                      // 16 bytes
    device.manufacturer = std::string(lineLength - 10 - 16 - 3, 'm');
    plugIn(device);
  }
};

TEST_F(IqScan, ListsOneTabSeparatedLinePerDevice) {
  plugIn(sim::ilumaOne("A1"));
  plugIn(sim::ilumaOne("B2"));
  EXPECT_STREQ(iq_scan(),
               "A1\tIQOS ILUMA i ONE\tPhilip Morris Products S.A.\n"
               "B2\tIQOS ILUMA i ONE\tPhilip Morris Products S.A.\n");
}

TEST_F(IqScan, EmptyWithoutDevicesOrWithoutBackend) {
  EXPECT_STREQ(iq_scan(), "");
  iq_install_backend(nullptr);
  EXPECT_STREQ(iq_scan(), "");
  EXPECT_EQ(iq_open("anything"), IQ_NO_DEVICE);
}

TEST_F(IqScan, TwoHundredDevicesStopBelowTheTextLimit) {
  for (int i = 0; i < 200; ++i) plugInWithLineLength(i, 60);
  const char* text = iq_scan();
  // 136 lines of 60 bytes are 8,160 bytes; a 137th would reach 8,220.
  EXPECT_EQ(std::strlen(text), 8160u);
  EXPECT_EQ(text[8159], '\n');
}

TEST_F(IqScan, LineThatDoesNotFitIsSkippedButAShorterOneAfterItIsKept) {
  for (int i = 0; i < 136; ++i) plugInWithLineLength(i, 60);
  plugInWithLineLength(136, 60);  // 8,220 would not fit
  plugInWithLineLength(137, 31);  // 8,191 still does
  const std::string text = iq_scan();
  EXPECT_EQ(text.size(), 8191u);
  EXPECT_EQ(text.find("SERIAL1136"), std::string::npos);
  EXPECT_NE(text.find("SERIAL1137"), std::string::npos);
}

TEST_F(IqScan, FieldsAreCutAt255Bytes) {
  plugIn(sim::ilumaOne(std::string(300, 'S')));
  const std::string serial255(255, 'S');
  EXPECT_EQ(std::string(iq_scan()),
            serial255 + "\tIQOS ILUMA i ONE\tPhilip Morris Products S.A.\n");
  EXPECT_EQ(iq_open(serial255.c_str()), 0);
}

// The parts one after another. GCC 12 at -O2 reports a chain of + on these long strings as
// out of bounds (a false -Warray-bounds); appending says the same without it.
std::string joined(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text.append(part);
  return text;
}

// A cut at 255 bytes used to split a UTF-8 sequence; it now falls before the character.
TEST_F(IqScan, FieldsAreCutAtACharacterBoundary) {
  const std::string serial254(254, 'S');
  const std::string manufacturer253(253, 'm');
  plugIn(sim::ilumaOne(joined({serial254, "\xC3\xA9", "tail"})));
  auto product = plugIn(sim::ilumaOne("P2"));
  product->manufacturer = joined({manufacturer253, "\xE2\x82\xAC"});  // the euro sign at 253
  EXPECT_EQ(std::string(iq_scan()),
            joined({serial254, "\tIQOS ILUMA i ONE\tPhilip Morris Products S.A.\n",
                    "P2\tIQOS ILUMA i ONE\t", manufacturer253, "\n"}));
  EXPECT_EQ(iq_open(serial254.c_str()), 0);
}

// The scan text keeps its terminating NUL inside the 8,192-byte buffer: a line that would
// make the text exactly 8,192 bytes long is skipped.
TEST_F(IqScan, LineReachingExactlyTheBufferSizeIsSkipped) {
  for (int i = 0; i < 136; ++i) plugInWithLineLength(i, 60);
  plugInWithLineLength(136, 32);  // 8,160 + 32 = 8,192: no room for the NUL
  const std::string text = iq_scan();
  EXPECT_EQ(text.size(), 8160u);
  EXPECT_EQ(text.find("SERIAL1136"), std::string::npos);
}

TEST_F(IqScan, SerialWithTabOrLineFeedIsReportedAndMatchedOnlyFolded) {
  auto device = plugIn(sim::ilumaOne("AB\tCD\nEF"));
  device->manufacturer = "Maker\tInc";
  EXPECT_STREQ(iq_scan(), "AB CD EF\tIQOS ILUMA i ONE\tMaker Inc\n");
  EXPECT_EQ(iq_open("AB\tCD\nEF"), IQ_NO_DEVICE);
  EXPECT_EQ(iq_open("AB CD EF"), 0);
}

TEST_F(IqScan, OpenPicksTheFirstDeviceWithThatSerial) {
  auto first = plugIn(sim::ilumaOne("SAME"));
  auto second = plugIn(sim::ilumaOne("SAME"));
  ASSERT_EQ(iq_open("SAME"), 0);
  const uint8_t request[] = {0x3f, 0x04, 0xc0, 0x00, 0x00, 0x00};
  uint8_t reply[64];
  EXPECT_EQ(iq_exchange(request, sizeof request, reply), 20);
  EXPECT_EQ(first->requestsReceived, 1);
  EXPECT_EQ(second->requestsReceived, 0);
}

TEST_F(IqScan, OpenFailsForUnknownSerialOrStaleEpoch) {
  plugIn(sim::ilumaOne("S1"));
  EXPECT_EQ(iq_open("S2"), IQ_NO_DEVICE);
  const uint32_t epoch = iq_connection_epoch();
  iq_cancel_io();
  EXPECT_EQ(iq_connection_epoch(), epoch + 1);
  EXPECT_EQ(iq_open_checked("S1", epoch), IQ_NO_DEVICE);
  EXPECT_EQ(iq_open_checked("S1", epoch + 1), 0);
}

TEST_F(IqScan, PermissionFailureStaysRecognisable) {
  auto device = plugIn(sim::ilumaOne("S1"));
  device->openErrno = EACCES;
  const int32_t result = iq_open("S1");
  EXPECT_LT(result, IQ_MALFORMED);
  ASSERT_TRUE(IQ_STATUS_IS_ERRNO(result));
  EXPECT_EQ(IQ_STATUS_ERRNO(result), EACCES);
}

}  // namespace
}  // namespace nimbra
