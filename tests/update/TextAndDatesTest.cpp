// Numbers as the server and the files write them, and the date text of the
// list page.
#include <gtest/gtest.h>

#include <cmath>

#include "base/CText.h"
#include "update/OleDate.h"

namespace quon {
namespace {

TEST(CNumbers, AtoiReadsLeadingDecimalLikeTheCLibrary) {
  const std::pair<const char*, int32_t> cases[] = {
      {"12", 12}, {"  \t-3x", -3}, {"+7", 7}, {"12abc", 12}, {"abc", 0}, {"", 0}, {"- 3", 0},
      {"99999999999", 2147483647}, {"-99999999999", -2147483647 - 1}};
  for (const auto& [text, value] : cases) EXPECT_EQ(CAtoi(text), value) << text;
}

TEST(CNumbers, StrtoulWrapsNegativesAndSaturatesLargeValues) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"12", 12u}, {"abc", 0u}, {" 4294967295", 4294967295u}, {"4294967296", 4294967295u},
      {"123456789012345678901234", 4294967295u}, {"-1", 4294967295u}, {"3000000000", 3000000000u}};
  for (const auto& [text, value] : cases) EXPECT_EQ(CStrtoul(text), value) << text;
}

TEST(CNumbers, AtofReadsDecimalOnlyIgnoresTheProcessLocaleAndStopsAtJunk) {
  const std::pair<const char*, double> cases[] = {
      {"38412", 38412.0}, {" 38500.25xyz", 38500.25}, {"-1.5e2", -150.0}, {".5", 0.5},
      {"1,5", 1.0},       {"xyz", 0.0},               {"", 0.0},
      // Hexadecimal stops at the x; inf and nan are no number.
      {"0x10", 0.0},      {"0x9600", 0.0},            {"inf", 0.0},       {"-INFINITY", 0.0},
      {"nan", 0.0},       {" NaN(1)", 0.0}};
  for (const auto& [text, value] : cases) EXPECT_DOUBLE_EQ(CAtof(text), value) << text;
  EXPECT_TRUE(std::isinf(CAtof("1e999")));
}

TEST(CText, MidPieceClampsLikeTheSessionsStrings) {
  EXPECT_EQ(MidPiece("6.0.3.121", -1, 2), "6.");
  EXPECT_EQ(MidPiece("6.0.3.121", 2, -1), "");
  EXPECT_EQ(MidPiece("6.0.3.121", 20, 2), "");
  EXPECT_EQ(MidPiece("6.0.3.121", 6), "121");
  EXPECT_EQ(MidPiece("6.0.3.121", 6, 100), "121");
}

TEST(OleDateText, FormatsDayMonthYearWithoutTimeFromYear100ToYear9999) {
  const std::pair<double, const char*> cases[] = {
      {38412, "March 01, 2005"},   {38412.5, "March 01, 2005"},    {38500.25, "May 28, 2005"},
      {0, "December 30, 1899"},    {2, "January 01, 1900"},        {60, "February 28, 1900"},
      {61, "March 01, 1900"},  // 1900 is no leap year
      {36585, "February 29, 2000"},
      // Negative dates count the fraction forward: -1.25 is December 29,
      // 1899 at 06:00.
      {-1.25, "December 29, 1899"}, {-1, "December 29, 1899"},
      {-657434, "January 01, 100"}, {2958465.5, "December 31, 9999"},
      {-657435, ""}, {2958466, ""}, {1e300, ""}, {std::nan(""), ""}, {INFINITY, ""}};
  for (const auto& [date, text] : cases) EXPECT_EQ(FormatOleDateLong(date), text) << date;
}

TEST(OleDateText, RoundsToTheNearestSecond) {
  // A hair before midnight is midnight of the next day.
  EXPECT_EQ(FormatOleDateLong(38412.9999999999), "March 02, 2005");
  // Half a minute before midnight stays on the day.
  EXPECT_EQ(FormatOleDateLong(38412.0 + 1.0 - 30.0 / 86400.0), "March 01, 2005");
}

}  // namespace
}  // namespace quon
