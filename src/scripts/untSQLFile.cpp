#include "untSQLFile.h"

#include "untScriptIO.h"

#include <QFile>
#include <QStringDecoder>

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using TEncoding = TEncodingDetector::TEncoding;

// Windows-1252, the whole range: 0x80-0x9F map to their typographic
// characters; the five bytes that Windows leaves undefined map to the C1
// control of the same value, as Windows itself decodes them.
constexpr std::array<char16_t, 32> Cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr std::array<char16_t, 256> MakeCp1252Table()
{
    std::array<char16_t, 256> table{};
    for (int b = 0; b < 256; ++b)
        table[size_t(b)] = (b >= 0x80 && b <= 0x9F) ? Cp1252High[size_t(b - 0x80)] : char16_t(b);
    return table;
}
constexpr std::array<char16_t, 256> Cp1252 = MakeCp1252Table();

char16_t* DecodeCp1252(char16_t* out, QByteArrayView in)
{
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const qsizetype n = in.size();
    for (qsizetype i = 0; i < n; ++i)
        out[i] = Cp1252[p[i]];
    return out + n;
}

QByteArrayView ByteOrderMark(TEncoding encoding)
{
    switch (encoding) {
    case TEncoding::UTF8: return "\xEF\xBB\xBF";
    case TEncoding::UTF16LE: return "\xFF\xFE";
    case TEncoding::UTF16BE: return "\xFE\xFF";
    case TEncoding::None: break;
    }
    return {};
}

// The comparison copy of a line: characters of code 32 or less removed from
// both ends, a-z upper-cased. Only the first few characters are ever compared,
// so this looks at the trimmed view instead of copying it.
QStringView TrimForCompare(QStringView line)
{
    qsizetype b = 0;
    qsizetype e = line.size();
    while (b < e && line[b].unicode() <= 32)
        ++b;
    while (e > b && line[e - 1].unicode() <= 32)
        --e;
    return line.mid(b, e - b);
}

bool StartsWithUpper(QStringView trimmed, QLatin1StringView word)
{
    if (trimmed.size() < word.size())
        return false;
    for (qsizetype i = 0; i < word.size(); ++i) {
        char16_t c = trimmed[i].unicode();
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - (u'a' - u'A'));
        if (c != char16_t(word[i].unicode()))
            return false;
    }
    return true;
}

constexpr qsizetype ChunkSize = 4 * 1024 * 1024;

} // namespace

TSQLFile::TSQLFile(QString ASQLName)
    : FSQLName(std::move(ASQLName))
{
}

void TSQLFile::SplitSQL()
{
    const TEncoding encoding = TEncodingDetector::GetEncoding(FSQLName);
    const qsizetype from = FText.size();
    DecodeFile(encoding);
    FEncoding = encoding;
    SplitText(from);
}

// Decodes the file a chunk at a time into FText, skipping the encoding's
// byte-order mark; the text ends at the first character of code zero.
void TSQLFile::DecodeFile(TEncoding encoding)
{
    QFile file;
    OpenScriptFile(file, FSQLName);
    const qsizetype start = FText.size();
    const qint64 size = file.size();
    // Never more characters than bytes; the reserve avoids regrowing the text.
    FText.reserve(start + qsizetype(size) + 1);

    const QByteArrayView bom = ByteOrderMark(encoding);
    // The decoder keeps its state across chunks, so a character split by a
    // chunk boundary decodes whole. The mark is skipped here, once, so a
    // second mark stays in the text as the character it is.
    QStringDecoder decoder;
    if (encoding == TEncoding::UTF8)
        decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    else if (encoding == TEncoding::UTF16LE)
        decoder = QStringDecoder(QStringDecoder::Utf16LE, QStringDecoder::Flag::ConvertInitialBom);
    else if (encoding == TEncoding::UTF16BE)
        decoder = QStringDecoder(QStringDecoder::Utf16BE, QStringDecoder::Flag::ConvertInitialBom);

    QByteArray chunk;
    bool first = true;
    for (;;) {
        chunk.resize(ChunkSize);
        const qint64 got = file.read(chunk.data(), ChunkSize);
        if (got < 0)
            ThrowScriptReadError(file, FSQLName);
        if (got == 0)
            break;
        QByteArrayView in(chunk.constData(), got);
        if (first) {
            if (!bom.isEmpty() && in.startsWith(bom))
                in = in.sliced(bom.size());
            first = false;
        }
        const qsizetype before = FText.size();
        const qsizetype room = encoding == TEncoding::None ? in.size() : decoder.requiredSpace(in.size());
        FText.resize(before + room);
        auto* out = reinterpret_cast<char16_t*>(FText.data()) + before;
        char16_t* end = encoding == TEncoding::None
                            ? DecodeCp1252(out, in)
                            : reinterpret_cast<char16_t*>(decoder.appendToBuffer(reinterpret_cast<QChar*>(out), in));
        FText.resize(before + (end - out));
        const qsizetype nul = QStringView(FText).sliced(before).indexOf(QChar(0));
        if (nul >= 0) {
            FText.resize(before + nul);
            break;
        }
    }
}

void TSQLFile::SplitText(qsizetype from)
{
    const char16_t* text = reinterpret_cast<const char16_t*>(FText.constData());
    const qsizetype n = FText.size();
    FCurrent = {from, from, 0};
    qsizetype lineStart = from;
    qsizetype i = from;
    while (i < n) {
#if defined(__SSE2__)
        // Skip eight characters at a time while none of them is CR or LF.
        const __m128i lf = _mm_set1_epi16('\n');
        const __m128i cr = _mm_set1_epi16('\r');
        while (i + 8 <= n) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(v, lf), _mm_cmpeq_epi16(v, cr))) != 0)
                break;
            i += 8;
        }
        if (i >= n)
            break;
#endif
        const char16_t c = text[i];
        if (c != u'\n' && c != u'\r') {
            ++i;
            continue;
        }
        const qsizetype next = i + ((c == u'\r' && i + 1 < n && text[i + 1] == u'\n') ? 2 : 1);
        AddLine(lineStart, i, next);
        i = lineStart = next;
    }
    // A line break at the very end makes no extra empty line.
    if (lineStart < n)
        AddLine(lineStart, n, n);
    FBatches.push_back(FCurrent);
}

// One line, characters start..end, the next line starting at next.
void TSQLFile::AddLine(qsizetype start, qsizetype end, qsizetype next)
{
    const QStringView trimmed = TrimForCompare(QStringView(FText).mid(start, end - start));
    if (StartsWithUpper(trimmed, QLatin1StringView("USE ")))
        UseDBWarn = true;
    if (StartsWithUpper(trimmed, QLatin1StringView("GO ")))
        GoNWarn = true;
    if (trimmed.size() == 2 && StartsWithUpper(trimmed, QLatin1StringView("GO"))) {
        FBatches.push_back(FCurrent);
        FCurrent = {next, next, 0};
        return;
    }
    if (FCurrent.Lines == 0)
        FCurrent.Start = start;
    FCurrent.End = end;
    ++FCurrent.Lines;
}

template <typename F> void TSQLFile::ForEachLine(qsizetype batch, F f) const
{
    const TBatch& b = FBatches[size_t(batch)];
    const char16_t* text = reinterpret_cast<const char16_t*>(FText.constData());
    qsizetype lineStart = b.Start;
    for (qsizetype line = 0; line < b.Lines; ++line) {
        qsizetype i = lineStart;
        while (i < b.End && text[i] != u'\n' && text[i] != u'\r')
            ++i;
        f(QStringView(FText).mid(lineStart, i - lineStart));
        if (i < b.End && text[i] == u'\r' && i + 1 < b.End && text[i + 1] == u'\n')
            ++i;
        lineStart = i + 1;
    }
}

QStringList TSQLFile::BatchLines(qsizetype batch) const
{
    QStringList lines;
    lines.reserve(BatchLineCount(batch));
    ForEachLine(batch, [&](QStringView line) { lines.append(line.toString()); });
    return lines;
}

QString TSQLFile::BatchText(qsizetype batch) const
{
    const TBatch& b = FBatches[size_t(batch)];
    QString text;
    text.reserve(b.End - b.Start + 2 * b.Lines);
    ForEachLine(batch, [&](QStringView line) {
        text += line;
        text += QLatin1String("\r\n");
    });
    return text;
}
