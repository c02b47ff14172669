#include "update/OleDate.h"

#include <cmath>
#include <string>

namespace quon {

namespace {

// Day numbers (days since 1899-12-30) of the first and last valid dates.
constexpr double kMinOleDate = -657434.0;           // January 1, 100
constexpr double kMaxOleDate = 2958465.0;           // December 31, 9999
constexpr int64_t kOleEpochFromUnixEpoch = -25569;  // 1899-12-30 - 1970-01-01
constexpr double kHalfSecond = 1.0 / (2.0 * 86400.0);

const char* const kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};

}  // namespace

CivilDate CivilFromDays(int64_t z) {
  // Era arithmetic on 400-year cycles starting 0000-03-01.
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;                                   // [0, 146096]
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);             // [0, 365]
  const int64_t mp = (5 * doy + 2) / 153;                                  // [0, 11]
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return CivilDate{year, month, day};
}

bool OleDateToCivil(double oleDate, CivilDate& date) {
  if (std::isnan(oleDate) || std::isinf(oleDate)) return false;
  // The integer part is the day (for negative dates too: -1.25 is
  // December 29, 1899 at 06:00); round to the nearest second first.
  double rounded = oleDate + (oleDate >= 0 ? kHalfSecond : -kHalfSecond);
  double dayPart = std::trunc(rounded);
  if (dayPart < kMinOleDate || dayPart > kMaxOleDate) return false;
  date = CivilFromDays(static_cast<int64_t>(dayPart) + kOleEpochFromUnixEpoch);
  return true;
}

std::string FormatOleDateLong(double oleDate) {
  CivilDate date{};
  if (!OleDateToCivil(oleDate, date)) return std::string();
  std::string text = kMonthNames[date.month - 1];
  text += ' ';
  text += static_cast<char>('0' + date.day / 10);
  text += static_cast<char>('0' + date.day % 10);
  text += ", ";
  text += std::to_string(date.year);
  return text;
}

}  // namespace quon
