// The result table: one captured result set, typed and columnar, and its
// snapshot, the immutable shared value that travels to the window, the grid
// and the export.
//
// Storage: every column keeps its values in one typed array (chunked, so
// that growth never copies what is already there) and a null bitmap; texts
// and bytes live in chunked character stores. A snapshot shares the table's
// storage: taking one copies no rows, and the table starts afresh when it is
// defined again (TResultTable::DefineColumns), so a snapshot stays
// independent of the next result set.
//
// Threads: a TResultTable belongs to one thread (the execution thread). A
// TResultSnapshot may be copied to and read on any thread at the same time.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringView>
#include <QVariant>

#include <cstdint>
#include <memory>
#include <vector>

// Column kinds of a result table.
enum TFieldType : std::uint8_t {
    ftUnknown = 0,    // no column kind: the server column is left out
    ftSmallint,       // 16-bit signed integer (also truth columns)
    ftWord,           // 16-bit unsigned integer
    ftInteger,        // 32-bit signed integer
    ftLargeint,       // 64-bit signed integer
    ftFloat,          // 64-bit floating point
    ftBCD,            // fixed-point decimal: Precision digits, Size of them after the point
    ftFMTBcd,         // arbitrary-precision decimal: Precision and Size as for ftBCD
    ftDateTime,       // date and time
    ftDate,           // date
    ftTime,           // time of day
    ftString,         // 8-bit text, Size characters at most
    ftFixedChar,      // fixed-length 8-bit text
    ftWideString,     // UTF-16 text, Size characters at most
    ftFixedWideChar,  // fixed-length UTF-16 text
    ftMemo,           // long 8-bit text
    ftWideMemo,       // long UTF-16 text
    ftBytes,          // fixed-length bytes, Size bytes
    ftVarBytes,       // variable-length bytes, Size bytes at most
    ftBlob,           // long binary
    ftGuid,           // GUID in text form, Size 38
    ftVariant,        // any value (held as its text)
    ftInterface,      // object reference (never filled from a server)
    ftIDispatch,      // automation object reference (never filled from a server)
    ftDataSet,        // nested table (never filled from a server)
};

// Name of a kind, for logs and tests ("ftInteger").
const char* FieldTypeName(TFieldType type);

// One column definition.
struct TResultColumnDef {
    QString Name;            // unique within its table, compared without regard to case
    TFieldType Type = ftUnknown;
    int Size = 0;            // characters, bytes, or the decimal scale
    int Precision = 0;       // decimal digits of the two decimal kinds
    bool IsTruth = false;    // a bit column: values 1 and 0

    bool operator==(const TResultColumnDef&) const = default;
};

// A date-time value: 100-nanosecond ticks since 0001-01-01 00:00:00 (for
// ftTime: since midnight).
using TTicks = qint64;
constexpr TTicks TicksPerSecond = 10000000;
constexpr TTicks TicksPerDay = TicksPerSecond * 86400;
TTicks TicksFromParts(int year, int month, int day, int hour, int minute, int second, int nanosecond);

namespace ResultStorage {
struct TData;
}

// Read access shared by the table and the snapshot. Row and column indexes
// are checked only by Q_ASSERT: callers stay within RowCount/ColumnCount.
class TResultView {
public:
    int ColumnCount() const;
    const TResultColumnDef& Column(int column) const;
    int ColumnIndex(const QString& name) const;  // case-insensitive; -1 if none
    qint64 RowCount() const;

    bool IsNull(qint64 row, int column) const;
    // Integers, truth values (1, 0), and ftBCD as its scaled integer when
    // it fits (Size digits after the point).
    qint64 AsInteger(qint64 row, int column) const;
    double AsFloat(qint64 row, int column) const;
    // Date-time kinds.
    TTicks AsTicks(qint64 row, int column) const;
    // Text kinds, GUIDs, variants.
    QStringView AsText(qint64 row, int column) const;
    // Binary kinds.
    QByteArrayView AsBytes(qint64 row, int column) const;
    // The two decimal kinds, as plain decimal text ("-12.50").
    QString AsDecimalText(qint64 row, int column) const;
    // Any value: qint64, double, QString (decimals, texts), QDateTime, QDate,
    // QTime, QByteArray; null for a null value.
    QVariant Value(qint64 row, int column) const;
    // The value as a grid shows it: empty for null; dates as
    // yyyy-MM-dd hh:mm:ss.zzz; binaries as 0x and hexadecimal digits.
    QString DisplayText(qint64 row, int column) const;

protected:
    std::shared_ptr<const ResultStorage::TData> FView;
};

// Immutable, shared, cheap to copy.
class TResultSnapshot : public TResultView {
public:
    TResultSnapshot();
    bool IsNullSnapshot() const { return !FView; }

private:
    friend class TResultTable;
    explicit TResultSnapshot(std::shared_ptr<const ResultStorage::TData> data);
};

// The table one result set is captured into. Define the columns, then append
// row by row: for each row, every column receives exactly one value, in
// column order, then Post ends the row.
class TResultTable : public TResultView {
public:
    TResultTable();
    ~TResultTable();

    // Drops all columns and rows (a snapshot taken before keeps them).
    void Close();
    // Starts a new, empty table with these columns.
    void DefineColumns(const QList<TResultColumnDef>& columns);
    // Shares the snapshot's data (copy on the first change).
    void LoadFromSnapshot(const TResultSnapshot& snapshot);

    // Row building. Each call appends to the next column of the current row.
    void AppendNull();
    void AppendInteger(qint64 value);   // integer kinds (truncated to the width)
    void AppendFloat(double value);
    void AppendDecimal(QByteArrayView text);  // ftBCD, ftFMTBcd: decimal text
    void AppendTicks(TTicks value);     // date-time kinds
    void AppendText(QStringView value); // text kinds, GUIDs, variants
    void AppendBytes(QByteArrayView value);
    void Post();                        // ends the row

    TResultSnapshot Snapshot() const;

private:
    ResultStorage::TData& Writable();
    std::shared_ptr<ResultStorage::TData> FData;
    int FNextColumn = 0;
};

Q_DECLARE_METATYPE(TResultSnapshot)
