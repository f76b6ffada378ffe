#include "platform/udev_presence_source.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include "core/manual_main_queue.h"
#include "devicelink/usb_presence.h"

namespace nimbra {
namespace {

size_t openDescriptors() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// A machine without udev monitoring (no netlink) must fail with an error, not crash; the
// tests below need a working monitor and skip otherwise.
void skipWithoutMonitor(const Result<std::unique_ptr<USBPresence>>& created) {
  if (created) return;
  EXPECT_EQ(created.error().domain, kPosixDomain);
  EXPECT_FALSE(created.error().message.empty());
  GTEST_SKIP() << "no udev monitor here: " << created.error().message;
}

TEST(UdevPresenceSource, ReportsTheAttachedSetOnceAndStopsCleanly) {
  ManualMainQueue queue;
  std::vector<USBPresence::Serials> reports;
  auto created = USBPresence::create(queue, std::make_unique<UdevPresenceSource>(),
                                     [&](const USBPresence::Serials& s) { reports.push_back(s); });
  skipWithoutMonitor(created);
  if (!created) return;
  queue.runPending();
  // No "IQOS ILUMA i ONE" is plugged into a build machine.
  EXPECT_EQ(reports, (std::vector<USBPresence::Serials>{{}}));
}

TEST(UdevPresenceSource, RepeatedStartAndStopLeavesNoDescriptorOrThreadBehind) {
  ManualMainQueue queue;
  size_t before = openDescriptors();
  for (int i = 0; i < 20; ++i) {
    UdevPresenceSource source;
    auto present = source.start(queue, {[](const UsbDeviceInfo&) {}, [](uint64_t) {}});
    if (!present) GTEST_SKIP() << present.error().message;
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(ParseUsbId, ReadsSysfsHexAndRejectsAnythingElse) {
  EXPECT_EQ(parseUsbId("2759"), 10073);
  EXPECT_EQ(parseUsbId("0003"), 3);
  EXPECT_EQ(parseUsbId("FFFF"), 0xffff);
  EXPECT_EQ(parseUsbId(""), std::nullopt);
  EXPECT_EQ(parseUsbId("27590"), std::nullopt);
  EXPECT_EQ(parseUsbId("0x27"), std::nullopt);
  EXPECT_EQ(parseUsbId("-3"), std::nullopt);
  EXPECT_EQ(parseUsbId("27 9"), std::nullopt);
}

}  // namespace
}  // namespace nimbra
