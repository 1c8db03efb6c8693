#include "untEncodingDetector.h"

#include "untCommon.h"
#include "untScriptIO.h"

#include <QFile>

#include <cstring>

TEncodingDetector::TEncoding TEncodingDetector::GetEncoding(const QString& FileName)
{
    // The whole file is looked at. A regular file is mapped rather than copied
    // into a buffer of its own; anything that cannot be mapped is read.
    QFile file;
    OpenScriptFile(file, FileName);
    const qint64 size = file.size();
    if (size > 0) {
        if (uchar* mapped = file.map(0, size)) {
            const TEncoding encoding = Classify(QByteArrayView(mapped, qsizetype(size)));
            file.unmap(mapped);
            return encoding;
        }
    }
    return Classify(ReadWholeScriptFile(FileName));
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
// three-byte sequences only. Sequences cut off by the end of the buffer pass,
// and any byte F0-FF (four-byte sequences included) fails.
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
        } else {
            return false;
        }
    }
    return true;
}
