// The date text of the list page.
#include <gtest/gtest.h>

#include <cmath>

#include "update/OleDate.h"

namespace quon {
namespace {

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
