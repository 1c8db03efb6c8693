// The ODBC recordset: the results of one executed statement handle, read
// forward only. Columns are bound column-wise and fetched in blocks of
// CacheSize() rows; long values (max types, text, ntext, image, xml,
// sql_variant) are read piecewise, one row at a time.
#pragma once

#include "untOdbcConnection.h"

#include <QString>

#include <memory>
#include <vector>

class TOdbcRecordset final : public TDBRecordset {
public:
    // Takes over the statement right after SQLExecDirect; `ended` tells that
    // the statement has no further results (its first call returned
    // SQL_NO_DATA).
    TOdbcRecordset(TOdbcConnection* connection, std::shared_ptr<TOdbcStatement> statement, bool ended);
    ~TOdbcRecordset() override;

    // Describes the current result and reports its row count.
    qint64 DescribeResult();

    int State() const override { return FColumns.empty() || FClosed ? adStateClosed : adStateOpen; }
    void SetCacheSize(int rows) override;
    int CacheSize() const override { return FCacheSize; }

    int FieldCount() const override { return int(FFields.size()); }
    const TDBField& Field(int index) const override { return FFields.at(size_t(index)); }
    int FieldIndex(const QString& name) const override;

    bool Eof() const override;
    void MoveNext() override;

    bool IsNull(int field) const override;
    qint64 AsInteger(int field) const override;
    double AsFloat(int field) const override;
    QByteArrayView AsDecimalText(int field) const override;
    TDBTimeStamp AsTimeStamp(int field) const override;
    QStringView AsString(int field) const override;
    QByteArrayView AsBytes(int field) const override;
    QVariant Value(int field) const override;

    bool NextRecordset(qint64& recordsAffected) override;
    void Close() override;

private:
    // How a column travels from the driver into our buffers.
    enum class TBind {
        None,       // not fetched (a type the mapping leaves out)
        Int64,      // integers and bit, as SQL_C_SBIGINT
        Double,     // real and float
        Decimal,    // decimal, numeric, money as text
        TimeStamp,  // datetime kinds and date, as SQL_TIMESTAMP_STRUCT
        TimeText,   // time of day, as text
        WText,      // text, as UTF-16
        Binary,     // bytes
        Guid,       // uniqueidentifier, as SQLGUID
        LongWText,  // long text, piecewise
        LongBinary  // long bytes, piecewise
    };
    // The C type a bound or piecewise-read value is fetched as.
    static SQLSMALLINT CTypeOf(TBind bind);

    struct TColumn {
        TBind Bind = TBind::None;
        SQLSMALLINT SqlType = 0;
        SQLULEN CellBytes = 0;           // bytes per row in Buffer
        std::vector<char> Buffer;        // CacheSize() cells, or the long value
        std::vector<SQLLEN> Indicator;   // one per row
        bool Piecewise = false;          // read with SQLGetData at each row
        mutable QString Text;            // scratch for made-up texts (GUIDs)
    };

    void CheckUsable() const;
    void EnsureFetched() const;
    void FetchBlock();
    void ReadPiecewise(int column);
    void BindColumns();
    void DescribeColumn(int index);
    const TColumn& CurrentColumn(int field) const;
    const char* Cell(const TColumn& column) const;
    SQLLEN CellLength(const TColumn& column) const;
    void Throw(SQLSMALLINT handleType, SQLHANDLE handle, const QString& fallback) const;

    TOdbcConnection* FConnection;
    std::shared_ptr<TOdbcStatement> FStatement;
    quint64 FExecution;
    bool FEnded;           // the statement has no more results
    bool FClosed = false;  // Close was called or the results are exhausted
    int FCacheSize = 1000;
    int FArraySize = 1;    // rows per fetch of the current result
    std::vector<TDBField> FFields;
    std::vector<TColumn> FColumns;

    // Cursor over the fetched block.
    bool FFetched = false;  // the first block of this result has been asked for
    bool FAtEnd = false;    // no more rows
    bool FShortBlock = false;  // the last block had fewer rows than asked for
    SQLULEN FRowsInBlock = 0;
    SQLULEN FRow = 0;
    std::vector<SQLUSMALLINT> FRowStatus;
};
