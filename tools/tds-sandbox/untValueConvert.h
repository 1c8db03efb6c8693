#pragma once
// Value conversions of the sandbox, shared by the row encoder (untTdsValues)
// and the SQL functions (untSqlFunctions): SQLite values read as T-SQL numbers,
// decimals, dates and GUIDs, and the texts SQL Server gives them.

#include "untTdsValues.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tds::convert {

using i128 = __int128;

constexpr int64_t kTicksPerDay = 864000000000LL;   // 100 ns ticks
extern const int64_t kDay0001;                     // 0001-01-01 in days from 1970-01-01
extern const int64_t kDay1900;                     // 1900-01-01 in days from 1970-01-01

struct TDateTime {
    int64_t Days = 0;    // since 0001-01-01
    int64_t Ticks = 0;   // 100 ns since midnight
};

// Lower-case ASCII with blanks removed (type and property names).
std::string Lower(std::string_view s);

// Proleptic Gregorian calendar: days from 1970-01-01 and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d);
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d);

// Date and time texts: 'YYYY-MM-DD[ hh:mm[:ss[.fffffff]]]', 'YYYYMMDD', 'MM/DD/YYYY', 'hh:mm[:ss]'.
bool Digits(std::string_view s, size_t pos, size_t n, int& out);
bool ValidDate(int y, int m, int d);
bool ParseTime(std::string_view s, size_t& pos, int64_t& ticks);
bool ParseDateTimeText(std::string_view raw, TDateTime& out, bool& hasDate, bool& hasTime);
std::string FormatDate(int64_t days);
std::string FormatTime(int64_t ticks, int digits);
int64_t Pow10(int n);
// Rounding to a number of fraction digits, and to datetime's 1/300 s.
void RoundTicks(TDateTime& dt, int digits);
void RoundDateTime(TDateTime& dt, int64_t& ticks300);
// A value as a date and time; numbers count days from 1900-01-01.
bool ValueToDateTime(sqlite3_value* v, TDateTime& dt, bool& hasDate, bool& hasTime);

// Exact decimals, scaled to a number of fraction digits, rounding half away from zero.
i128 Pow10Big(int n);
bool ParseDecimalText(std::string_view s, int scale, i128& out);
bool ValueToDecimal(sqlite3_value* v, int scale, i128& out);
std::string DecimalText(i128 v, int scale);

// A value as text, the way a conversion to a character type shows it.
std::string ValueText(sqlite3_value* v);
const char* KindSqlName(TKind k);
// uniqueidentifier: text or 16 bytes to the wire layout, and back to text.
bool ParseGuid(sqlite3_value* v, uint8_t out[16]);
std::string GuidText(const uint8_t w[16]);
// The conversion error SQL Server reports for a value that does not fit the type; returns false.
bool ConvertError(TValueError& e, sqlite3_value* v, const TColType& t);
// Numbers from values of any storage class; false when the value is no number.
bool ToInt64(sqlite3_value* v, int64_t& out);
bool ToDouble(sqlite3_value* v, double& out);
bool IntRange(TKind k, int64_t v);

}  // namespace tds::convert
