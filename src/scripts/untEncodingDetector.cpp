#include "untEncodingDetector.h"

#include "untCommon.h"
#include "untScriptIO.h"

#include <cstring>

TEncodingDetector::TEncoding TEncodingDetector::GetEncoding(const QString& FileName)
{
    const TPageArray<char> bytes = ReadScriptFile(FileName);
    return Classify(QByteArrayView(bytes.Data(), qsizetype(bytes.Size())));
}

TEncodingDetector::TEncoding TEncodingDetector::Classify(QByteArrayView bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return TEncoding::UTF8;
    if (bytes.startsWith("\xFF\xFE"))
        return TEncoding::UTF16LE;
    if (bytes.startsWith("\xFE\xFF"))
        return TEncoding::UTF16BE;
    return LooksLikeUTF8(bytes) ? TEncoding::UTF8 : TEncoding::None;
}

QString TEncodingDetector::Name(TEncoding encoding)
{
    switch (encoding) {
    case TEncoding::UTF8: return QStringLiteral("utf-8");
    case TEncoding::UTF16LE: return QStringLiteral("utf-16le");
    case TEncoding::UTF16BE: return QStringLiteral("utf-16be");
    case TEncoding::None: break;
    }
    return QStringLiteral("ansi");
}

// A deliberately loose test: it checks lead and continuation bytes of two- and
// three-byte sequences only, and sequences of those lengths cut off by the end
// of the buffer pass. A four-byte sequence passes only whole and well-formed
// (F0-F4 and three continuation bytes naming U+10000-U+10FFFF); any other
// byte F0-FF fails.
bool TEncodingDetector::LooksLikeUTF8(QByteArrayView bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        // Runs of ASCII are the common case: skip them eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ULL)
                break;
            i += 8;
        }
        if (i >= n)
            break;
        const unsigned char b = p[i];
        if (b < 0x80) {
            i += 1;
        } else if (b < 0xC0) {
            return false;
        } else if (b < 0xE0) {
            if (i + 1 >= n)
                return true;
            if ((p[i + 1] & 0xC0) != 0x80)
                return false;
            i += 2;
        } else if (b < 0xF0) {
            if (i + 2 >= n)
                return true;
            if ((p[i + 1] & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80)
                return false;
            i += 3;
        } else if (b <= 0xF4) {
            if (i + 3 >= n)
                return false;
            const unsigned char b1 = p[i + 1];
            // F0 needs 90-BF next (below is an overlong form), F4 needs 80-8F
            // (above is past U+10FFFF).
            const unsigned char low = b == 0xF0 ? 0x90 : 0x80;
            const unsigned char high = b == 0xF4 ? 0x8F : 0xBF;
            if (b1 < low || b1 > high || (p[i + 2] & 0xC0) != 0x80 || (p[i + 3] & 0xC0) != 0x80)
                return false;
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}
