// The SQLite functions that give T-SQL built-ins their SQL Server results:
// CAST/CONVERT to T-SQL types, divide-by-zero checks, GETDATE, NEWID, DATEADD ...

#include "untTdsValues.h"

#include "untValueConvert.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>

namespace tds {

using namespace convert;

// ---- SQL functions -----------------------------------------------------------

namespace {

void ResultError(sqlite3_context* c, int number, int severity, const std::string& text)
{
    const std::string msg = "\x02" + std::to_string(number) + "|" + std::to_string(severity) + "|" + text;
    sqlite3_result_error(c, msg.c_str(), int(msg.size()));
}

const TColType* CachedType(sqlite3_context* c, sqlite3_value* typeArg)
{
    if (auto* cached = static_cast<TColType*>(sqlite3_get_auxdata(c, 1))) return cached;
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(typeArg));
    const auto parsed = ParseTypeName(text ? text : "");
    if (!parsed) return nullptr;
    auto* t = new TColType(*parsed);
    sqlite3_set_auxdata(c, 1, t, [](void* p) { delete static_cast<TColType*>(p); });
    return static_cast<TColType*>(sqlite3_get_auxdata(c, 1)) ? static_cast<TColType*>(sqlite3_get_auxdata(c, 1)) : nullptr;
}

// Converts v to the T-SQL type; false with an error (or NULL result for TRY_).
bool CastValue(sqlite3_context* c, sqlite3_value* v, const TColType& t, TValueError& err)
{
    const int vt = sqlite3_value_type(v);
    if (vt == SQLITE_NULL) { sqlite3_result_null(c); return true; }
    switch (t.Kind) {
    case TKind::TinyInt: case TKind::SmallInt: case TKind::Int: case TKind::BigInt: {
        int64_t i;
        if (vt == SQLITE_TEXT) {
            if (!ToInt64(v, i)) return ConvertError(err, v, t);
        } else if (!ToInt64(v, i)) {
            return ConvertError(err, v, t);
        }
        if (!IntRange(t.Kind, i)) {
            err = {8115, std::string("Arithmetic overflow error converting expression to data type ") + KindSqlName(t.Kind) + "."};
            return false;
        }
        sqlite3_result_int64(c, i);
        return true;
    }
    case TKind::Bit: {
        double d;
        if (vt == SQLITE_TEXT) {
            const std::string s = Lower(ValueText(v));
            if (s == "true") { sqlite3_result_int(c, 1); return true; }
            if (s == "false") { sqlite3_result_int(c, 0); return true; }
        }
        if (!ToDouble(v, d)) return ConvertError(err, v, t);
        sqlite3_result_int(c, d != 0.0);
        return true;
    }
    case TKind::Real: case TKind::Float: {
        double d;
        if (!ToDouble(v, d)) return ConvertError(err, v, t);
        sqlite3_result_double(c, t.Kind == TKind::Real ? double(float(d)) : d);
        return true;
    }
    case TKind::Decimal: case TKind::Numeric: case TKind::Money: case TKind::SmallMoney: {
        i128 x;
        if (!ValueToDecimal(v, t.Scale, x)) return ConvertError(err, v, t);
        const i128 mag = x < 0 ? -x : x;
        if (mag >= Pow10Big(t.Precision)) {
            err = {8115, "Arithmetic overflow error converting " + std::string(vt == SQLITE_TEXT ? "varchar" : "numeric") + " to data type numeric."};
            return false;
        }
        if (t.Precision <= 15) {
            sqlite3_result_double(c, double(x) / double(Pow10(t.Scale)));
        } else {
            const std::string s = DecimalText(x, t.Scale);
            sqlite3_result_text(c, s.c_str(), int(s.size()), SQLITE_TRANSIENT);
        }
        return true;
    }
    case TKind::Char: case TKind::VarChar: case TKind::NChar: case TKind::NVarChar:
    case TKind::VarCharMax: case TKind::NVarCharMax: case TKind::Text: case TKind::NText: {
        std::string s;
        if (vt == SQLITE_FLOAT) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.15g", sqlite3_value_double(v));
            s = buf;
        } else {
            s = ValueText(v);
        }
        if (t.Size > 0) {
            std::u16string u = Utf8ToUtf16(s);
            if (u.size() > size_t(t.Size)) {
                // Cut at a character boundary of the UTF-8 text.
                size_t units = 0, i = 0;
                while (i < s.size()) {
                    size_t j = i + 1;
                    while (j < s.size() && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) ++j;
                    const size_t w = (static_cast<unsigned char>(s[i]) >= 0xF0) ? 2 : 1;
                    if (units + w > size_t(t.Size)) break;
                    units += w;
                    i = j;
                }
                s.resize(i);
            } else if (t.Kind == TKind::Char || t.Kind == TKind::NChar) {
                s.append(size_t(t.Size) - u.size(), ' ');
            }
        }
        sqlite3_result_text(c, s.c_str(), int(s.size()), SQLITE_TRANSIENT);
        return true;
    }
    case TKind::Binary: case TKind::VarBinary: case TKind::VarBinaryMax: case TKind::Image: {
        std::vector<uint8_t> bytes;
        if (vt == SQLITE_INTEGER) {
            const int64_t i = sqlite3_value_int64(v);
            const int n = (i >= INT32_MIN && i <= INT32_MAX) ? 4 : 8;
            for (int k = n - 1; k >= 0; --k) bytes.push_back(uint8_t(uint64_t(i) >> (8 * k)));
        } else if (vt == SQLITE_FLOAT) {
            return ConvertError(err, v, t);
        } else {
            const auto* p = static_cast<const uint8_t*>(sqlite3_value_blob(v));
            bytes.assign(p, p + sqlite3_value_bytes(v));
        }
        if (t.Size > 0) {
            if (bytes.size() > size_t(t.Size)) {
                // Numbers keep their low-order bytes, as SQL Server does.
                if (vt == SQLITE_INTEGER) bytes.erase(bytes.begin(), bytes.end() - t.Size);
                else bytes.resize(size_t(t.Size));
            }
            if (t.Kind == TKind::Binary && bytes.size() < size_t(t.Size)) {
                if (vt == SQLITE_INTEGER) bytes.insert(bytes.begin(), size_t(t.Size) - bytes.size(), 0);
                else bytes.resize(size_t(t.Size), 0);
            }
        }
        sqlite3_result_blob(c, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT);
        return true;
    }
    case TKind::Guid: {
        uint8_t g[16];
        if (!ParseGuid(v, g)) return ConvertError(err, v, t);
        const std::string s = GuidText(g);
        sqlite3_result_text(c, s.c_str(), int(s.size()), SQLITE_TRANSIENT);
        return true;
    }
    case TKind::Date: case TKind::Time: case TKind::DateTime: case TKind::DateTime2: case TKind::SmallDateTime: {
        TDateTime dt;
        bool hasDate, hasTime;
        if (!ValueToDateTime(v, dt, hasDate, hasTime)) return ConvertError(err, v, t);
        std::string s;
        if (t.Kind == TKind::Date) {
            s = FormatDate(dt.Days);
        } else if (t.Kind == TKind::Time) {
            RoundTicks(dt, t.Scale);
            s = FormatTime(dt.Ticks, t.Scale);
        } else if (t.Kind == TKind::DateTime2) {
            RoundTicks(dt, t.Scale);
            s = FormatDate(dt.Days) + " " + FormatTime(dt.Ticks, t.Scale);
        } else if (t.Kind == TKind::DateTime) {
            int64_t t300;
            RoundDateTime(dt, t300);
            s = FormatDate(dt.Days) + " " + FormatTime(dt.Ticks, 3);
        } else {
            int64_t minutes = (dt.Ticks + 300000000LL) / 600000000LL;
            if (minutes >= 1440) { minutes -= 1440; ++dt.Days; }
            s = FormatDate(dt.Days) + " " + FormatTime(minutes * 600000000LL, 0);
        }
        sqlite3_result_text(c, s.c_str(), int(s.size()), SQLITE_TRANSIENT);
        return true;
    }
    }
    return ConvertError(err, v, t);
}

void FnCast(sqlite3_context* c, int, sqlite3_value** argv, bool tryCast)
{
    const TColType* t = CachedType(c, argv[1]);
    if (!t) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
        ResultError(c, 243, 16, std::string("Type ") + (text ? text : "") + " is not a defined system type.");
        return;
    }
    TValueError err;
    if (!CastValue(c, argv[0], *t, err)) {
        if (tryCast) sqlite3_result_null(c);
        else ResultError(c, err.Number, 16, err.Message);
    }
}

void FnNz(sqlite3_context* c, int, sqlite3_value** argv)
{
    sqlite3_value* v = argv[0];
    const int vt = sqlite3_value_type(v);
    if ((vt == SQLITE_INTEGER && sqlite3_value_int64(v) == 0) || (vt == SQLITE_FLOAT && sqlite3_value_double(v) == 0.0) ||
        (vt == SQLITE_TEXT && sqlite3_value_numeric_type(v) != SQLITE_TEXT && sqlite3_value_double(v) == 0.0)) {
        ResultError(c, 8134, 16, "Divide by zero error encountered.");
        return;
    }
    sqlite3_result_value(c, v);
}

void FnNewId(sqlite3_context* c, int, sqlite3_value**)
{
    thread_local std::mt19937_64 rng{std::random_device{}()};
    uint8_t b[16];
    const uint64_t a = rng(), d = rng();
    std::memcpy(b, &a, 8);
    std::memcpy(b + 8, &d, 8);
    b[7] = uint8_t((b[7] & 0x0F) | 0x40);   // version 4 in the wire layout of data3
    b[8] = uint8_t((b[8] & 0x3F) | 0x80);
    const std::string s = GuidText(b);
    sqlite3_result_text(c, s.c_str(), int(s.size()), SQLITE_TRANSIENT);
}

void FnText(sqlite3_context* c, const std::string& s)
{
    sqlite3_result_text(c, s.c_str(), int(s.size()), SQLITE_TRANSIENT);
}

int64_t DatePartUnit(const std::string& part, bool& months, bool& ok)
{
    ok = true;
    months = false;
    const std::string p = Lower(part);
    if (p == "year" || p == "yy" || p == "yyyy") { months = true; return 12; }
    if (p == "quarter" || p == "qq" || p == "q") { months = true; return 3; }
    if (p == "month" || p == "mm" || p == "m") { months = true; return 1; }
    if (p == "day" || p == "dd" || p == "d" || p == "dayofyear" || p == "dy" || p == "y") return kTicksPerDay;
    if (p == "week" || p == "wk" || p == "ww") return 7 * kTicksPerDay;
    if (p == "hour" || p == "hh") return 36000000000LL;
    if (p == "minute" || p == "mi" || p == "n") return 600000000LL;
    if (p == "second" || p == "ss" || p == "s") return 10000000LL;
    if (p == "millisecond" || p == "ms") return 10000LL;
    if (p == "microsecond" || p == "mcs") return 10LL;
    ok = false;
    return 0;
}

void FnDateAdd(sqlite3_context* c, int, sqlite3_value** argv)
{
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
    bool months, ok;
    const auto* part = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const int64_t unit = DatePartUnit(part ? part : "", months, ok);
    if (!ok) { ResultError(c, 155, 15, std::string("'") + (part ? part : "") + "' is not a recognized dateadd option."); return; }
    TDateTime dt;
    bool hasDate, hasTime;
    if (!ValueToDateTime(argv[2], dt, hasDate, hasTime)) { ResultError(c, 241, 16, "Conversion failed when converting date and/or time from character string."); return; }
    const int64_t n = sqlite3_value_int64(argv[1]);
    if (months) {
        int64_t y; unsigned m, d;
        CivilFromDays(dt.Days + kDay0001, y, m, d);
        int64_t total = y * 12 + (m - 1) + n * unit;
        y = total / 12;
        m = unsigned(total % 12) + 1;
        while (d > 28 && !ValidDate(int(y), int(m), int(d))) --d;
        dt.Days = DaysFromCivil(y, m, d) - kDay0001;
    } else {
        int64_t ticks = dt.Ticks + n * unit;
        int64_t dayShift = ticks / kTicksPerDay;
        ticks %= kTicksPerDay;
        if (ticks < 0) { ticks += kTicksPerDay; --dayShift; }
        dt.Days += dayShift;
        dt.Ticks = ticks;
    }
    FnText(c, FormatDate(dt.Days) + " " + FormatTime(dt.Ticks, 3));
}

void FnDateDiff(sqlite3_context* c, int, sqlite3_value** argv)
{
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
    bool months, ok;
    const auto* part = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const int64_t unit = DatePartUnit(part ? part : "", months, ok);
    if (!ok) { ResultError(c, 155, 15, std::string("'") + (part ? part : "") + "' is not a recognized datediff option."); return; }
    TDateTime a, b;
    bool hd, ht;
    if (!ValueToDateTime(argv[1], a, hd, ht) || !ValueToDateTime(argv[2], b, hd, ht)) {
        ResultError(c, 241, 16, "Conversion failed when converting date and/or time from character string.");
        return;
    }
    if (months) {
        int64_t y1, y2; unsigned m1, m2, d1, d2;
        CivilFromDays(a.Days + kDay0001, y1, m1, d1);
        CivilFromDays(b.Days + kDay0001, y2, m2, d2);
        sqlite3_result_int64(c, ((y2 * 12 + m2) - (y1 * 12 + m1)) / unit);
        return;
    }
    // Boundaries crossed, as SQL Server counts them.
    auto floorDiv = [](i128 x, int64_t u) { i128 q = x / u; if ((x % u) != 0 && x < 0) --q; return q; };
    const i128 ta = i128(a.Days) * kTicksPerDay + a.Ticks, tb = i128(b.Days) * kTicksPerDay + b.Ticks;
    sqlite3_result_int64(c, int64_t(floorDiv(tb, unit) - floorDiv(ta, unit)));
}

void FnDatePart(sqlite3_context* c, int, sqlite3_value** argv)
{
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
    const auto* part = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const std::string p = Lower(part ? part : "");
    TDateTime dt;
    bool hd, ht;
    if (!ValueToDateTime(argv[1], dt, hd, ht)) { ResultError(c, 241, 16, "Conversion failed when converting date and/or time from character string."); return; }
    int64_t y; unsigned m, d;
    CivilFromDays(dt.Days + kDay0001, y, m, d);
    const int64_t secs = dt.Ticks / 10000000LL;
    int64_t r;
    if (p == "year" || p == "yy" || p == "yyyy") r = y;
    else if (p == "quarter" || p == "qq" || p == "q") r = (m - 1) / 3 + 1;
    else if (p == "month" || p == "mm" || p == "m") r = m;
    else if (p == "day" || p == "dd" || p == "d") r = d;
    else if (p == "dayofyear" || p == "dy" || p == "y") r = dt.Days - (DaysFromCivil(y, 1, 1) - kDay0001) + 1;
    else if (p == "weekday" || p == "dw") r = ((dt.Days + 1) % 7) + 1;   // Sunday = 1
    else if (p == "hour" || p == "hh") r = secs / 3600;
    else if (p == "minute" || p == "mi" || p == "n") r = (secs / 60) % 60;
    else if (p == "second" || p == "ss" || p == "s") r = secs % 60;
    else if (p == "millisecond" || p == "ms") r = (dt.Ticks / 10000) % 1000;
    else { ResultError(c, 155, 15, "'" + p + "' is not a recognized datepart option."); return; }
    sqlite3_result_int64(c, r);
}

}  // namespace

std::string NowText(bool utc, int digits)
{
    const auto now = std::chrono::system_clock::now();
    const auto since = now.time_since_epoch();
    const int64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    std::time_t secs = std::time_t(ticks / 10000000LL);
    std::tm tm{};
    if (utc) gmtime_r(&secs, &tm);
    else localtime_r(&secs, &tm);
    const int64_t days = DaysFromCivil(tm.tm_year + 1900, unsigned(tm.tm_mon + 1), unsigned(tm.tm_mday)) - kDay0001;
    TDateTime dt{days, ((int64_t(tm.tm_hour) * 60 + tm.tm_min) * 60 + tm.tm_sec) * 10000000LL + ticks % 10000000LL};
    if (digits == 3) {
        int64_t t300;
        RoundDateTime(dt, t300);
    } else {
        RoundTicks(dt, digits);
    }
    return FormatDate(dt.Days) + " " + FormatTime(dt.Ticks, digits);
}

bool ParseFunctionError(const std::string& m, int& number, int& severity, std::string& text)
{
    const auto start = m.find('\x02');
    if (start == std::string::npos) return false;
    const auto bar1 = m.find('|', start);
    const auto bar2 = bar1 == std::string::npos ? bar1 : m.find('|', bar1 + 1);
    if (bar2 == std::string::npos) return false;
    number = std::atoi(m.substr(start + 1, bar1 - start - 1).c_str());
    severity = std::atoi(m.substr(bar1 + 1, bar2 - bar1 - 1).c_str());
    text = m.substr(bar2 + 1);
    return true;
}

void RegisterFunctions(sqlite3* db, TFunctionContext* ctx)
{
    const int det = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    const int nondet = SQLITE_UTF8;
    sqlite3_create_function(db, "tds_cast", 2, det, nullptr,
                            [](sqlite3_context* c, int n, sqlite3_value** a) { FnCast(c, n, a, false); }, nullptr, nullptr);
    sqlite3_create_function(db, "tds_try_cast", 2, det, nullptr,
                            [](sqlite3_context* c, int n, sqlite3_value** a) { FnCast(c, n, a, true); }, nullptr, nullptr);
    sqlite3_create_function(db, "tds_nz", 1, det, nullptr, FnNz, nullptr, nullptr);
    sqlite3_create_function(db, "tds_dateadd", 3, det, nullptr, FnDateAdd, nullptr, nullptr);
    sqlite3_create_function(db, "tds_datediff", 3, det, nullptr, FnDateDiff, nullptr, nullptr);
    sqlite3_create_function(db, "tds_datepart", 2, det, nullptr, FnDatePart, nullptr, nullptr);
    sqlite3_create_function(db, "tds_datename", 2, det, nullptr, FnDatePart, nullptr, nullptr);
    sqlite3_create_function(db, "getdate", 0, nondet, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value**) { FnText(c, NowText(false, 3)); }, nullptr, nullptr);
    sqlite3_create_function(db, "getutcdate", 0, nondet, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value**) { FnText(c, NowText(true, 3)); }, nullptr, nullptr);
    sqlite3_create_function(db, "sysdatetime", 0, nondet, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value**) { FnText(c, NowText(false, 7)); }, nullptr, nullptr);
    sqlite3_create_function(db, "sysutcdatetime", 0, nondet, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value**) { FnText(c, NowText(true, 7)); }, nullptr, nullptr);
    sqlite3_create_function(db, "newid", 0, nondet, nullptr, FnNewId, nullptr, nullptr);
    sqlite3_create_function(db, "db_name", 0, nondet, ctx,
                            [](sqlite3_context* c, int, sqlite3_value**) {
                                FnText(c, static_cast<TFunctionContext*>(sqlite3_user_data(c))->DatabaseName);
                            }, nullptr, nullptr);
    for (const char* name : {"suser_sname", "suser_name", "user_name", "current_user", "system_user"})
        sqlite3_create_function(db, name, 0, nondet, ctx,
                                [](sqlite3_context* c, int, sqlite3_value**) {
                                    FnText(c, static_cast<TFunctionContext*>(sqlite3_user_data(c))->UserName);
                                }, nullptr, nullptr);
    sqlite3_create_function(db, "tds_version", 0, nondet, ctx,
                            [](sqlite3_context* c, int, sqlite3_value**) {
                                FnText(c, static_cast<TFunctionContext*>(sqlite3_user_data(c))->Version);
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "host_name", 0, nondet, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value**) { FnText(c, "localhost"); }, nullptr, nullptr);
    sqlite3_create_function(db, "app_name", 0, nondet, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value**) { FnText(c, ""); }, nullptr, nullptr);
    sqlite3_create_function(db, "tds_isnull", 2, det, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value** a) {
                                sqlite3_result_value(c, sqlite3_value_type(a[0]) == SQLITE_NULL ? a[1] : a[0]);
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "len", 1, det, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value** a) {
                                if (sqlite3_value_type(a[0]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
                                std::string s = ValueText(a[0]);
                                while (!s.empty() && s.back() == ' ') s.pop_back();   // LEN ignores trailing blanks
                                sqlite3_result_int64(c, int64_t(Utf16Length(s)));
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "datalength", 1, det, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value** a) {
                                if (sqlite3_value_type(a[0]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
                                sqlite3_result_int64(c, sqlite3_value_bytes(a[0]));
                            }, nullptr, nullptr);
    auto charindex = [](sqlite3_context* c, int n, sqlite3_value** a) {
        if (sqlite3_value_type(a[0]) == SQLITE_NULL || sqlite3_value_type(a[1]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
        const std::u16string needle = Utf8ToUtf16(Lower(ValueText(a[0])));
        const std::u16string hay = Utf8ToUtf16(Lower(ValueText(a[1])));
        size_t from = n > 2 ? size_t(std::max<int64_t>(1, sqlite3_value_int64(a[2])) - 1) : 0;
        const size_t pos = needle.empty() ? std::u16string::npos : hay.find(needle, from);
        sqlite3_result_int64(c, pos == std::u16string::npos ? 0 : int64_t(pos) + 1);
    };
    sqlite3_create_function(db, "charindex", 2, det, nullptr, charindex, nullptr, nullptr);
    sqlite3_create_function(db, "charindex", 3, det, nullptr, charindex, nullptr, nullptr);
    sqlite3_create_function(db, "concat", -1, det, nullptr,
                            [](sqlite3_context* c, int n, sqlite3_value** a) {
                                std::string s;
                                for (int i = 0; i < n; ++i) s += ValueText(a[i]);
                                FnText(c, s);
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "tds_left", 2, det, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value** a) {
                                if (sqlite3_value_type(a[0]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
                                const std::u16string u = Utf8ToUtf16(ValueText(a[0]));
                                const int64_t k = std::max<int64_t>(0, sqlite3_value_int64(a[1]));
                                const std::u16string cut = u.substr(0, size_t(k));
                                std::vector<uint8_t> b;
                                for (char16_t ch : cut) { b.push_back(uint8_t(ch)); b.push_back(uint8_t(ch >> 8)); }
                                FnText(c, Utf16ToUtf8(b.data(), cut.size()));
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "tds_right", 2, det, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value** a) {
                                if (sqlite3_value_type(a[0]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
                                const std::u16string u = Utf8ToUtf16(ValueText(a[0]));
                                const size_t k = size_t(std::max<int64_t>(0, sqlite3_value_int64(a[1])));
                                const std::u16string cut = k >= u.size() ? u : u.substr(u.size() - k);
                                std::vector<uint8_t> b;
                                for (char16_t ch : cut) { b.push_back(uint8_t(ch)); b.push_back(uint8_t(ch >> 8)); }
                                FnText(c, Utf16ToUtf8(b.data(), cut.size()));
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "space", 1, det, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value** a) {
                                FnText(c, std::string(size_t(std::clamp<int64_t>(sqlite3_value_int64(a[0]), 0, 8000)), ' '));
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "replicate", 2, det, nullptr,
                            [](sqlite3_context* c, int, sqlite3_value** a) {
                                if (sqlite3_value_type(a[0]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
                                const std::string s = ValueText(a[0]);
                                const int64_t k = std::clamp<int64_t>(sqlite3_value_int64(a[1]), 0, 1 << 20);
                                std::string out;
                                for (int64_t i = 0; i < k && out.size() < (64u << 20); ++i) out += s;
                                FnText(c, out);
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "object_id", -1, nondet, nullptr,
                            [](sqlite3_context* c, int n, sqlite3_value** a) {
                                if (n < 1 || sqlite3_value_type(a[0]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
                                // 'db.dbo.[name]' -> name; temporary tables live in the temp schema.
                                std::string name = ValueText(a[0]);
                                if (const auto dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
                                if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
                                sqlite3* db = sqlite3_context_db_handle(c);
                                sqlite3_stmt* st = nullptr;
                                const char* sql = "SELECT rowid FROM sqlite_master WHERE name = ?1 COLLATE NOCASE "
                                                  "UNION ALL SELECT -rowid FROM sqlite_temp_master WHERE name = ?1 COLLATE NOCASE";
                                if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) { sqlite3_result_null(c); return; }
                                sqlite3_bind_text(st, 1, name.c_str(), int(name.size()), SQLITE_TRANSIENT);
                                if (sqlite3_step(st) == SQLITE_ROW) sqlite3_result_int64(c, 1000 + sqlite3_column_int64(st, 0));
                                else sqlite3_result_null(c);
                                sqlite3_finalize(st);
                            }, nullptr, nullptr);
    sqlite3_create_function(db, "serverproperty", 1, nondet, ctx,
                            [](sqlite3_context* c, int, sqlite3_value** a) {
                                const std::string p = Lower(ValueText(a[0]));
                                if (p == "productversion") FnText(c, "15.0.2000.5");
                                else if (p == "productlevel") FnText(c, "RTM");
                                else if (p == "productmajorversion") sqlite3_result_int(c, 15);
                                else if (p == "edition") FnText(c, "Developer Edition (64-bit)");
                                else if (p == "engineedition") sqlite3_result_int(c, 3);
                                else if (p == "servername" || p == "machinename" || p == "computernamephysicalnetbios") FnText(c, "TDS-SANDBOX");
                                else if (p == "collation") FnText(c, "SQL_Latin1_General_CP1_CI_AS");
                                else if (p == "isclustered" || p == "ishadrenabled" || p == "isintegratedsecurityonly" || p == "issingleuser") sqlite3_result_int(c, 0);
                                else sqlite3_result_null(c);
                            }, nullptr, nullptr);
    for (const char* name : {"year", "month", "day"})
        sqlite3_create_function(db, name, 1, det, const_cast<char*>(name),
                                [](sqlite3_context* c, int, sqlite3_value** a) {
                                    sqlite3_value* args[2];
                                    (void)args;
                                    TDateTime dt;
                                    bool hd, ht;
                                    if (sqlite3_value_type(a[0]) == SQLITE_NULL) { sqlite3_result_null(c); return; }
                                    if (!ValueToDateTime(a[0], dt, hd, ht)) {
                                        ResultError(c, 241, 16, "Conversion failed when converting date and/or time from character string.");
                                        return;
                                    }
                                    int64_t y; unsigned m, d;
                                    CivilFromDays(dt.Days + kDay0001, y, m, d);
                                    const std::string which = static_cast<const char*>(sqlite3_user_data(c));
                                    sqlite3_result_int64(c, which == "year" ? y : which == "month" ? m : d);
                                }, nullptr, nullptr);
}

}  // namespace tds
