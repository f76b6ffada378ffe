#include "devicelink/usb_presence.h"

#include <thread>

#include <gtest/gtest.h>

#include "core/manual_main_queue.h"
#include "sim/simulated_presence_source.h"
#include "support/result_assertions.h"

namespace nimbra {
namespace {

using Serials = USBPresence::Serials;

class USBPresenceTest : public ::testing::Test {
 protected:
  void create() {
    auto created = USBPresence::create(
        queue_, std::make_unique<SimulatedPresenceSource>(bus_),
        [this](const Serials& serials) {
          reports_.push_back(serials);
          reportThreads_.push_back(std::this_thread::get_id());
        },
        [this](const std::string& serial) { nodeChanges_.push_back(serial); });
    ASSERT_TRUE(created) << created.error().message;
    presence_ = std::move(created).value();
  }
  void plug(const std::string& port, const std::string& serial) {
    bus_->attach(port, SimulatedUsbBus::ilumaOne(serial));
    queue_.runPending();
  }
  void plugOther(const std::string& port, UsbDeviceInfo device) {
    bus_->attach(port, std::move(device));
    queue_.runPending();
  }
  void unplug(const std::string& port) {
    bus_->detach(port);
    queue_.runPending();
  }
  // Devices that resemble ours but must never be reported.
  static std::vector<UsbDeviceInfo> lookAlikes() {
    std::vector<UsbDeviceInfo> devices(7, SimulatedUsbBus::ilumaOne("LOOKALIKE"));
    devices[0].productName = "IQOS ILUMA i ONE ";
    devices[1].productName = "iqos iluma i one";
    devices[2].productName.reset();
    devices[3].serial = "";
    devices[4].serial.reset();
    devices[5].vendorId = 0x2758;
    devices[6].productId = 4;
    return devices;
  }

  ManualMainQueue queue_;
  std::shared_ptr<SimulatedUsbBus> bus_ = std::make_shared<SimulatedUsbBus>();
  std::vector<Serials> reports_;
  std::vector<std::thread::id> reportThreads_;
  std::vector<std::string> nodeChanges_;
  std::unique_ptr<USBPresence> presence_;
};

// A source that lost events (a netlink overrun) re-enumerates and hands over the whole set;
// it replaces what was known and is reported once.
TEST_F(USBPresenceTest, ResynchronisedSetReplacesTheKnownOneAndIsReportedOnce) {
  create();
  plug("1-1", "A");
  plug("1-2", "B");
  const std::size_t before = reports_.size();
  bus_->changeWithoutEvents("1-1", std::nullopt);
  bus_->changeWithoutEvents("1-3", SimulatedUsbBus::ilumaOne("C"));
  queue_.runPending();
  EXPECT_EQ(reports_.size(), before) << "the lost events reported nothing";
  bus_->resynchronise();
  queue_.runPending();
  ASSERT_EQ(reports_.size(), before + 1);
  EXPECT_EQ(reports_.back(), (Serials{"B", "C"}));
  unplug("1-3");
  EXPECT_EQ(reports_.back(), (Serials{"B"}));
}

// A source's watcher thread may have posted reports when the source is destroyed; closing the
// delivery drops every kind of them.
TEST(PresenceDelivery, ReportsPostedBeforeCloseNeverRun) {
  ManualMainQueue queue;
  int heard = 0;
  PresenceDelivery delivery(queue,
                            {[&](const UsbDeviceInfo&) { ++heard; }, [&](uint64_t) { ++heard; },
                             [&](const std::vector<UsbDeviceInfo>&) { ++heard; }});
  std::thread watcher([&] {
    delivery.arrived(SimulatedUsbBus::ilumaOne("A"));
    delivery.departed(1);
    delivery.resynchronised({SimulatedUsbBus::ilumaOne("B")});
  });
  watcher.join();
  delivery.close();
  queue.runPending();
  EXPECT_EQ(heard, 0);
}

TEST_F(USBPresenceTest, CreationReportsTheEmptySetOnce) {
  create();
  queue_.runPending();
  EXPECT_EQ(reports_, (std::vector<Serials>{{}}));
}

TEST_F(USBPresenceTest, CreationReportsADeviceAlreadyAttachedOnce) {
  bus_->attach("1-1", SimulatedUsbBus::ilumaOne("SN1"));
  create();
  queue_.runPending();
  EXPECT_EQ(reports_, (std::vector<Serials>{{"SN1"}}));
}

TEST_F(USBPresenceTest, ReportsEachArrivalAndDeparture) {
  create();
  plug("1-1", "SN1");
  plug("1-2", "SN2");
  unplug("1-1");
  unplug("1-2");
  EXPECT_EQ(reports_, (std::vector<Serials>{{}, {"SN1"}, {"SN1", "SN2"}, {"SN2"}, {}}));
  EXPECT_EQ(presence_->serials(), Serials{});
}

TEST_F(USBPresenceTest, TwoDevicesWithOneSerialCountOnceUntilBothLeave) {
  create();
  plug("1-1", "SN1");
  plug("1-2", "SN1");
  unplug("1-1");
  EXPECT_EQ(reports_, (std::vector<Serials>{{}, {"SN1"}}));
  EXPECT_EQ(presence_->serials(), Serials{"SN1"});
  unplug("1-2");
  EXPECT_EQ(reports_.back(), Serials{});
}

TEST_F(USBPresenceTest, LookAlikesAreNeverReportedNorCallAnything) {
  auto devices = lookAlikes();
  bus_->attach("2-1", devices[0]);
  create();
  for (size_t i = 1; i < devices.size(); ++i) plugOther("3-" + std::to_string(i), devices[i]);
  for (size_t i = 1; i < devices.size(); ++i) unplug("3-" + std::to_string(i));
  unplug("2-1");
  EXPECT_EQ(reports_, (std::vector<Serials>{{}}));
}

TEST_F(USBPresenceTest, OtherDevicesLeavingKeepOursAndCallNothing) {
  plugOther("1-1", UsbDeviceInfo{0, 0x046d, 0xc077, "USB Optical Mouse", std::nullopt});
  plug("1-2", "SN1");
  create();
  unplug("1-1");
  EXPECT_EQ(reports_, (std::vector<Serials>{{"SN1"}}));
}

// A "change" (udev applied its rules again) is passed on only for a device of ours, by
// serial, and never alters the reported set.
TEST_F(USBPresenceTest, NodeChangesAreReportedOnlyForOurDevices) {
  create();
  plug("1-1", "OURS0001");
  plugOther("1-2", lookAlikes().front());
  const size_t reportsBefore = reports_.size();
  for (const char* port : {"1-1", "1-2", "9-9"}) bus_->change(port);
  queue_.runPending();
  EXPECT_EQ(nodeChanges_, std::vector<std::string>{"OURS0001"});
  EXPECT_EQ(reports_.size(), reportsBefore);
}

TEST_F(USBPresenceTest, ReportsRunOnTheMainQueueNotOnThePluggingThread) {
  create();
  std::thread plugger([this] { bus_->attach("1-1", SimulatedUsbBus::ilumaOne("SN1")); });
  plugger.join();
  EXPECT_EQ(reports_.size(), 1u);
  ASSERT_TRUE(queue_.runUntil([this] { return reports_.size() == 2; }));
  EXPECT_EQ(reportThreads_.back(), std::this_thread::get_id());
}

TEST_F(USBPresenceTest, NothingIsReportedAfterDestructionEvenIfAlreadyPosted) {
  create();
  bus_->attach("1-1", SimulatedUsbBus::ilumaOne("SN1"));
  presence_.reset();
  EXPECT_GT(queue_.runPending(), 0u);
  EXPECT_EQ(reports_.size(), 1u);
}

TEST_F(USBPresenceTest, MayBeDestroyedFromInsideItsOwnCallback) {
  auto created = USBPresence::create(queue_, std::make_unique<SimulatedPresenceSource>(bus_),
                                     [this](const Serials& serials) {
                                       if (!serials.empty()) presence_.reset();
                                     });
  ASSERT_TRUE(created);
  presence_ = std::move(created).value();
  bus_->attach("1-1", SimulatedUsbBus::ilumaOne("SN1"));
  bus_->attach("1-2", SimulatedUsbBus::ilumaOne("SN2"));
  queue_.runPending();
  EXPECT_EQ(presence_, nullptr);
}

class FailingSource final : public PresenceSource {
 public:
  Result<std::vector<UsbDeviceInfo>> start(MainQueue&, Events) override {
    return Error::posix(EPROTONOSUPPORT, "udev monitor_new_from_netlink");
  }
};

TEST(USBPresence, CreationFailsWithoutReportingWhenTheSourceCannotStart) {
  ManualMainQueue queue;
  bool called = false;
  auto created = USBPresence::create(queue, std::make_unique<FailingSource>(),
                                     [&](const Serials&) { called = true; });
  EXPECT_ERROR(created, kPosixDomain, EPROTONOSUPPORT);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace nimbra
