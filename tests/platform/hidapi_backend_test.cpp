#include "platform/hidapi_backend.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "devicelink/iq.h"

namespace nimbra {
namespace {

// The machines that run the suite have no such device; these only check the translation of
// hidapi's failures, which needs no hardware.
TEST(HidapiBackend, OpenOfAMissingNodeReportsItsErrno) {
  HidapiBackend backend;
  const HidOpenResult opened = backend.open("/dev/nimbra-no-such-hidraw");
  EXPECT_EQ(opened.connection, nullptr);
  ASSERT_TRUE(IQ_STATUS_IS_ERRNO(opened.status));
  EXPECT_EQ(IQ_STATUS_ERRNO(opened.status), ENOENT);
}

// A read interrupted by a signal used to end the exchange with a platform status; it is an
// empty slice now, and only a real failure becomes a status.
TEST(HidapiBackend, InterruptedReadIsAnEmptySliceAndOnlyARealFailureAStatus) {
  EXPECT_EQ(hidReadResult(-1, EINTR), 0);
  EXPECT_EQ(hidReadResult(-1, ENODEV), IQ_STATUS_FROM_ERRNO(ENODEV));
  EXPECT_EQ(hidReadResult(-1, 0), IQ_STATUS_FROM_ERRNO(EIO));
  EXPECT_EQ(hidReadResult(0, EINTR), 0);
  EXPECT_EQ(hidReadResult(64, 0), 64);
}

TEST(HidapiBackend, EnumeratingAnAbsentProductListsNothing) {
  HidapiBackend backend;
  EXPECT_TRUE(backend.enumerate(0xFFFE, 0xFFFE).empty());
}

}  // namespace
}  // namespace nimbra
