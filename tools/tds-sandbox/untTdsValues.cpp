#include "untTdsValues.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>

namespace tds {

namespace {

using i128 = __int128;

std::string Lower(std::string_view s)
{
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            out.push_back(char(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

const uint8_t kCollation[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};   // SQL_Latin1_General_CP1_CI_AS

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

const int64_t kDay0001 = DaysFromCivil(1, 1, 1);      // 0001-01-01 relative to 1970
const int64_t kDay1900 = DaysFromCivil(1900, 1, 1);
constexpr int64_t kTicksPerDay = 864000000000LL;     // 100 ns ticks

struct TDateTime {
    int64_t Days = 0;    // since 0001-01-01
    int64_t Ticks = 0;   // 100 ns since midnight
};

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

// UTF-8 to Windows-1252 for varchar data; characters outside it become '?'.
void AppendCp1252(std::vector<uint8_t>& out, std::string_view s, size_t maxChars, size_t& chars)
{
    static const uint16_t high[32] = {0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030,
                                      0x0160, 0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D,
                                      0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};
    chars = 0;
    bool ascii = s.size() <= maxChars;
    for (size_t i = 0; i < s.size() && ascii; ++i) ascii = static_cast<unsigned char>(s[i]) < 0x80;
    if (ascii) {
        out.insert(out.end(), s.begin(), s.end());
        chars = s.size();
        return;
    }
    std::u16string u = Utf8ToUtf16(s);
    for (size_t i = 0; i < u.size() && chars < maxChars; ++i, ++chars) {
        const char16_t c = u[i];
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) { out.push_back(uint8_t(c)); continue; }
        uint8_t b = '?';
        for (int k = 0; k < 32; ++k)
            if (high[k] == c && c != 0) b = uint8_t(0x80 + k);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size()) ++i;
        out.push_back(b);
    }
}



int DecimalBytes(int precision)
{
    return precision <= 9 ? 5 : precision <= 19 ? 9 : precision <= 28 ? 13 : 17;
}

int TimeBytes(int scale)
{
    return scale <= 2 ? 3 : scale <= 4 ? 4 : 5;
}

void PutLE(TTdsWire& w, uint64_t v, int n)
{
    uint8_t b[8];
    for (int i = 0; i < n; ++i) b[i] = uint8_t(v >> (8 * i));
    w.Bytes(b, size_t(n));
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

}  // namespace

std::optional<TColType> ParseTypeName(std::string_view text)
{
    std::string s = Lower(text);
    std::string base = s, args;
    const auto open = s.find('(');
    if (open != std::string::npos) {
        const auto close = s.find(')', open);
        if (close == std::string::npos) return std::nullopt;
        base = s.substr(0, open);
        args = s.substr(open + 1, close - open - 1);
    }
    // Remove schema prefixes like sys. or dbo.
    if (const auto dot = base.rfind('.'); dot != std::string::npos) base = base.substr(dot + 1);
    int a1 = -2, a2 = -2;
    if (!args.empty()) {
        const auto comma = args.find(',');
        const std::string first = args.substr(0, comma);
        a1 = first == "max" ? -1 : std::atoi(first.c_str());
        if (comma != std::string::npos) a2 = std::atoi(args.substr(comma + 1).c_str());
        if (a1 >= 2147483647 || a1 > 8000) a1 = -1;   // stored max types come back as a large number
    }
    TColType t;
    auto charType = [&](TKind fixed, TKind var, TKind max, int defaultLen, int limit, bool isVar) {
        const int n = a1 == -2 ? defaultLen : a1;
        if (n == -1 || n > limit) {
            t.Kind = isVar ? max : var;
            t.Size = isVar ? -1 : limit;
            if (!isVar && n == -1) return false;
            return true;
        }
        if (n < 1) return false;
        t.Kind = isVar ? var : fixed;
        t.Size = n;
        return true;
    };
    if (base == "tinyint") t.Kind = TKind::TinyInt;
    else if (base == "smallint") t.Kind = TKind::SmallInt;
    else if (base == "int" || base == "integer" || base == "mediumint") t.Kind = TKind::Int;
    else if (base == "bigint" || base == "int8") t.Kind = TKind::BigInt;
    else if (base == "bit" || base == "boolean" || base == "bool") t.Kind = TKind::Bit;
    else if (base == "real") t.Kind = TKind::Real;
    else if (base == "float") t.Kind = (a1 > 0 && a1 <= 24) ? TKind::Real : TKind::Float;
    else if (base == "double" || base == "doubleprecision") t.Kind = TKind::Float;
    else if (base == "decimal" || base == "dec" || base == "numeric") {
        t.Kind = base == "numeric" ? TKind::Numeric : TKind::Decimal;
        t.Precision = a1 == -2 ? 18 : a1;
        t.Scale = a2 == -2 ? 0 : a2;
        if (t.Precision < 1 || t.Precision > 38 || t.Scale < 0 || t.Scale > t.Precision) return std::nullopt;
    } else if (base == "money") { t.Kind = TKind::Money; t.Precision = 19; t.Scale = 4; }
    else if (base == "smallmoney") { t.Kind = TKind::SmallMoney; t.Precision = 10; t.Scale = 4; }
    else if (base == "char" || base == "character") { if (!charType(TKind::Char, TKind::VarChar, TKind::VarCharMax, 1, 8000, false)) return std::nullopt; }
    else if (base == "varchar" || base == "charactervarying") { if (!charType(TKind::Char, TKind::VarChar, TKind::VarCharMax, 30, 8000, true)) return std::nullopt; }
    else if (base == "nchar") { if (!charType(TKind::NChar, TKind::NVarChar, TKind::NVarCharMax, 1, 4000, false)) return std::nullopt; }
    else if (base == "nvarchar" || base == "nationalcharactervarying") { if (!charType(TKind::NChar, TKind::NVarChar, TKind::NVarCharMax, 30, 4000, true)) return std::nullopt; }
    else if (base == "sysname") { t.Kind = TKind::NVarChar; t.Size = 128; }
    else if (base == "text" || base == "clob") t.Kind = TKind::Text;
    else if (base == "ntext") t.Kind = TKind::NText;
    else if (base == "xml") { t.Kind = TKind::NVarCharMax; t.Size = -1; }
    else if (base == "image") t.Kind = TKind::Image;
    else if (base == "blob") { t.Kind = TKind::VarBinaryMax; t.Size = -1; }
    else if (base == "binary") { if (!charType(TKind::Binary, TKind::VarBinary, TKind::VarBinaryMax, 1, 8000, false)) return std::nullopt; }
    else if (base == "varbinary") { if (!charType(TKind::Binary, TKind::VarBinary, TKind::VarBinaryMax, 30, 8000, true)) return std::nullopt; }
    else if (base == "timestamp" || base == "rowversion") { t.Kind = TKind::Binary; t.Size = 8; }
    else if (base == "date") t.Kind = TKind::Date;
    else if (base == "time") { t.Kind = TKind::Time; t.Scale = a1 == -2 ? 7 : a1; }
    else if (base == "datetime") t.Kind = TKind::DateTime;
    else if (base == "datetime2") { t.Kind = TKind::DateTime2; t.Scale = a1 == -2 ? 7 : a1; }
    else if (base == "datetimeoffset") { t.Kind = TKind::NVarChar; t.Size = 34; }
    else if (base == "smalldatetime") t.Kind = TKind::SmallDateTime;
    else if (base == "uniqueidentifier") t.Kind = TKind::Guid;
    else if (base == "sql_variant") { t.Kind = TKind::NVarChar; t.Size = 4000; }
    else return std::nullopt;
    if ((t.Kind == TKind::Time || t.Kind == TKind::DateTime2) && (t.Scale < 0 || t.Scale > 7)) return std::nullopt;
    return t;
}

std::string TypeName(const TColType& t)
{
    std::string name = KindSqlName(t.Kind);
    switch (t.Kind) {
    case TKind::Decimal: case TKind::Numeric:
        return name + "(" + std::to_string(t.Precision) + "," + std::to_string(t.Scale) + ")";
    case TKind::Char: case TKind::VarChar: case TKind::NChar: case TKind::NVarChar: case TKind::Binary: case TKind::VarBinary:
        return name + "(" + std::to_string(t.Size) + ")";
    case TKind::VarCharMax: case TKind::NVarCharMax: case TKind::VarBinaryMax:
        return name + "(max)";
    case TKind::Time: case TKind::DateTime2:
        return name + "(" + std::to_string(t.Scale) + ")";
    default:
        return name;
    }
}

TColType InferType(sqlite3_value* v)
{
    TColType t;
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER: {
        const int64_t i = sqlite3_value_int64(v);
        t.Kind = (i >= INT32_MIN && i <= INT32_MAX) ? TKind::Int : TKind::BigInt;
        break;
    }
    case SQLITE_FLOAT: t.Kind = TKind::Float; break;
    case SQLITE_TEXT:
        if (Utf16Length(std::string_view(reinterpret_cast<const char*>(sqlite3_value_text(v)), size_t(sqlite3_value_bytes(v)))) <= 4000) {
            t.Kind = TKind::NVarChar;
            t.Size = 4000;
        } else {
            t.Kind = TKind::NVarCharMax;
            t.Size = -1;
        }
        break;
    case SQLITE_BLOB:
        if (sqlite3_value_bytes(v) <= 8000) { t.Kind = TKind::VarBinary; t.Size = 8000; }
        else { t.Kind = TKind::VarBinaryMax; t.Size = -1; }
        break;
    default: t.Kind = TKind::Int; break;
    }
    return t;
}

TColType WireType(const TColType& t, uint32_t tdsVersion)
{
    if (tdsVersion >= 0x73000000) return t;
    TColType out = t;
    switch (t.Kind) {
    case TKind::Date: out.Kind = TKind::NVarChar; out.Size = 10; break;
    case TKind::Time: out.Kind = TKind::NVarChar; out.Size = 16; break;
    case TKind::DateTime2: out.Kind = TKind::NVarChar; out.Size = 27; break;
    default: break;
    }
    if (tdsVersion < 0x72000000 && (out.Kind == TKind::VarCharMax || out.Kind == TKind::NVarCharMax || out.Kind == TKind::VarBinaryMax))
        out.Kind = out.Kind == TKind::VarCharMax ? TKind::Text : out.Kind == TKind::NVarCharMax ? TKind::NText : TKind::Image;
    return out;
}

void WriteTypeInfo(TTdsWire& w, const TColType& t, uint32_t tdsVersion)
{
    auto tableName = [&]() {
        if (tdsVersion >= 0x72000000) w.U8(0);
        else w.U16(0);
    };
    switch (t.Kind) {
    case TKind::TinyInt: w.U8(0x26); w.U8(1); break;
    case TKind::SmallInt: w.U8(0x26); w.U8(2); break;
    case TKind::Int: w.U8(0x26); w.U8(4); break;
    case TKind::BigInt: w.U8(0x26); w.U8(8); break;
    case TKind::Bit: w.U8(0x68); w.U8(1); break;
    case TKind::Real: w.U8(0x6D); w.U8(4); break;
    case TKind::Float: w.U8(0x6D); w.U8(8); break;
    case TKind::Decimal: case TKind::Numeric:
        w.U8(t.Kind == TKind::Decimal ? 0x6A : 0x6C);
        w.U8(uint8_t(DecimalBytes(t.Precision)));
        w.U8(uint8_t(t.Precision));
        w.U8(uint8_t(t.Scale));
        break;
    case TKind::Money: w.U8(0x6E); w.U8(8); break;
    case TKind::SmallMoney: w.U8(0x6E); w.U8(4); break;
    case TKind::Char: w.U8(0xAF); w.U16(uint16_t(t.Size)); w.Bytes(kCollation, 5); break;
    case TKind::VarChar: w.U8(0xA7); w.U16(uint16_t(t.Size)); w.Bytes(kCollation, 5); break;
    case TKind::VarCharMax: w.U8(0xA7); w.U16(0xFFFF); w.Bytes(kCollation, 5); break;
    case TKind::NChar: w.U8(0xEF); w.U16(uint16_t(t.Size * 2)); w.Bytes(kCollation, 5); break;
    case TKind::NVarChar: w.U8(0xE7); w.U16(uint16_t(t.Size * 2)); w.Bytes(kCollation, 5); break;
    case TKind::NVarCharMax: w.U8(0xE7); w.U16(0xFFFF); w.Bytes(kCollation, 5); break;
    case TKind::Text: w.U8(0x23); w.U32(0x7FFFFFFF); w.Bytes(kCollation, 5); tableName(); break;
    case TKind::NText: w.U8(0x63); w.U32(0x7FFFFFFE); w.Bytes(kCollation, 5); tableName(); break;
    case TKind::Image: w.U8(0x22); w.U32(0x7FFFFFFF); tableName(); break;
    case TKind::Binary: w.U8(0xAD); w.U16(uint16_t(t.Size)); break;
    case TKind::VarBinary: w.U8(0xA5); w.U16(uint16_t(t.Size)); break;
    case TKind::VarBinaryMax: w.U8(0xA5); w.U16(0xFFFF); break;
    case TKind::Date: w.U8(0x28); break;
    case TKind::Time: w.U8(0x29); w.U8(uint8_t(t.Scale)); break;
    case TKind::DateTime2: w.U8(0x2A); w.U8(uint8_t(t.Scale)); break;
    case TKind::DateTime: w.U8(0x6F); w.U8(8); break;
    case TKind::SmallDateTime: w.U8(0x6F); w.U8(4); break;
    case TKind::Guid: w.U8(0x24); w.U8(16); break;
    }
}

namespace {

void WriteNull(TTdsWire& w, const TColType& t)
{
    switch (t.Kind) {
    case TKind::Char: case TKind::VarChar: case TKind::NChar: case TKind::NVarChar: case TKind::Binary: case TKind::VarBinary:
        w.U16(0xFFFF);
        break;
    case TKind::VarCharMax: case TKind::NVarCharMax: case TKind::VarBinaryMax:
        w.U64(0xFFFFFFFFFFFFFFFFULL);
        break;
    default:
        w.U8(0);   // fixed-length nullable types, text pointers
    }
}

void WriteBytesValue(TTdsWire& w, const TColType& t, const uint8_t* data, size_t n)
{
    switch (t.Kind) {
    case TKind::VarCharMax: case TKind::NVarCharMax: case TKind::VarBinaryMax:
        w.U64(n);
        if (n > 0) {
            w.U32(uint32_t(n));
            w.Bytes(data, n);
        }
        w.U32(0);
        break;
    case TKind::Text: case TKind::NText: case TKind::Image: {
        static const uint8_t ptr[16] = {0};
        static const uint8_t stamp[8] = {0};
        w.U8(16);
        w.Bytes(ptr, 16);
        w.Bytes(stamp, 8);
        w.U32(uint32_t(n));
        w.Bytes(data, n);
        break;
    }
    default:
        w.U16(uint16_t(n));
        w.Bytes(data, n);
    }
}

}  // namespace

bool WriteValue(TTdsWire& w, const TColType& t, sqlite3_value* v, bool exactLength, TValueError& err)
{
    const int vt = sqlite3_value_type(v);
    if (vt == SQLITE_NULL) {
        WriteNull(w, t);
        return true;
    }
    switch (t.Kind) {
    case TKind::TinyInt: case TKind::SmallInt: case TKind::Int: case TKind::BigInt: {
        int64_t i;
        if (!ToInt64(v, i) || !IntRange(t.Kind, i)) return ConvertError(err, v, t);
        const int n = t.Kind == TKind::TinyInt ? 1 : t.Kind == TKind::SmallInt ? 2 : t.Kind == TKind::Int ? 4 : 8;
        w.U8(uint8_t(n));
        PutLE(w, uint64_t(i), n);
        return true;
    }
    case TKind::Bit: {
        int64_t i = 0;
        if (vt == SQLITE_TEXT) {
            const std::string s = Lower(ValueText(v));
            if (s == "true") i = 1;
            else if (s == "false") i = 0;
            else if (!ToInt64(v, i)) return ConvertError(err, v, t);
        } else if (vt == SQLITE_FLOAT) {
            i = sqlite3_value_double(v) != 0.0;
        } else if (!ToInt64(v, i)) {
            return ConvertError(err, v, t);
        }
        w.U8(1);
        w.U8(i != 0 ? 1 : 0);
        return true;
    }
    case TKind::Real: case TKind::Float: {
        double d;
        if (!ToDouble(v, d)) return ConvertError(err, v, t);
        if (t.Kind == TKind::Real) {
            const float f = float(d);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            w.U8(4);
            w.U32(bits);
        } else {
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            w.U8(8);
            w.U64(bits);
        }
        return true;
    }
    case TKind::Decimal: case TKind::Numeric: case TKind::Money: case TKind::SmallMoney: {
        i128 x;
        if (!ValueToDecimal(v, t.Scale, x)) return ConvertError(err, v, t);
        if (t.Kind == TKind::Money || t.Kind == TKind::SmallMoney) {
            const bool small = t.Kind == TKind::SmallMoney;
            const i128 lim = small ? i128(INT32_MAX) : i128(INT64_MAX);
            if (x > lim || x < -lim - 1) {
                err = {8115, std::string("Arithmetic overflow error converting expression to data type ") + KindSqlName(t.Kind) + "."};
                return false;
            }
            if (small) {
                w.U8(4);
                w.U32(uint32_t(int32_t(x)));
            } else {
                const uint64_t u = uint64_t(int64_t(x));
                w.U8(8);
                w.U32(uint32_t(u >> 32));
                w.U32(uint32_t(u & 0xFFFFFFFF));
            }
            return true;
        }
        const bool neg = x < 0;
        i128 mag = neg ? -x : x;
        if (mag >= Pow10Big(t.Precision)) {
            err = {8115, "Arithmetic overflow error converting " + std::string(vt == SQLITE_TEXT ? "varchar" : "numeric") + " to data type numeric."};
            return false;
        }
        const int n = DecimalBytes(t.Precision);
        w.U8(uint8_t(n));
        w.U8(neg ? 0 : 1);
        const unsigned __int128 u = static_cast<unsigned __int128>(mag);
        for (int i = 0; i < n - 1; ++i) w.U8(uint8_t(u >> (8 * i)));
        return true;
    }
    case TKind::Char: case TKind::VarChar: case TKind::VarCharMax: case TKind::Text: {
        const std::string s = ValueText(v);
        std::vector<uint8_t> bytes;
        size_t chars = 0;
        const size_t limit = (t.Kind == TKind::Char || t.Kind == TKind::VarChar) ? size_t(t.Size) : SIZE_MAX;
        AppendCp1252(bytes, s, SIZE_MAX, chars);
        if (bytes.size() > limit) {
            if (exactLength) {
                err = {8152, "String or binary data would be truncated."};
                return false;
            }
            bytes.resize(limit);
        }
        if (t.Kind == TKind::Char) bytes.resize(size_t(t.Size), ' ');
        WriteBytesValue(w, t, bytes.data(), bytes.size());
        return true;
    }
    case TKind::NChar: case TKind::NVarChar: case TKind::NVarCharMax: case TKind::NText: {
        std::string_view text;
        std::string converted;
        if (vt == SQLITE_TEXT) {
            text = std::string_view(reinterpret_cast<const char*>(sqlite3_value_text(v)), size_t(sqlite3_value_bytes(v)));
        } else {
            converted = ValueText(v);
            text = converted;
        }
        if (t.Kind == TKind::NVarChar) {
            // Common case: straight into the reply buffer, length patched afterwards.
            auto& out = w.Out();
            const size_t lenPos = out.size();
            w.U16(0);
            AppendUtf8AsUtf16(out, text);
            size_t n = out.size() - lenPos - 2;
            if (n > size_t(t.Size) * 2) {
                if (exactLength) {
                    out.resize(lenPos);
                    err = {8152, "String or binary data would be truncated."};
                    return false;
                }
                n = size_t(t.Size) * 2;
                out.resize(lenPos + 2 + n);
            }
            out[lenPos] = uint8_t(n & 0xFF);
            out[lenPos + 1] = uint8_t(n >> 8);
            return true;
        }
        std::vector<uint8_t> bytes;
        AppendUtf8AsUtf16(bytes, text);
        const size_t limit = t.Kind == TKind::NChar ? size_t(t.Size) * 2 : SIZE_MAX;
        if (bytes.size() > limit) {
            if (exactLength) {
                err = {8152, "String or binary data would be truncated."};
                return false;
            }
            bytes.resize(limit);
        }
        if (t.Kind == TKind::NChar)
            while (bytes.size() < size_t(t.Size) * 2) { bytes.push_back(' '); bytes.push_back(0); }
        WriteBytesValue(w, t, bytes.data(), bytes.size());
        return true;
    }
    case TKind::Binary: case TKind::VarBinary: case TKind::VarBinaryMax: case TKind::Image: {
        std::vector<uint8_t> bytes;
        if (vt == SQLITE_INTEGER) {
            const int64_t i = sqlite3_value_int64(v);
            const int n = (i >= INT32_MIN && i <= INT32_MAX) ? 4 : 8;
            for (int k = n - 1; k >= 0; --k) bytes.push_back(uint8_t(uint64_t(i) >> (8 * k)));
        } else {
            const auto* p = static_cast<const uint8_t*>(sqlite3_value_blob(v));
            bytes.assign(p, p + sqlite3_value_bytes(v));
        }
        const size_t limit = (t.Kind == TKind::Binary || t.Kind == TKind::VarBinary) ? size_t(t.Size) : SIZE_MAX;
        if (bytes.size() > limit) {
            if (exactLength) {
                err = {8152, "String or binary data would be truncated."};
                return false;
            }
            bytes.resize(limit);
        }
        if (t.Kind == TKind::Binary) bytes.resize(size_t(t.Size), 0);
        WriteBytesValue(w, t, bytes.data(), bytes.size());
        return true;
    }
    case TKind::Guid: {
        uint8_t g[16];
        if (!ParseGuid(v, g)) return ConvertError(err, v, t);
        w.U8(16);
        w.Bytes(g, 16);
        return true;
    }
    case TKind::Date: case TKind::Time: case TKind::DateTime2: case TKind::DateTime: case TKind::SmallDateTime: {
        TDateTime dt;
        bool hasDate, hasTime;
        if (!ValueToDateTime(v, dt, hasDate, hasTime)) return ConvertError(err, v, t);
        if (t.Kind == TKind::Date) {
            w.U8(3);
            PutLE(w, uint64_t(dt.Days), 3);
        } else if (t.Kind == TKind::Time || t.Kind == TKind::DateTime2) {
            RoundTicks(dt, t.Scale);
            const int n = TimeBytes(t.Scale);
            w.U8(uint8_t(t.Kind == TKind::Time ? n : n + 3));
            PutLE(w, uint64_t(dt.Ticks / Pow10(7 - t.Scale)), n);
            if (t.Kind == TKind::DateTime2) PutLE(w, uint64_t(dt.Days), 3);
        } else if (t.Kind == TKind::DateTime) {
            int64_t t300;
            RoundDateTime(dt, t300);
            const int64_t days = dt.Days - (kDay1900 - kDay0001);
            if (days < -53690 || days > 2958463) return ConvertError(err, v, t);
            w.U8(8);
            w.U32(uint32_t(int32_t(days)));
            w.U32(uint32_t(t300));
        } else {
            int64_t minutes = (dt.Ticks + 300000000LL) / 600000000LL;
            int64_t days = dt.Days - (kDay1900 - kDay0001);
            if (minutes >= 1440) { minutes -= 1440; ++days; }
            if (days < 0 || days > 65535) return ConvertError(err, v, t);
            w.U8(4);
            w.U16(uint16_t(days));
            w.U16(uint16_t(minutes));
        }
        return true;
    }
    }
    return ConvertError(err, v, t);
}

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
