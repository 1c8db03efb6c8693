#include "untResultTable.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <cstring>

namespace ResultStorage {

// An append-only array in fixed chunks: growing never moves what is stored.
template <typename T>
class TChunked {
public:
    static constexpr size_t Bits = 14;
    static constexpr size_t ChunkSize = size_t(1) << Bits;
    static constexpr size_t Mask = ChunkSize - 1;

    void PushBack(T value)
    {
        if ((FSize & Mask) == 0)
            FChunks.push_back(std::make_unique_for_overwrite<T[]>(ChunkSize));
        FChunks[FSize >> Bits][FSize & Mask] = value;
        ++FSize;
    }
    T operator[](size_t i) const { return FChunks[i >> Bits][i & Mask]; }
    size_t Size() const { return FSize; }

    TChunked() = default;
    TChunked(const TChunked& other) : FSize(other.FSize)
    {
        for (const auto& chunk : other.FChunks) {
            FChunks.push_back(std::make_unique_for_overwrite<T[]>(ChunkSize));
            std::memcpy(FChunks.back().get(), chunk.get(), ChunkSize * sizeof(T));
        }
    }

private:
    std::vector<std::unique_ptr<T[]>> FChunks;
    size_t FSize = 0;
};

// Values of variable length, each kept whole inside one chunk of characters.
template <typename C>
class TBlobStore {
public:
    struct TSpan {
        std::uint32_t Chunk;
        std::uint32_t Offset;
        std::uint32_t Length;
    };
    static constexpr size_t ChunkChars = size_t(128) * 1024;

    void PushBack(const C* data, size_t length)
    {
        if (FChunks.empty() || FUsed + length > FCapacity) {
            FCapacity = qMax(ChunkChars, length);
            FChunks.push_back(std::make_unique_for_overwrite<C[]>(FCapacity));
            FCapacities.push_back(FCapacity);
            FUsed = 0;
        }
        if (length)
            std::memcpy(FChunks.back().get() + FUsed, data, length * sizeof(C));
        FSpans.PushBack(TSpan{std::uint32_t(FChunks.size() - 1), std::uint32_t(FUsed), std::uint32_t(length)});
        FUsed += length;
    }
    std::pair<const C*, size_t> At(size_t i) const
    {
        const TSpan s = FSpans[i];
        return {FChunks[s.Chunk].get() + s.Offset, s.Length};
    }

    TBlobStore() = default;
    TBlobStore(const TBlobStore& other)
        : FSpans(other.FSpans), FCapacities(other.FCapacities), FUsed(other.FUsed), FCapacity(other.FCapacity)
    {
        for (size_t i = 0; i < other.FChunks.size(); ++i) {
            FChunks.push_back(std::make_unique_for_overwrite<C[]>(FCapacities[i]));
            std::memcpy(FChunks.back().get(), other.FChunks[i].get(), FCapacities[i] * sizeof(C));
        }
    }

private:
    TChunked<TSpan> FSpans;
    std::vector<std::unique_ptr<C[]>> FChunks;
    std::vector<size_t> FCapacities;
    size_t FUsed = 0;
    size_t FCapacity = 0;
};

enum class TStore : std::uint8_t { None, I16, U16, I32, I64, F64, Text, Bytes };

struct TColumnData {
    TResultColumnDef Def;
    TStore Store = TStore::None;
    std::vector<std::uint64_t> Nulls;  // one bit per row
    TChunked<std::int16_t> I16;
    TChunked<std::uint16_t> U16;
    TChunked<std::int32_t> I32;
    TChunked<std::int64_t> I64;
    TChunked<double> F64;
    TBlobStore<char16_t> Text;
    TBlobStore<char> Bytes;

    bool IsNull(qint64 row) const { return (Nulls[size_t(row) >> 6] >> (row & 63)) & 1; }
};

struct TData {
    std::vector<TColumnData> Columns;
    qint64 Rows = 0;
};

} // namespace ResultStorage

using namespace ResultStorage;

namespace {

TStore StoreFor(const TResultColumnDef& def)
{
    switch (def.Type) {
    case ftSmallint: return TStore::I16;
    case ftWord: return TStore::U16;
    case ftInteger: return TStore::I32;
    case ftLargeint:
    case ftDateTime:
    case ftDate:
    case ftTime: return TStore::I64;
    case ftBCD: return def.Precision <= 18 ? TStore::I64 : TStore::Text;  // 19 digits can pass int64
    case ftFloat: return TStore::F64;
    case ftFMTBcd:
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftMemo:
    case ftWideMemo:
    case ftGuid:
    case ftVariant: return TStore::Text;
    case ftBytes:
    case ftVarBytes:
    case ftBlob: return TStore::Bytes;
    default: return TStore::None;
    }
}

const qint64 Pow10[19] = {1LL,
                          10LL,
                          100LL,
                          1000LL,
                          10000LL,
                          100000LL,
                          1000000LL,
                          10000000LL,
                          100000000LL,
                          1000000000LL,
                          10000000000LL,
                          100000000000LL,
                          1000000000000LL,
                          10000000000000LL,
                          100000000000000LL,
                          1000000000000000LL,
                          10000000000000000LL,
                          100000000000000000LL,
                          1000000000000000000LL};

// Decimal text into an integer scaled by 10^scale (extra digits cut off).
qint64 ScaledFromText(QByteArrayView text, int scale)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == ' '))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    qint64 value = 0;
    int fraction = -1;  // digits read after the point; -1 before it
    for (; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '.') {
            fraction = 0;
            continue;
        }
        if (ch < '0' || ch > '9')
            break;
        if (fraction >= 0) {
            if (fraction >= scale)
                continue;
            ++fraction;
        }
        value = value * 10 + (ch - '0');
    }
    for (int f = qMax(fraction, 0); f < scale; ++f)
        value *= 10;
    return negative ? -value : value;
}

QString TextFromScaled(qint64 value, int scale)
{
    const bool negative = value < 0;
    const quint64 magnitude = negative ? quint64(0) - quint64(value) : quint64(value);
    QString digits = QString::number(magnitude);
    if (scale > 0) {
        if (digits.size() <= scale)
            digits = QString(scale - digits.size() + 1, QLatin1Char('0')) + digits;
        digits.insert(digits.size() - scale, QLatin1Char('.'));
    }
    return negative ? QLatin1Char('-') + digits : digits;
}

// "-.5" and ".5" as "-0.5" and "0.5"; otherwise the server's text.
QString NormalisedDecimal(QByteArrayView text)
{
    QString s = QString::fromLatin1(text).trimmed();
    if (s.startsWith(QLatin1Char('.')))
        s.prepend(QLatin1Char('0'));
    else if (s.startsWith(QLatin1String("-.")))
        s.insert(1, QLatin1Char('0'));
    return s;
}

const qint64 JulianDayOfYear1 = QDate(1, 1, 1).toJulianDay();

QDate DateFromTicks(TTicks ticks)
{
    return QDate::fromJulianDay(JulianDayOfYear1 + ticks / TicksPerDay);
}

QTime TimeFromTicks(TTicks ticks)
{
    const TTicks ofDay = ticks % TicksPerDay;
    return QTime::fromMSecsSinceStartOfDay(int(ofDay / 10000));
}

// ".fffffff" with trailing zeros removed down to three digits, or nothing
// for a whole second.
QString FractionText(TTicks ticks)
{
    const int fraction = int(ticks % TicksPerSecond);
    if (fraction == 0)
        return {};
    QString f = QStringLiteral("%1").arg(fraction, 7, 10, QLatin1Char('0'));
    while (f.size() > 3 && f.endsWith(QLatin1Char('0')))
        f.chop(1);
    return QLatin1Char('.') + f;
}

} // namespace

const char* FieldTypeName(TFieldType type)
{
    static const char* const names[] = {"ftUnknown",    "ftSmallint",  "ftWord",       "ftInteger",   "ftLargeint",
                                        "ftFloat",      "ftBCD",       "ftFMTBcd",     "ftDateTime",  "ftDate",
                                        "ftTime",       "ftString",    "ftFixedChar",  "ftWideString", "ftFixedWideChar",
                                        "ftMemo",       "ftWideMemo",  "ftBytes",      "ftVarBytes",  "ftBlob",
                                        "ftGuid",       "ftVariant",   "ftInterface",  "ftIDispatch", "ftDataSet"};
    return type <= ftDataSet ? names[type] : "ftUnknown";
}

TTicks TicksFromParts(int year, int month, int day, int hour, int minute, int second, int nanosecond)
{
    const QDate date(year, month, day);
    const qint64 days = date.isValid() ? date.toJulianDay() - JulianDayOfYear1 : 0;
    return days * TicksPerDay + (qint64(hour) * 3600 + minute * 60 + second) * TicksPerSecond + nanosecond / 100;
}

// ---------------------------------------------------------------------------

int TResultView::ColumnCount() const
{
    return FView ? int(FView->Columns.size()) : 0;
}

const TResultColumnDef& TResultView::Column(int column) const
{
    return FView->Columns[size_t(column)].Def;
}

int TResultView::ColumnIndex(const QString& name) const
{
    for (int i = 0; i < ColumnCount(); ++i)
        if (Column(i).Name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

qint64 TResultView::RowCount() const
{
    return FView ? FView->Rows : 0;
}

bool TResultView::IsNull(qint64 row, int column) const
{
    Q_ASSERT(row >= 0 && row < RowCount());
    return FView->Columns[size_t(column)].IsNull(row);
}

qint64 TResultView::AsInteger(qint64 row, int column) const
{
    const TColumnData& c = FView->Columns[size_t(column)];
    if (c.IsNull(row))
        return 0;
    switch (c.Store) {
    case TStore::I16: return c.I16[size_t(row)];
    case TStore::U16: return c.U16[size_t(row)];
    case TStore::I32: return c.I32[size_t(row)];
    case TStore::I64: return c.I64[size_t(row)];
    case TStore::F64: return qint64(c.F64[size_t(row)]);
    case TStore::Text: return AsText(row, column).toLongLong();
    default: return 0;
    }
}

double TResultView::AsFloat(qint64 row, int column) const
{
    const TColumnData& c = FView->Columns[size_t(column)];
    if (c.IsNull(row))
        return 0;
    if (c.Store == TStore::F64)
        return c.F64[size_t(row)];
    if (c.Def.Type == ftBCD && c.Store == TStore::I64)
        return double(c.I64[size_t(row)]) / double(Pow10[qBound(0, c.Def.Size, 18)]);
    if (c.Store == TStore::Text)
        return AsText(row, column).toDouble();
    return double(AsInteger(row, column));
}

TTicks TResultView::AsTicks(qint64 row, int column) const
{
    const TColumnData& c = FView->Columns[size_t(column)];
    return c.Store == TStore::I64 && !c.IsNull(row) ? c.I64[size_t(row)] : 0;
}

QStringView TResultView::AsText(qint64 row, int column) const
{
    const TColumnData& c = FView->Columns[size_t(column)];
    if (c.Store != TStore::Text || c.IsNull(row))
        return {};
    const auto [data, length] = c.Text.At(size_t(row));
    return QStringView(data, qsizetype(length));
}

QByteArrayView TResultView::AsBytes(qint64 row, int column) const
{
    const TColumnData& c = FView->Columns[size_t(column)];
    if (c.Store != TStore::Bytes || c.IsNull(row))
        return {};
    const auto [data, length] = c.Bytes.At(size_t(row));
    return QByteArrayView(data, qsizetype(length));
}

QString TResultView::AsDecimalText(qint64 row, int column) const
{
    const TColumnData& c = FView->Columns[size_t(column)];
    if (c.IsNull(row))
        return {};
    if (c.Store == TStore::I64)
        return TextFromScaled(c.I64[size_t(row)], qBound(0, c.Def.Size, 18));
    return AsText(row, column).toString();
}

QVariant TResultView::Value(qint64 row, int column) const
{
    const TColumnData& c = FView->Columns[size_t(column)];
    if (c.IsNull(row) || c.Store == TStore::None)
        return {};
    switch (c.Def.Type) {
    case ftBCD:
    case ftFMTBcd: return AsDecimalText(row, column);
    case ftFloat: return AsFloat(row, column);
    case ftDateTime: {
        const TTicks t = AsTicks(row, column);
        return QDateTime(DateFromTicks(t), TimeFromTicks(t));
    }
    case ftDate: return DateFromTicks(AsTicks(row, column));
    case ftTime: return TimeFromTicks(AsTicks(row, column));
    default: break;
    }
    switch (c.Store) {
    case TStore::Text: return AsText(row, column).toString();
    case TStore::Bytes: return AsBytes(row, column).toByteArray();
    default: return AsInteger(row, column);
    }
}

QString TResultView::DisplayText(qint64 row, int column) const
{
    const TColumnData& c = FView->Columns[size_t(column)];
    if (c.IsNull(row) || c.Store == TStore::None)
        return {};
    switch (c.Def.Type) {
    case ftBCD:
    case ftFMTBcd: return AsDecimalText(row, column);
    case ftFloat: return QString::number(AsFloat(row, column), 'g', 15);
    case ftDateTime: {
        const TTicks t = AsTicks(row, column);
        return DateFromTicks(t).toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char(' ')
             + TimeFromTicks(t).toString(QStringLiteral("hh:mm:ss")) + FractionText(t);
    }
    case ftDate: return DateFromTicks(AsTicks(row, column)).toString(QStringLiteral("yyyy-MM-dd"));
    case ftTime: {
        const TTicks t = AsTicks(row, column);
        return TimeFromTicks(t).toString(QStringLiteral("hh:mm:ss")) + FractionText(t);
    }
    default: break;
    }
    switch (c.Store) {
    case TStore::Text: return AsText(row, column).toString();
    case TStore::Bytes: return QStringLiteral("0x") + QString::fromLatin1(AsBytes(row, column).toByteArray().toHex().toUpper());
    default: return QString::number(AsInteger(row, column));
    }
}

// ---------------------------------------------------------------------------

TResultSnapshot::TResultSnapshot() = default;

TResultSnapshot::TResultSnapshot(std::shared_ptr<const TData> data)
{
    FView = std::move(data);
}

TResultTable::TResultTable() = default;
TResultTable::~TResultTable() = default;

void TResultTable::Close()
{
    FData.reset();
    FView.reset();
    FNextColumn = 0;
}

void TResultTable::DefineColumns(const QList<TResultColumnDef>& columns)
{
    FData = std::make_shared<TData>();
    FData->Columns.resize(size_t(columns.size()));
    for (qsizetype i = 0; i < columns.size(); ++i) {
        FData->Columns[size_t(i)].Def = columns[i];
        FData->Columns[size_t(i)].Store = StoreFor(columns[i]);
    }
    FView = FData;
    FNextColumn = 0;
}

void TResultTable::LoadFromSnapshot(const TResultSnapshot& snapshot)
{
    // Shared until written: Writable() copies first.
    FData = std::const_pointer_cast<TData>(snapshot.FView);
    FView = snapshot.FView;
    FNextColumn = 0;
}

TData& TResultTable::Writable()
{
    Q_ASSERT(FData);
    if (FData.use_count() > 2) {  // FData and FView are ours; anything more is a snapshot
        FData = std::make_shared<TData>(*FData);
        FView = FData;
    }
    return *FData;
}

namespace {

TColumnData& NextColumn(TData& data, int& next)
{
    Q_ASSERT(next < int(data.Columns.size()));
    TColumnData& c = data.Columns[size_t(next++)];
    const size_t row = size_t(data.Rows);
    if ((row & 63) == 0)
        c.Nulls.push_back(0);
    return c;
}

// A null cell: marked in the bitmap, and an empty slot in its store, since
// every store keeps one slot per row, nulls included, so rows stay aligned.
void PushNull(TColumnData& c, qint64 row)
{
    c.Nulls[size_t(row) >> 6] |= std::uint64_t(1) << (row & 63);
    switch (c.Store) {
    case TStore::I16: c.I16.PushBack(0); break;
    case TStore::U16: c.U16.PushBack(0); break;
    case TStore::I32: c.I32.PushBack(0); break;
    case TStore::I64: c.I64.PushBack(0); break;
    case TStore::F64: c.F64.PushBack(0); break;
    case TStore::Text: c.Text.PushBack(nullptr, 0); break;
    case TStore::Bytes: c.Bytes.PushBack(nullptr, 0); break;
    case TStore::None: break;
    }
}

} // namespace

void TResultTable::AppendNull()
{
    TData& d = Writable();
    TColumnData& c = NextColumn(d, FNextColumn);
    PushNull(c, d.Rows);
}

void TResultTable::AppendInteger(qint64 value)
{
    TData& d = Writable();
    TColumnData& c = NextColumn(d, FNextColumn);
    switch (c.Store) {
    case TStore::I16: c.I16.PushBack(std::int16_t(value)); break;
    case TStore::U16: c.U16.PushBack(std::uint16_t(value)); break;
    case TStore::I32: c.I32.PushBack(std::int32_t(value)); break;
    case TStore::I64: c.I64.PushBack(value); break;
    case TStore::F64: c.F64.PushBack(double(value)); break;
    case TStore::Text: {
        const QString s = QString::number(value);
        c.Text.PushBack(reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size()));
        break;
    }
    default:
        PushNull(c, d.Rows);
        break;
    }
}

void TResultTable::AppendFloat(double value)
{
    TData& d = Writable();
    TColumnData& c = NextColumn(d, FNextColumn);
    if (c.Store == TStore::F64)
        c.F64.PushBack(value);
    else
        PushNull(c, d.Rows);
}

void TResultTable::AppendDecimal(QByteArrayView text)
{
    TData& d = Writable();
    TColumnData& c = NextColumn(d, FNextColumn);
    if (c.Store == TStore::I64) {
        c.I64.PushBack(ScaledFromText(text, qBound(0, c.Def.Size, 18)));
    } else if (c.Store == TStore::Text) {
        const QString s = NormalisedDecimal(text);
        c.Text.PushBack(reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size()));
    } else {
        PushNull(c, d.Rows);
    }
}

void TResultTable::AppendTicks(TTicks value)
{
    TData& d = Writable();
    TColumnData& c = NextColumn(d, FNextColumn);
    if (c.Store == TStore::I64)
        c.I64.PushBack(value);
    else
        PushNull(c, d.Rows);
}

void TResultTable::AppendText(QStringView value)
{
    TData& d = Writable();
    TColumnData& c = NextColumn(d, FNextColumn);
    if (c.Store == TStore::Text)
        c.Text.PushBack(value.utf16(), size_t(value.size()));
    else
        PushNull(c, d.Rows);
}

void TResultTable::AppendBytes(QByteArrayView value)
{
    TData& d = Writable();
    TColumnData& c = NextColumn(d, FNextColumn);
    if (c.Store == TStore::Bytes)
        c.Bytes.PushBack(value.data(), size_t(value.size()));
    else
        PushNull(c, d.Rows);
}

void TResultTable::Post()
{
    TData& d = Writable();
    // Columns the row did not reach are null.
    while (FNextColumn < int(d.Columns.size()))
        AppendNull();
    ++d.Rows;
    FNextColumn = 0;
}

TResultSnapshot TResultTable::Snapshot() const
{
    return TResultSnapshot(FView);
}
