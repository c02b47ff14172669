// Numbers as the server and the files write them, and the date text of the
// list page.
#include <gtest/gtest.h>

#include <cmath>

#include "update/CText.h"
#include "update/OleDate.h"

namespace quon {
namespace {

TEST(CNumbers, AtoiReadsLeadingDecimalLikeTheCLibrary) {
  EXPECT_EQ(CAtoi("12"), 12);
  EXPECT_EQ(CAtoi("  \t-3x"), -3);
  EXPECT_EQ(CAtoi("+7"), 7);
  EXPECT_EQ(CAtoi("12abc"), 12);
  EXPECT_EQ(CAtoi("abc"), 0);
  EXPECT_EQ(CAtoi(""), 0);
  EXPECT_EQ(CAtoi("- 3"), 0);
  EXPECT_EQ(CAtoi("99999999999"), 2147483647);
  EXPECT_EQ(CAtoi("-99999999999"), -2147483647 - 1);
}

TEST(CNumbers, StrtoulWrapsNegativesAndSaturatesLargeValues) {
  EXPECT_EQ(CStrtoul("12"), 12u);
  EXPECT_EQ(CStrtoul("abc"), 0u);
  EXPECT_EQ(CStrtoul(" 4294967295"), 4294967295u);
  EXPECT_EQ(CStrtoul("4294967296"), 4294967295u);
  EXPECT_EQ(CStrtoul("123456789012345678901234"), 4294967295u);
  EXPECT_EQ(CStrtoul("-1"), 4294967295u);
  EXPECT_EQ(CStrtoul("3000000000"), 3000000000u);
}

TEST(CNumbers, AtofIgnoresTheProcessLocaleAndStopsAtJunk) {
  EXPECT_DOUBLE_EQ(CAtof("38412"), 38412.0);
  EXPECT_DOUBLE_EQ(CAtof(" 38500.25xyz"), 38500.25);
  EXPECT_DOUBLE_EQ(CAtof("-1.5e2"), -150.0);
  EXPECT_DOUBLE_EQ(CAtof(".5"), 0.5);
  EXPECT_DOUBLE_EQ(CAtof("1,5"), 1.0);
  EXPECT_DOUBLE_EQ(CAtof("xyz"), 0.0);
  EXPECT_DOUBLE_EQ(CAtof(""), 0.0);
  EXPECT_DOUBLE_EQ(CAtof("0x10"), 16.0);
  EXPECT_TRUE(std::isinf(CAtof("1e999")));
  EXPECT_TRUE(std::isnan(CAtof("nan")));
}

TEST(CText, MidPieceClampsLikeTheSessionsStrings) {
  EXPECT_EQ(MidPiece("6.0.3.121", -1, 2), "6.");
  EXPECT_EQ(MidPiece("6.0.3.121", 2, -1), "");
  EXPECT_EQ(MidPiece("6.0.3.121", 20, 2), "");
  EXPECT_EQ(MidPiece("6.0.3.121", 6), "121");
  EXPECT_EQ(MidPiece("6.0.3.121", 6, 100), "121");
}

TEST(OleDateText, FormatsDayMonthYearWithoutTime) {
  EXPECT_EQ(FormatOleDateLong(38412), "March 01, 2005");
  EXPECT_EQ(FormatOleDateLong(38412.5), "March 01, 2005");
  EXPECT_EQ(FormatOleDateLong(38500.25), "May 28, 2005");
  EXPECT_EQ(FormatOleDateLong(0), "December 30, 1899");
  EXPECT_EQ(FormatOleDateLong(2), "January 01, 1900");
  EXPECT_EQ(FormatOleDateLong(60), "February 28, 1900");
  EXPECT_EQ(FormatOleDateLong(61), "March 01, 1900");  // 1900 is no leap year
  EXPECT_EQ(FormatOleDateLong(36585), "February 29, 2000");
}

TEST(OleDateText, NegativeDatesCountTheFractionForward) {
  // -1.25 is December 29, 1899 at 06:00.
  EXPECT_EQ(FormatOleDateLong(-1.25), "December 29, 1899");
  EXPECT_EQ(FormatOleDateLong(-1), "December 29, 1899");
}

TEST(OleDateText, RangeIsYear100ToYear9999) {
  EXPECT_EQ(FormatOleDateLong(-657434), "January 01, 100");
  EXPECT_EQ(FormatOleDateLong(2958465.5), "December 31, 9999");
  EXPECT_EQ(FormatOleDateLong(-657435), "");
  EXPECT_EQ(FormatOleDateLong(2958466), "");
  EXPECT_EQ(FormatOleDateLong(1e300), "");
  EXPECT_EQ(FormatOleDateLong(std::nan("")), "");
  EXPECT_EQ(FormatOleDateLong(INFINITY), "");
}

TEST(OleDateText, RoundsToTheNearestSecond) {
  // A hair before midnight is midnight of the next day.
  EXPECT_EQ(FormatOleDateLong(38412.9999999999), "March 02, 2005");
  // Half a minute before midnight stays on the day.
  EXPECT_EQ(FormatOleDateLong(38412.0 + 1.0 - 30.0 / 86400.0), "March 01, 2005");
}

}  // namespace
}  // namespace quon
