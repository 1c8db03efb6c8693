#include "untSQLFile.h"

#include "untScriptIO.h"

#include "untCommon.h"

#include <QStringDecoder>

#include <array>
#include <new>

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

char16_t* DecodeCp1252(char16_t* out, const char* in, std::size_t n)
{
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    std::size_t i = 0;
#if defined(__SSE2__)
    // ASCII sixteen bytes at a time: widened, they are their own characters.
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (_mm_movemask_epi8(v) != 0) {
            for (std::size_t j = i; j < i + 16; ++j)
                out[j] = Cp1252[p[j]];
            continue;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(v, zero));
    }
#endif
    for (; i < n; ++i)
        out[i] = Cp1252[p[i]];
    return out + n;
}

// The length of a UTF-8 sequence that the end of the bytes cuts off: a lead
// byte and the continuation bytes it allows, fewer than it needs. 0 when the
// bytes do not end that way.
std::size_t CutOffUtf8(const char* data, std::size_t n)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
        const unsigned char lead = p[n - k];
        if ((lead & 0xC0) == 0x80)
            continue;
        const std::size_t need = lead >= 0xC2 && lead <= 0xDF   ? 2
                                 : lead >= 0xE0 && lead <= 0xEF ? 3
                                 : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                : 0;
        if (need <= k)
            return 0;
        if (k >= 2) {
            // The second byte's range depends on the lead (no overlong form,
            // surrogate or code point past U+10FFFF).
            const unsigned char second = p[n - k + 1];
            const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
            const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
            if (second < low || second > high)
                return 0;
        }
        return k;
    }
    return 0;
}

// Where to end a piece of at most `want` bytes of [data, data + n) so that no
// character is cut in two: each piece is then decoded on its own.
std::size_t PieceEnd(TEncoding encoding, const char* data, std::size_t n, std::size_t want)
{
    if (want >= n)
        return n;
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    if (encoding == TEncoding::UTF8) {
        // Back up to a byte that is not a continuation byte, at most three:
        // further back no valid sequence reaches this far.
        for (std::size_t k = 0; k < 3; ++k)
            if ((p[want - k] & 0xC0) != 0x80)
                return want - k;
        return want;
    }
    if (encoding == TEncoding::UTF16LE || encoding == TEncoding::UTF16BE) {
        want &= ~std::size_t(1);
        // Keep a high surrogate together with the low one after it.
        const unsigned char high = encoding == TEncoding::UTF16LE ? p[want - 1] : p[want - 2];
        return (high & 0xFC) == 0xD8 ? want - 2 : want;
    }
    return want;
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

// Bytes decoded at a time: small enough to stay in cache, and a whole huge
// page of the file's bytes goes back to the system after each.
constexpr std::size_t PieceSize = std::size_t(2) << 20;

} // namespace

TSQLFile::TSQLFile(QString ASQLName)
    : FSQLName(std::move(ASQLName))
{
}

void TSQLFile::SplitSQL()
{
    TPageArray<char> bytes = ReadScriptFile(FSQLName);
    Split(bytes.Data(), bytes.Size(), &bytes);
}

void TSQLFile::SplitSQLData(QByteArrayView bytes)
{
    Split(bytes.data(), std::size_t(bytes.size()), nullptr);
}

void TSQLFile::Split(const char* data, std::size_t size, TPageArray<char>* owned)
{
    const TEncoding encoding = TEncodingDetector::Classify(QByteArrayView(data, qsizetype(size)));
    const std::size_t textSize = FText.Size();
    const std::size_t batchCount = FBatches.Size();
    const bool use = UseDBWarn;
    const bool goN = GoNWarn;
    try {
        try {
            FEncoding = encoding;
            Decode(data, size, owned);
            SplitText(qsizetype(textSize));
        } catch (const std::bad_alloc&) {
            ThrowNotEnoughMemory(FSQLName);
        }
    } catch (...) {
        FText.SetSize(textSize);
        FBatches.SetSize(batchCount);
        UseDBWarn = use;
        GoNWarn = goN;
        throw;
    }
}

// Appends the text of the bytes to FText, skipping the encoding's byte-order
// mark. The bytes are decoded a piece at a time, each piece ending between
// two characters, so the pages of an owned buffer can go back as they are
// done with. A sequence that the end of UTF-8 bytes cuts off is one U+FFFD;
// the odd last byte of UTF-16 is dropped.
void TSQLFile::Decode(const char* data, std::size_t size, TPageArray<char>* owned)
{
    const TEncoding encoding = FEncoding;
    std::size_t pos = 0;
    const QByteArrayView bom = ByteOrderMark(encoding);
    if (!bom.isEmpty() && QByteArrayView(data, qsizetype(size)).startsWith(bom))
        pos = std::size_t(bom.size());
    std::size_t end = size;
    std::size_t cutOff = 0;
    if (encoding == TEncoding::UTF8) {
        cutOff = CutOffUtf8(data + pos, end - pos);
        end -= cutOff;
    } else if (encoding == TEncoding::UTF16LE || encoding == TEncoding::UTF16BE) {
        end -= (end - pos) & 1;
    }

    // Never more characters than bytes (a cut-off sequence is at least one
    // byte), and the decoder asks a little room over.
    if (!FText.Reserve(FText.Size() + (end - pos) + 16))
        ThrowNotEnoughMemory(FSQLName);
    const auto flags = QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom;
    QStringDecoder decoder;
    if (encoding == TEncoding::UTF8)
        decoder = QStringDecoder(QStringDecoder::Utf8, flags);
    else if (encoding == TEncoding::UTF16LE)
        decoder = QStringDecoder(QStringDecoder::Utf16LE, flags);
    else if (encoding == TEncoding::UTF16BE)
        decoder = QStringDecoder(QStringDecoder::Utf16BE, flags);

    while (pos < end) {
        const std::size_t pieceEnd = pos + PieceEnd(encoding, data + pos, end - pos, PieceSize);
        const QByteArrayView in(data + pos, qsizetype(pieceEnd - pos));
        char16_t* out = FText.Data() + FText.Size();
        char16_t* done = encoding == TEncoding::None
                             ? DecodeCp1252(out, in.data(), std::size_t(in.size()))
                             : reinterpret_cast<char16_t*>(decoder.appendToBuffer(reinterpret_cast<QChar*>(out), in));
        FText.SetSize(FText.Size() + std::size_t(done - out));
        pos = pieceEnd;
        if (owned)
            owned->Release(pos);
    }
    if (cutOff > 0) {
        FText.Data()[FText.Size()] = u'\xFFFD';
        FText.SetSize(FText.Size() + 1);
    }
    if (owned)
        *owned = TPageArray<char>();
}

void TSQLFile::SplitText(qsizetype from)
{
    const char16_t* text = FText.Data();
    const qsizetype n = qsizetype(FText.Size());
    FCurrent = {from, from, 0};
    FLineCount = 0;
    qsizetype lineStart = from;
    qsizetype i = from;
    while (i < n) {
#if defined(__SSE2__)
        // Skip eight characters at a time while none of them is CR, LF or NUL.
        const __m128i lf = _mm_set1_epi16('\n');
        const __m128i cr = _mm_set1_epi16('\r');
        const __m128i nul = _mm_setzero_si128();
        while (i + 8 <= n) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            const __m128i hit =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, lf), _mm_cmpeq_epi16(v, cr)), _mm_cmpeq_epi16(v, nul));
            if (_mm_movemask_epi8(hit) != 0)
                break;
            i += 8;
        }
        if (i >= n)
            break;
#endif
        const char16_t c = text[i];
        if (c == 0)
            throw EOrvexaError(QStringLiteral("File %1 holds a NUL character at line %2; it may be in another encoding.")
                                   .arg(FSQLName)
                                   .arg(FLineCount + 1));
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
    if (!FBatches.Append(FCurrent))
        ThrowNotEnoughMemory(FSQLName);
}

// One line, characters start..end, the next line starting at next.
void TSQLFile::AddLine(qsizetype start, qsizetype end, qsizetype next)
{
    ++FLineCount;
    const QStringView trimmed = TrimForCompare(Text(start, end));
    if (StartsWithUpper(trimmed, QLatin1StringView("USE ")))
        UseDBWarn = true;
    if (StartsWithUpper(trimmed, QLatin1StringView("GO ")))
        GoNWarn = true;
    if (trimmed.size() == 2 && StartsWithUpper(trimmed, QLatin1StringView("GO"))) {
        if (!FBatches.Append(FCurrent))
            ThrowNotEnoughMemory(FSQLName);
        FCurrent = {next, next, 0};
        return;
    }
    if (FCurrent.Lines == 0)
        FCurrent.Start = start;
    FCurrent.End = end;
    ++FCurrent.Lines;
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
