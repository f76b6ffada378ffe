#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "core/dates.h"

namespace nimbra {
namespace {

// Date counts nanoseconds in 64 bits: about 1677-09-21 to 2262-04-11. Dates outside used to
// overflow (9999-12-31 read back as a day in 1816) and are refused now, by every reader.
TEST(DatesRange, Iso8601OutsideTheRepresentableYearsIsRefused) {
  EXPECT_FALSE(parseIso8601("9999-12-31T23:59:59Z"));
  EXPECT_FALSE(parseIso8601("1600-01-01T00:00:00Z"));
  std::optional<Date> last = parseIso8601("2262-04-11T23:47:16Z");
  ASSERT_TRUE(last);
  EXPECT_EQ(iso8601(*last), "2262-04-11T23:47:16Z");
  EXPECT_FALSE(parseIso8601("2262-04-11T23:47:17Z"));
  std::optional<Date> first = parseIso8601("1677-09-21T00:12:44Z");
  ASSERT_TRUE(first);
  EXPECT_EQ(iso8601(*first), "1677-09-21T00:12:44Z");
}

TEST(DatesRange, SecondsOutsideTheRangeAreRefused) {
  EXPECT_FALSE(checkedDateFromSecondsSince2001(5e11));
  EXPECT_FALSE(checkedDateFromSecondsSince1970(-1e10));
  EXPECT_FALSE(checkedDateFromSecondsSince1970(std::nan("")));
  ASSERT_TRUE(checkedDateFromSecondsSince2001(8e9));
  EXPECT_DOUBLE_EQ(secondsSince2001(*checkedDateFromSecondsSince2001(8e9)), 8e9);
}

TEST(DatesRange, FarDatesInWholeSecondsSurviveTheNumberForm) {
  // Nanoseconds this far out need more digits than a double holds.
  for (const char* text :
       {"2206-01-31T08:30:05Z", "2262-04-11T23:47:15Z", "1677-09-21T00:12:45Z"}) {
    Date date = parseIso8601(text).value();
    EXPECT_EQ(checkedDateFromSecondsSince2001(secondsSince2001(date)), date) << text;
  }
}

}  // namespace
}  // namespace nimbra
