#pragma once
// SQL Server column types as the sandbox sends them: parsing T-SQL type names
// (and SQLite declared types), the TYPE_INFO of COLMETADATA, the encoding of
// SQLite values into ROW data, and the SQLite functions that give T-SQL's
// CAST/CONVERT and built-ins their SQL Server results.

#include "untTdsWire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_value;

namespace tds {

enum class TKind {
    TinyInt, SmallInt, Int, BigInt, Bit, Real, Float, Decimal, Numeric, Money, SmallMoney,
    Char, VarChar, NChar, NVarChar, VarCharMax, NVarCharMax, Text, NText,
    Binary, VarBinary, VarBinaryMax, Image,
    Date, Time, DateTime, DateTime2, SmallDateTime, Guid,
};

struct TColType {
    TKind Kind = TKind::Int;
    int Size = 0;        // characters for character types, bytes for binary types
    int Precision = 0;   // decimal/numeric
    int Scale = 0;       // decimal/numeric, time/datetime2 fractional digits
};

// T-SQL type names ("decimal(18,2)", "nvarchar(max)", "datetime2(3)") and the
// declared types SQLite keeps for table columns. Nothing for an unknown name.
std::optional<TColType> ParseTypeName(std::string_view text);
std::string TypeName(const TColType& type);

// The type of a column that has no declared type, from its first value.
TColType InferType(sqlite3_value* value);

// What the client gets: TDS before 7.3 knows no date, time or datetime2.
TColType WireType(const TColType& type, uint32_t tdsVersion);

void WriteTypeInfo(TTdsWire& w, const TColType& type, uint32_t tdsVersion);

struct TValueError {
    int Number = 0;
    std::string Message;
};

// Appends one ROW value. False with an error when the value does not convert.
bool WriteValue(TTdsWire& w, const TColType& type, sqlite3_value* value, bool exactLength, TValueError& error);

// Session facts the SQL functions need.
struct TFunctionContext {
    std::string DatabaseName;
    std::string UserName;
    std::string Version;
};

// Registers tds_cast, tds_try_cast, tds_nz, GETDATE, NEWID, DB_NAME, LEN, ISNULL and friends.
void RegisterFunctions(sqlite3* db, TFunctionContext* ctx);

// Functions report T-SQL errors through SQLite error texts of this form:
// "\x02<number>|<severity>|<text>"; ParseFunctionError undoes it.
bool ParseFunctionError(const std::string& sqliteMessage, int& number, int& severity, std::string& text);

// "YYYY-MM-DD HH:MM:SS.fff" of now, local time.
std::string NowText(bool utc, int fractionDigits);

}  // namespace tds
