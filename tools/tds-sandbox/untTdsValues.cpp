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

namespace {

const uint8_t kCollation[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};   // SQL_Latin1_General_CP1_CI_AS

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

}  // namespace tds
