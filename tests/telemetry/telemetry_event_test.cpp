#include "telemetry/telemetry_event.h"

#include <string>

#include <gtest/gtest.h>

#include "support/result_assertions.h"

namespace nimbra {
namespace {

constexpr char kEvent[] =
    R"({"id":"A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D","installId":"B1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D",)"
    R"("sessionId":"C1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D","occurredAt":1771200000.5,"kind":"launch",)"
    R"("language":"zh-Hans","os":"Debian 12","appBuild":"1")";

// Null is "absent" for every optional key, as in every other stored document; a null used to
// make the whole outbox unreadable for the run.
TEST(TelemetryEventTest, NullOptionalKeysReadAsAbsent) {
  std::string text = std::string("[") + kEvent +
                     R"(,"module":null,"device":null,"appVersion":null,"serial":null}])";
  auto events = decodeTelemetryEvents(text);
  ASSERT_OK(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_FALSE((*events)[0].module);
  EXPECT_FALSE((*events)[0].device);
  EXPECT_FALSE((*events)[0].appVersion);
  EXPECT_FALSE((*events)[0].serial);
}

TEST(TelemetryEventTest, NullRequiredKeyFailsTheDocument) {
  std::string text = std::string("[") + kEvent + R"(,"kind":null}])";
  EXPECT_FALSE(decodeTelemetryEvents(text).ok());
}

}  // namespace
}  // namespace nimbra
