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

TEST(HidapiBackend, EnumeratingAnAbsentProductListsNothing) {
  HidapiBackend backend;
  EXPECT_TRUE(backend.enumerate(0xFFFE, 0xFFFE).empty());
}

}  // namespace
}  // namespace nimbra
