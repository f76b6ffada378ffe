#include <gtest/gtest.h>
#include <sys/stat.h>

#include "storage_fixture.h"

namespace nimbra::testing {
namespace {

// The key-creation guard looks into every "*.json"/"*.sealed" file of the data directory. A
// FIFO under such a name used to block the first write for ever (with the key-cache lock
// held); it is not a data file and is passed over now.
TEST_F(StorageTest, FifoNamedLikeADataFileDoesNotHangKeyCreation) {
  fs::create_directories(dataDir());
  ASSERT_EQ(::mkfifo((dataDir() / "stuck.json").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dataDir() / "stuck.sealed").c_str(), 0600), 0);
  ASSERT_OK(storage().writeSealed("{}", dataDir() / "first.json"));
  EXPECT_TRUE(fs::exists(keyFile()));
}

}  // namespace
}  // namespace nimbra::testing
