// Dates as the update server sends them: a day count since midnight of
// December 30, 1899, the fraction being the time of day.
#pragma once
#include <cstdint>
#include <string>

namespace quon {

struct CivilDate {
  int64_t year;
  int month;  // 1..12
  int day;    // 1..31
};

// The calendar date of a day number counted from 1970-01-01 (proleptic
// Gregorian calendar).
CivilDate CivilFromDays(int64_t daysSinceEpoch);

// The calendar date of an OLE Automation date, rounded to the nearest
// second. False outside January 1, 100 .. December 31, 9999, and for NaN.
bool OleDateToCivil(double oleDate, CivilDate& date);

// "%B %d, %Y" in the C locale ("March 01, 2005"); an empty text outside the
// range above. Never consults the process locale.
std::string FormatOleDateLong(double oleDate);

}  // namespace quon
