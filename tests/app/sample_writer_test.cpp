// The sample writer, at once and on its own thread alike: appends are stored in the order
// they were made, every outcome comes back on the main queue in that order, and a failed
// append is reported as such and not stored.

#include "app/sample_writer.h"

#include <thread>

#include <gtest/gtest.h>

#include "core/manual_main_queue.h"
#include "storage/sample_fixture.h"

namespace nimbra::testing {
namespace {

constexpr int64_t kToday = 20500;
// Only a hang waits this long for an outcome, however busy the machine.
constexpr std::chrono::seconds kHang{60};

struct Append {
  double secondsIntoDay;
  bool dayFileBlocked;  // a directory stands where the day file goes: the write must fail
  bool stored;
};

struct Case {
  const char* name;
  bool ownThread;
  std::vector<Append> appends;
  std::vector<double> storedSecondsIntoDay;  // the day file afterwards, in order
};

class SampleWriterTest : public SampleStoreTest, public ::testing::WithParamInterface<Case> {
 protected:
  double at(double secondsIntoDay) { return kToday * kDay + secondsIntoDay; }
};

TEST_P(SampleWriterTest, StoresInOrderAndReportsEachOutcomeOnTheMainQueue) {
  const Case& c = GetParam();
  setToday(kToday);
  ManualMainQueue queue;
  struct Heard {
    bool appended;
    std::vector<double> recent;
    std::thread::id thread;
  };
  std::vector<Heard> heard;
  {
    SampleWriter writer(queue, c.ownThread);
    writer.open(openStore());
    const fs::path aside = base_ / "day-file-aside";
    for (size_t i = 0; i < c.appends.size(); ++i) {
      const Append& append = c.appends[i];
      bool moved = false;
      if (append.dayFileBlocked) {
        moved = fs::exists(dayFile(kToday));
        if (moved) fs::rename(dayFile(kToday), aside);
        fs::create_directories(dayFile(kToday) / "blocked");
      }
      writer.append(
          sampleAt(at(append.secondsIntoDay)), profile_, kDeviceKey,
          [&heard](SampleWriter::Outcome outcome) {
            heard.push_back({outcome.appended.ok(),
                             outcome.recent ? timesOf(*outcome.recent) : std::vector<double>{},
                             std::this_thread::get_id()});
          });
      // Each outcome first, so the next append finds the day file as this one left it.
      ASSERT_TRUE(queue.runUntil([&] { return heard.size() == i + 1; }, kHang));
      if (append.dayFileBlocked) {
        fs::remove_all(dayFile(kToday));
        if (moved) fs::rename(aside, dayFile(kToday));
      }
    }
  }

  std::vector<double> storedSoFar;
  for (size_t i = 0; i < c.appends.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(heard[i].thread, std::this_thread::get_id()) << "not on the main queue";
    EXPECT_EQ(heard[i].appended, c.appends[i].stored);
    if (c.appends[i].stored) storedSoFar.push_back(at(c.appends[i].secondsIntoDay));
    if (!c.appends[i].dayFileBlocked) {
      EXPECT_EQ(heard[i].recent, storedSoFar);
    }
  }
  std::vector<double> expected;
  for (double s : c.storedSecondsIntoDay) expected.push_back(at(s));
  EXPECT_EQ(timesOf(samplesIn(dayFile(kToday))), expected);
}

// Many appends made at once, before any outcome is taken: written and reported in order.
TEST_F(SampleStoreTest, AppendsMadeAtOnceAreWrittenAndReportedInOrder) {
  setToday(kToday);
  ManualMainQueue queue;
  std::vector<size_t> recentSizes;
  std::vector<double> made;
  {
    SampleWriter writer(queue, true);
    writer.open(openStore());
    for (int i = 0; i < 20; ++i) {
      made.push_back(kToday * kDay + 5.0 * i);
      writer.append(sampleAt(made.back()), profile_, kDeviceKey,
                    [&recentSizes](SampleWriter::Outcome outcome) {
                      recentSizes.push_back(outcome.recent ? outcome.recent->size() : 0);
                    });
    }
    ASSERT_TRUE(queue.runUntil([&] { return recentSizes.size() == made.size(); }, kHang));
  }
  for (size_t i = 0; i < recentSizes.size(); ++i) EXPECT_EQ(recentSizes[i], i + 1) << i;
  EXPECT_EQ(timesOf(samplesIn(dayFile(kToday))), made);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleWriterTest,
    ::testing::Values(Case{"AtOnceInOrder",
                           false,
                           {{10, false, true}, {15, false, true}, {20, false, true}},
                           {10, 15, 20}},
                      Case{"OwnThreadInOrder",
                           true,
                           {{10, false, true}, {15, false, true}, {20, false, true}},
                           {10, 15, 20}},
                      Case{"AtOnceFailureReportedAndNotStored",
                           false,
                           {{10, false, true}, {15, true, false}, {20, false, true}},
                           {10, 20}},
                      Case{"OwnThreadFailureReportedAndNotStored",
                           true,
                           {{10, false, true}, {15, true, false}, {20, false, true}},
                           {10, 20}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nimbra::testing
