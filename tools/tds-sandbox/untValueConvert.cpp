// Value conversions: dates, exact decimals, GUIDs and texts of SQLite values.

#include "untValueConvert.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tds::convert {


std::string Lower(std::string_view s)
{
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            out.push_back(char(std::tolower(static_cast<unsigned char>(c))));
    return out;
}


// ---- dates ---------------------------------------------------------------

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp + (mp < 10 ? 3 : -9);
    y += m <= 2;
}

extern const int64_t kDay0001;
const int64_t kDay0001 = DaysFromCivil(1, 1, 1);      // 0001-01-01 relative to 1970
extern const int64_t kDay1900;
const int64_t kDay1900 = DaysFromCivil(1900, 1, 1);


bool Digits(std::string_view s, size_t pos, size_t n, int& out)
{
    if (pos + n > s.size()) return false;
    int v = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

bool ValidDate(int y, int m, int d)
{
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    static const int len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= len[m - 1] + (m == 2 && leap ? 1 : 0);
}

// h[h]:mm[:ss[.fffffff]] [AM|PM] at pos; moves pos after it.
bool ParseTime(std::string_view s, size_t& pos, int64_t& ticks)
{
    size_t p = pos;
    int h = 0, mi = 0, sec = 0, nd = 0;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9' && nd < 2) { h = h * 10 + (s[p] - '0'); ++p; ++nd; }
    if (nd == 0 || p >= s.size() || s[p] != ':' || !Digits(s, p + 1, 2, mi)) return false;
    p += 3;
    int64_t frac = 0;
    if (p < s.size() && s[p] == ':') {
        if (!Digits(s, p + 1, 2, sec)) return false;
        p += 3;
        if (p < s.size() && (s[p] == '.' || s[p] == ',')) {
            ++p;
            int digits = 0;
            while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
                if (digits < 7) { frac = frac * 10 + (s[p] - '0'); ++digits; }
                ++p;
            }
            for (; digits < 7; ++digits) frac *= 10;
        }
    }
    size_t q = p;
    while (q < s.size() && s[q] == ' ') ++q;
    if (q + 2 == s.size()) {
        const std::string rest = Lower(s.substr(q));
        if (rest == "am" || rest == "pm") {
            if (h > 12) return false;
            if (rest == "pm" && h < 12) h += 12;
            if (rest == "am" && h == 12) h = 0;
            p = s.size();
        }
    }
    if (h > 23 || mi > 59 || sec > 59) return false;
    ticks = ((int64_t(h) * 60 + mi) * 60 + sec) * 10000000LL + frac;
    pos = p;
    return true;
}

bool ParseDateTimeText(std::string_view raw, TDateTime& out, bool& hasDate, bool& hasTime)
{
    size_t b = 0, e = raw.size();
    while (b < e && (raw[b] == ' ' || raw[b] == '\t')) ++b;
    while (e > b && (raw[e - 1] == ' ' || raw[e - 1] == '\t' || raw[e - 1] == 'Z')) --e;
    std::string_view s = raw.substr(b, e - b);
    hasDate = hasTime = false;
    out = {};
    size_t p = 0;
    int y = 0, m = 0, d = 0;
    if (Digits(s, 0, 4, y) && s.size() >= 10 && (s[4] == '-' || s[4] == '/' || s[4] == '.') &&
        Digits(s, 5, 2, m) && s[7] == s[4] && Digits(s, 8, 2, d)) {
        p = 10;
        hasDate = true;
    } else if (Digits(s, 0, 8, y) && (s.size() == 8 || s[8] == ' ' || s[8] == 'T')) {
        d = y % 100;
        m = (y / 100) % 100;
        y /= 10000;
        p = 8;
        hasDate = true;
    } else if (s.size() >= 8) {
        // mm/dd/yyyy (us_english)
        int a = 0, c = 0;
        size_t q = 0;
        auto num = [&](int& v) {
            size_t st = q;
            v = 0;
            while (q < s.size() && s[q] >= '0' && s[q] <= '9' && q - st < 4) v = v * 10 + (s[q++] - '0');
            return q > st;
        };
        if (num(a) && q < s.size() && s[q] == '/' && (++q, num(c)) && q < s.size() && s[q] == '/' && (++q, num(y)) && y >= 1000) {
            m = a;
            d = c;
            p = q;
            hasDate = true;
        }
    }
    if (hasDate) {
        if (!ValidDate(y, m, d)) return false;
        out.Days = DaysFromCivil(y, unsigned(m), unsigned(d)) - kDay0001;
        if (p == s.size()) return true;
        if (s[p] != ' ' && s[p] != 'T') return false;
        ++p;
        while (p < s.size() && s[p] == ' ') ++p;
    } else {
        out.Days = kDay1900 - kDay0001;
    }
    if (!ParseTime(s, p, out.Ticks)) return false;
    hasTime = true;
    // A trailing time-zone offset is accepted and ignored.
    if (p < s.size() && (s[p] == '+' || s[p] == '-' || s[p] == ' ')) p = s.size();
    return p == s.size();
}

std::string FormatDate(int64_t days)
{
    int64_t y;
    unsigned m, d;
    CivilFromDays(days + kDay0001, y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    return buf;
}

std::string FormatTime(int64_t ticks, int digits)
{
    const int64_t secs = ticks / 10000000LL;
    const int64_t frac = ticks % 10000000LL;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(secs / 3600),
                  static_cast<long long>((secs / 60) % 60), static_cast<long long>(secs % 60));
    std::string out = buf;
    if (digits > 0) {
        char f[16];
        std::snprintf(f, sizeof f, "%07lld", static_cast<long long>(frac));
        out += ".";
        out += std::string(f, size_t(digits));
    }
    return out;
}

int64_t Pow10(int n)
{
    int64_t v = 1;
    while (n-- > 0) v *= 10;
    return v;
}

// Rounds ticks to the given number of fractional digits (0..7); may carry into the next day.
void RoundTicks(TDateTime& dt, int digits)
{
    const int64_t unit = Pow10(7 - digits);
    dt.Ticks = (dt.Ticks + unit / 2) / unit * unit;
    if (dt.Ticks >= kTicksPerDay) {
        dt.Ticks -= kTicksPerDay;
        ++dt.Days;
    }
}

// datetime keeps 1/300 s.
void RoundDateTime(TDateTime& dt, int64_t& ticks300)
{
    const int64_t ms100ns = dt.Ticks;
    ticks300 = (ms100ns * 3 + 50000) / 100000;
    if (ticks300 >= 300LL * 86400) {
        ticks300 -= 300LL * 86400;
        ++dt.Days;
    }
    dt.Ticks = ticks300 * 100000 / 3;
}

bool ValueToDateTime(sqlite3_value* v, TDateTime& dt, bool& hasDate, bool& hasTime)
{
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: {
        // Numbers are days since 1900-01-01, as SQL Server's datetime takes them.
        const double d = sqlite3_value_double(v);
        const double whole = std::floor(d);
        dt.Days = int64_t(whole) + (kDay1900 - kDay0001);
        dt.Ticks = int64_t(std::llround((d - whole) * double(kTicksPerDay)));
        hasDate = hasTime = true;
        return dt.Days >= 0;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
        const int n = sqlite3_value_bytes(v);
        return ParseDateTimeText(std::string_view(text ? text : "", size_t(n)), dt, hasDate, hasTime);
    }
    default:
        return false;
    }
}

// ---- numbers ---------------------------------------------------------------

i128 Pow10Big(int n)
{
    i128 v = 1;
    while (n-- > 0) v *= 10;
    return v;
}

// Parses a decimal text exactly, rounding to the scale (half away from zero).
bool ParseDecimalText(std::string_view s, int scale, i128& out)
{
    size_t i = 0, n = s.size();
    while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
    while (n > i && (s[n - 1] == ' ' || s[n - 1] == '\t')) --n;
    bool neg = false;
    if (i < n && (s[i] == '-' || s[i] == '+')) { neg = s[i] == '-'; ++i; }
    if (i < n && s[i] == '$') ++i;
    i128 v = 0;
    int intDigits = 0, frac = 0, roundDigit = -1;
    bool dot = false, any = false;
    for (size_t k = i; k < n; ++k) {
        const char c = s[k];
        if (c == '.' && !dot) { dot = true; continue; }
        if (c == 'e' || c == 'E') {
            // Scientific notation goes through double.
            const std::string text(s.substr(i, n - i));
            char* end = nullptr;
            const double d = std::strtod(text.c_str(), &end);
            if (!end || *end != '\0' || !std::isfinite(d)) return false;
            const int s1 = scale > 18 ? 18 : scale;
            const long double scaled = std::round(static_cast<long double>(d) * static_cast<long double>(Pow10(s1)));
            if (std::fabs(scaled) > 1e36L) return false;
            v = i128(scaled) * Pow10Big(scale - s1);
            out = neg ? -v : v;
            return true;
        }
        if (c < '0' || c > '9') return false;
        any = true;
        const int d = c - '0';
        if (dot) {
            if (frac < scale) { v = v * 10 + d; ++frac; }
            else if (roundDigit < 0) roundDigit = d;
            continue;
        }
        v = v * 10 + d;
        if (v != 0 && ++intDigits > 38) return false;
    }
    if (!any) return false;
    v *= Pow10Big(scale - frac);
    if (roundDigit >= 5) v += 1;
    out = neg ? -v : v;
    return true;
}

bool ValueToDecimal(sqlite3_value* v, int scale, i128& out)
{
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
        out = i128(sqlite3_value_int64(v)) * Pow10Big(scale);
        return true;
    case SQLITE_FLOAT: {
        const double d = sqlite3_value_double(v);
        if (!std::isfinite(d)) return false;
        if (scale <= 15 && std::fabs(d) < 1e15) {
            // Fast path: plain rounding agrees with the decimal reading unless the
            // scaled value sits next to a half (1.005 is 1.00499999...).
            const double x = d * double(Pow10(scale));
            if (std::fabs(x) < 4e15) {
                const double frac = std::fabs(x - std::trunc(x));
                if (std::fabs(frac - 0.5) > 1e-6) {
                    out = i128(std::llround(x));
                    return true;
                }
            }
        }
        // The shortest text that reads back as the same double: 1.005 stays 1.005.
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", d);
        if (std::strtod(buf, nullptr) != d) std::snprintf(buf, sizeof buf, "%.17g", d);
        return ParseDecimalText(buf, scale, out);
    }
    case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
        return ParseDecimalText(std::string_view(text, size_t(sqlite3_value_bytes(v))), scale, out);
    }
    default:
        return false;
    }
}

std::string DecimalText(i128 v, int scale)
{
    const bool neg = v < 0;
    if (neg) v = -v;
    std::string digits;
    do {
        digits.insert(digits.begin(), char('0' + int(v % 10)));
        v /= 10;
    } while (v > 0);
    while (int(digits.size()) <= scale) digits.insert(digits.begin(), '0');
    if (scale > 0) digits.insert(digits.end() - scale, '.');
    return (neg ? "-" : "") + digits;
}

std::string ValueText(sqlite3_value* v)
{
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
        return std::to_string(sqlite3_value_int64(v));
    case SQLITE_FLOAT: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", sqlite3_value_double(v));
        return buf;
    }
    case SQLITE_NULL:
        return {};
    default: {
        const auto* p = reinterpret_cast<const char*>(sqlite3_value_blob(v));
        return std::string(p ? p : "", size_t(sqlite3_value_bytes(v)));
    }
    }
}

const char* KindSqlName(TKind k)
{
    switch (k) {
    case TKind::TinyInt: return "tinyint";
    case TKind::SmallInt: return "smallint";
    case TKind::Int: return "int";
    case TKind::BigInt: return "bigint";
    case TKind::Bit: return "bit";
    case TKind::Real: return "real";
    case TKind::Float: return "float";
    case TKind::Decimal: return "decimal";
    case TKind::Numeric: return "numeric";
    case TKind::Money: return "money";
    case TKind::SmallMoney: return "smallmoney";
    case TKind::Char: return "char";
    case TKind::VarChar: case TKind::VarCharMax: return "varchar";
    case TKind::NChar: return "nchar";
    case TKind::NVarChar: case TKind::NVarCharMax: return "nvarchar";
    case TKind::Text: return "text";
    case TKind::NText: return "ntext";
    case TKind::Binary: return "binary";
    case TKind::VarBinary: case TKind::VarBinaryMax: return "varbinary";
    case TKind::Image: return "image";
    case TKind::Date: return "date";
    case TKind::Time: return "time";
    case TKind::DateTime: return "datetime";
    case TKind::DateTime2: return "datetime2";
    case TKind::SmallDateTime: return "smalldatetime";
    case TKind::Guid: return "uniqueidentifier";
    }
    return "sql_variant";
}

bool ParseGuid(sqlite3_value* v, uint8_t out[16])
{
    if (sqlite3_value_type(v) == SQLITE_BLOB && sqlite3_value_bytes(v) == 16) {
        std::memcpy(out, sqlite3_value_blob(v), 16);
        return true;
    }
    if (sqlite3_value_type(v) != SQLITE_TEXT) return false;
    std::string s(reinterpret_cast<const char*>(sqlite3_value_text(v)), size_t(sqlite3_value_bytes(v)));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
    uint8_t b[16];
    int k = 0;
    for (size_t i = 0; i < 36;) {
        if (s[i] == '-') { ++i; continue; }
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        const int hi = hex(s[i]), lo = hex(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        b[k++] = uint8_t(hi * 16 + lo);
        i += 2;
    }
    // Wire order: the first three groups little-endian.
    const uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) out[i] = b[order[i]];
    return true;
}

std::string GuidText(const uint8_t w[16])
{
    const uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        const uint8_t c = w[order[i]];
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    }
    return out;
}








bool ConvertError(TValueError& e, sqlite3_value* v, const TColType& t)
{
    const TKind k = t.Kind;
    if (k == TKind::Date || k == TKind::Time || k == TKind::DateTime || k == TKind::DateTime2 || k == TKind::SmallDateTime) {
        e = {241, "Conversion failed when converting date and/or time from character string."};
    } else if (k == TKind::Guid) {
        e = {8169, "Conversion failed when converting from a character string to uniqueidentifier."};
    } else if (sqlite3_value_type(v) == SQLITE_TEXT) {
        std::string text = ValueText(v).substr(0, 200);
        if (k == TKind::Decimal || k == TKind::Numeric || k == TKind::Money || k == TKind::SmallMoney || k == TKind::Real || k == TKind::Float)
            e = {8114, std::string("Error converting data type varchar to ") + KindSqlName(k) + "."};
        else
            e = {245, "Conversion failed when converting the varchar value '" + text + "' to data type " + KindSqlName(k) + "."};
    } else if (sqlite3_value_type(v) == SQLITE_BLOB) {
        e = {529, std::string("Explicit conversion from data type varbinary to ") + KindSqlName(k) + " is not allowed."};
    } else {
        e = {8115, "Arithmetic overflow error converting expression to data type " + std::string(KindSqlName(k)) + "."};
    }
    return false;
}

bool ToInt64(sqlite3_value* v, int64_t& out)
{
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER: out = sqlite3_value_int64(v); return true;
    case SQLITE_FLOAT: {
        const double d = sqlite3_value_double(v);
        if (!std::isfinite(d) || d >= 9.2233720368547758e18 || d <= -9.2233720368547758e18) return false;
        out = int64_t(std::trunc(d));
        return true;
    }
    case SQLITE_TEXT: {
        std::string s = ValueText(v);
        size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
        if (b == std::string::npos) { out = 0; return true; }   // '' converts to 0
        s = s.substr(b, e - b + 1);
        errno = 0;
        char* end = nullptr;
        const long long r = std::strtoll(s.c_str(), &end, 10);
        if (errno || !end || *end) return false;
        out = r;
        return true;
    }
    default: return false;
    }
}

bool ToDouble(sqlite3_value* v, double& out)
{
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER: out = double(sqlite3_value_int64(v)); return true;
    case SQLITE_FLOAT: out = sqlite3_value_double(v); return true;
    case SQLITE_TEXT: {
        const std::string s = ValueText(v);
        char* end = nullptr;
        out = std::strtod(s.c_str(), &end);
        while (end && *end == ' ') ++end;
        return end && *end == '\0' && end != s.c_str();
    }
    default: return false;
    }
}

bool IntRange(TKind k, int64_t v)
{
    switch (k) {
    case TKind::TinyInt: return v >= 0 && v <= 255;
    case TKind::SmallInt: return v >= -32768 && v <= 32767;
    case TKind::Int: return v >= INT32_MIN && v <= INT32_MAX;
    default: return true;
    }
}

}  // namespace tds::convert
