#include "untOdbcRecordset.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <algorithm>
#include <cstring>

namespace {

bool Succeeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Rows of one fetch are limited so that a block of wide rows stays small.
constexpr qint64 MaxBlockBytes = 16 * 1024 * 1024;
// A bound cell larger than this is read piecewise instead.
constexpr SQLULEN MaxBoundCellBytes = 8002;
// Piece size for long values.
constexpr SQLLEN PieceBytes = 64 * 1024;

const char* const ClosedText = "Operation is not allowed when the object is closed.";
const char* const NoRowText =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.";

bool IsLongSize(SQLULEN size, SQLULEN limit)
{
    return size == 0 || size > limit;
}

// "hh:mm:ss[.fffffff]" into a time of day.
TDBTimeStamp ParseTimeText(QByteArrayView text)
{
    TDBTimeStamp t;
    const QList<QByteArray> parts = text.toByteArray().trimmed().split(':');
    if (parts.size() >= 3) {
        t.Hour = parts[0].toInt();
        t.Minute = parts[1].toInt();
        const QByteArray& sec = parts[2];
        const qsizetype dot = sec.indexOf('.');
        t.Second = (dot < 0 ? sec : sec.left(dot)).toInt();
        if (dot >= 0) {
            QByteArray frac = sec.mid(dot + 1).left(9);
            while (frac.size() < 9)
                frac.append('0');
            t.Nanosecond = frac.toInt();
        }
    }
    return t;
}

} // namespace

TOdbcRecordset::TOdbcRecordset(TOdbcConnection* connection, std::shared_ptr<TOdbcStatement> statement, bool ended)
    : FConnection(connection), FStatement(std::move(statement)), FExecution(FStatement->Execution), FEnded(ended)
{
}

TOdbcRecordset::~TOdbcRecordset()
{
    if (FStatement->Execution != FExecution || FStatement->Handle == SQL_NULL_HSTMT)
        return;
    FStatement->Active = false;
    SQLHSTMT h = FStatement->Handle;
    SQLFreeStmt(h, SQL_CLOSE);
    SQLFreeStmt(h, SQL_UNBIND);
    SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(1)), 0);
}

void TOdbcRecordset::CheckUsable() const
{
    if (FStatement->Execution != FExecution || FStatement->Handle == SQL_NULL_HSTMT)
        throw EDBError(QString::fromLatin1(ClosedText));
}

void TOdbcRecordset::Throw(SQLSMALLINT handleType, SQLHANDLE handle, const QString& fallback) const
{
    CollectDiagnostics(handleType, handle, FConnection->MutableErrors(), FConnection->DriverRanks());
    throw ErrorFromMessages(FConnection->Errors(), fallback);
}

qint64 TOdbcRecordset::DescribeResult()
{
    FFields.clear();
    FColumns.clear();
    FFetched = false;
    FAtEnd = false;
    FShortBlock = false;
    FRowsInBlock = 0;
    FRow = 0;

    SQLHSTMT h = FStatement->Handle;
    SQLSMALLINT count = 0;
    if (!Succeeded(SQLNumResultCols(h, &count)))
        count = 0;
    if (count <= 0) {
        SQLLEN rows = -1;
        if (!Succeeded(SQLRowCount(h, &rows)))
            rows = -1;
        return rows < 0 ? -1 : qint64(rows);
    }
    FFields.resize(size_t(count));
    FColumns.resize(size_t(count));
    for (int i = 0; i < count; ++i)
        DescribeColumn(i);
    return -1;
}

void TOdbcRecordset::DescribeColumn(int index)
{
    SQLHSTMT h = FStatement->Handle;
    QString name(512, QChar(0));
    SQLSMALLINT nameLength = 0, sqlType = 0, digits = 0, nullable = SQL_NULLABLE_UNKNOWN;
    SQLULEN size = 0;
    const SQLRETURN rc = SQLDescribeColW(h, SQLUSMALLINT(index + 1), reinterpret_cast<SQLWCHAR*>(name.data()),
                                         SQLSMALLINT(name.size()), &nameLength, &sqlType, &size, &digits, &nullable);
    if (!Succeeded(rc))
        Throw(SQL_HANDLE_STMT, h, QStringLiteral("Cannot describe column %1.").arg(index + 1));

    QString typeName(128, QChar(0));
    SQLSMALLINT typeNameBytes = 0;
    if (!Succeeded(SQLColAttributeW(h, SQLUSMALLINT(index + 1), SQL_DESC_TYPE_NAME, typeName.data(),
                                    SQLSMALLINT(typeName.size() * 2), &typeNameBytes, nullptr)))
        typeNameBytes = 0;

    TDBField& f = FFields[size_t(index)];
    f.Name = QString(name.constData(), std::clamp<qsizetype>(nameLength, 0, name.size() - 1));
    f.TypeName = QString(typeName.constData(), std::clamp<qsizetype>(typeNameBytes / 2, 0, typeName.size() - 1)).toLower();
    f.Precision = 0;
    f.NumericScale = 0;
    f.Attributes = 0;
    if (nullable != SQL_NO_NULLS)
        f.Attributes |= adFldMayBeNull | adFldIsNullable;

    TColumn& c = FColumns[size_t(index)];
    c.SqlType = sqlType;

    auto fixed = [&](TDataType type, TBind bind, qint64 definedSize, int precision) {
        f.Type = type;
        f.DefinedSize = definedSize;
        f.Precision = precision;
        f.Attributes |= adFldFixed;
        c.Bind = bind;
    };
    auto text = [&](TDataType shortType, TDataType longType, SQLULEN limit, bool isFixed) {
        if (IsLongSize(size, limit)) {
            f.Type = longType;
            f.DefinedSize = 0;
            f.Attributes |= adFldLong;
            c.Bind = TBind::LongWText;
        } else {
            f.Type = shortType;
            f.DefinedSize = qint64(size);
            if (isFixed)
                f.Attributes |= adFldFixed;
            c.Bind = TBind::WText;
            c.CellBytes = (size + 1) * sizeof(char16_t);
        }
    };
    auto binary = [&](TDataType shortType, bool isFixed) {
        if (IsLongSize(size, 8000)) {
            f.Type = adLongVarBinary;
            f.DefinedSize = 0;
            f.Attributes |= adFldLong;
            c.Bind = TBind::LongBinary;
        } else {
            f.Type = shortType;
            f.DefinedSize = qint64(size);
            if (isFixed)
                f.Attributes |= adFldFixed;
            c.Bind = TBind::Binary;
            c.CellBytes = qMax<SQLULEN>(size, 1);
        }
    };

    switch (sqlType) {
    case SQL_BIT: fixed(adBoolean, TBind::Int64, 2, 1); break;
    case SQL_TINYINT: fixed(adUnsignedTinyInt, TBind::Int64, 1, 3); break;
    case SQL_SMALLINT: fixed(adSmallInt, TBind::Int64, 2, 5); break;
    case SQL_INTEGER: fixed(adInteger, TBind::Int64, 4, 10); break;
    case SQL_BIGINT: fixed(adBigInt, TBind::Int64, 8, 19); break;
    case SQL_REAL: fixed(adSingle, TBind::Double, 4, 7); break;
    case SQL_FLOAT:
    case SQL_DOUBLE: fixed(adDouble, TBind::Double, 8, 15); break;
    case SQL_DECIMAL:
    case SQL_NUMERIC: {
        const bool money = f.TypeName == QLatin1String("money") || f.TypeName == QLatin1String("smallmoney");
        fixed(money ? adCurrency : adNumeric, TBind::Decimal, 19, int(size));
        f.NumericScale = digits;
        c.CellBytes = qMax<SQLULEN>(size, 38) + 4;  // sign, point, leading zero, terminator
        break;
    }
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
        fixed(adDBTimeStamp, TBind::TimeStamp, 16, int(size));
        f.NumericScale = digits;
        break;
    case SQL_TYPE_DATE:
    case SQL_DATE: fixed(adDBDate, TBind::TimeStamp, 6, 10); break;
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case SQL_SS_TIME2_TYPE:
        fixed(adDBTime, TBind::TimeText, 16, int(size));
        f.NumericScale = digits;
        c.CellBytes = 40;
        break;
    case SQL_SS_TIMESTAMPOFFSET_TYPE:
        // No column kind holds a zone offset: the value travels as its text.
        f.Type = adVarWChar;
        f.DefinedSize = 34;
        c.Bind = TBind::WText;
        c.CellBytes = 48 * sizeof(char16_t);
        break;
    case SQL_CHAR: text(adChar, adLongVarChar, 8000, true); break;
    case SQL_VARCHAR: text(adVarChar, adLongVarChar, 8000, false); break;
    case SQL_LONGVARCHAR: text(adVarChar, adLongVarChar, 0, false); break;
    case SQL_WCHAR: text(adWChar, adLongVarWChar, 4000, true); break;
    case SQL_WVARCHAR: text(adVarWChar, adLongVarWChar, 4000, false); break;
    case SQL_WLONGVARCHAR:
    case SQL_SS_XML_TYPE: text(adVarWChar, adLongVarWChar, 0, false); break;
    case SQL_BINARY: binary(adBinary, true); break;
    case SQL_VARBINARY: binary(adVarBinary, false); break;
    case SQL_LONGVARBINARY:
        f.Type = adLongVarBinary;
        f.Attributes |= adFldLong;
        c.Bind = TBind::LongBinary;
        break;
    case SQL_GUID:
        fixed(adGUID, TBind::Guid, 16, 0);
        c.CellBytes = sizeof(SQLGUID);
        break;
    case SQL_SS_VARIANT_TYPE:
        f.Type = adVariant;
        f.DefinedSize = 8016;
        c.Bind = TBind::LongWText;
        break;
    case SQL_SS_UDT_TYPE:
        f.Type = adUserDefined;
        c.Bind = TBind::None;
        break;
    default:
        f.Type = adEmpty;
        c.Bind = TBind::None;
        break;
    }
    switch (c.Bind) {
    case TBind::Int64:
    case TBind::Double: c.CellBytes = 8; break;
    case TBind::TimeStamp: c.CellBytes = sizeof(SQL_TIMESTAMP_STRUCT); break;
    default: break;
    }
    if (c.CellBytes > MaxBoundCellBytes && (c.Bind == TBind::WText || c.Bind == TBind::Binary))
        c.Piecewise = true;
    if (c.Bind == TBind::LongWText || c.Bind == TBind::LongBinary)
        c.Piecewise = true;
}

void TOdbcRecordset::SetCacheSize(int rows)
{
    FCacheSize = qBound(1, rows, 100000);
}

int TOdbcRecordset::FieldIndex(const QString& name) const
{
    for (size_t i = 0; i < FFields.size(); ++i)
        if (FFields[i].Name.compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

void TOdbcRecordset::BindColumns()
{
    SQLHSTMT h = FStatement->Handle;
    // Columns are read in order: once one is read piecewise, every later one
    // is too (drivers allow SQLGetData only after the bound columns).
    bool piecewise = false;
    qint64 rowBytes = 0;
    for (TColumn& c : FColumns) {
        if (c.Bind == TBind::None)
            continue;
        if (c.Piecewise)
            piecewise = true;
        c.Piecewise = piecewise;
        rowBytes += qint64(c.CellBytes) + qint64(sizeof(SQLLEN));
    }
    FArraySize = piecewise ? 1 : int(std::clamp<qint64>(MaxBlockBytes / qMax<qint64>(rowBytes, 1), 1, FCacheSize));

    SQLSetStmtAttr(h, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(FArraySize)), 0);
    FRowStatus.assign(size_t(FArraySize), SQL_ROW_NOROW);
    SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, FRowStatus.data(), 0);
    SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &FRowsInBlock, 0);

    for (size_t i = 0; i < FColumns.size(); ++i) {
        TColumn& c = FColumns[i];
        if (c.Bind == TBind::None)
            continue;
        const size_t cells = c.Piecewise ? 1 : size_t(FArraySize);
        if (c.Bind != TBind::LongWText && c.Bind != TBind::LongBinary)
            c.Buffer.assign(cells * c.CellBytes, 0);
        c.Indicator.assign(cells, SQL_NULL_DATA);
        if (c.Piecewise)
            continue;
        const SQLSMALLINT cType = CTypeOf(c.Bind);
        const SQLRETURN rc = SQLBindCol(h, SQLUSMALLINT(i + 1), cType, c.Buffer.data(), SQLLEN(c.CellBytes),
                                        c.Indicator.data());
        if (!Succeeded(rc))
            Throw(SQL_HANDLE_STMT, h, QStringLiteral("Cannot bind column %1.").arg(i + 1));
    }
}

SQLSMALLINT TOdbcRecordset::CTypeOf(TBind bind)
{
    switch (bind) {
    case TBind::Int64: return SQL_C_SBIGINT;
    case TBind::Double: return SQL_C_DOUBLE;
    case TBind::Decimal:
    case TBind::TimeText: return SQL_C_CHAR;
    case TBind::TimeStamp: return SQL_C_TYPE_TIMESTAMP;
    case TBind::WText: return SQL_C_WCHAR;
    case TBind::Binary: return SQL_C_BINARY;
    case TBind::Guid: return SQL_C_GUID;
    default: return SQL_C_DEFAULT;
    }
}

void TOdbcRecordset::ReadPiecewise(int column)
{
    SQLHSTMT h = FStatement->Handle;
    TColumn& c = FColumns[size_t(column)];
    const SQLUSMALLINT number = SQLUSMALLINT(column + 1);
    SQLLEN& indicator = c.Indicator[0];

    if (c.Bind != TBind::LongWText && c.Bind != TBind::LongBinary) {
        const SQLSMALLINT cType = CTypeOf(c.Bind);
        if (c.Bind == TBind::WText || c.Bind == TBind::Binary) {
            // A wide short value read in pieces like a long one.
            c.Bind = c.Bind == TBind::WText ? TBind::LongWText : TBind::LongBinary;
        } else {
            const SQLRETURN rc = SQLGetData(h, number, cType, c.Buffer.data(), SQLLEN(c.CellBytes), &indicator);
            if (!Succeeded(rc))
                Throw(SQL_HANDLE_STMT, h, QStringLiteral("Cannot read column %1.").arg(column + 1));
            return;
        }
    }

    const bool wide = c.Bind == TBind::LongWText;
    const SQLSMALLINT cType = wide ? SQL_C_WCHAR : SQL_C_BINARY;
    const SQLLEN terminator = wide ? SQLLEN(sizeof(char16_t)) : 0;
    qint64 used = 0;
    indicator = SQL_NULL_DATA;
    for (;;) {
        if (qint64(c.Buffer.size()) < used + PieceBytes)
            c.Buffer.resize(size_t(used + PieceBytes));
        SQLLEN got = 0;
        const SQLRETURN rc = SQLGetData(h, number, cType, c.Buffer.data() + used, PieceBytes, &got);
        if (rc == SQL_NO_DATA)
            break;
        if (!Succeeded(rc))
            Throw(SQL_HANDLE_STMT, h, QStringLiteral("Cannot read column %1.").arg(column + 1));
        if (got == SQL_NULL_DATA) {
            indicator = SQL_NULL_DATA;
            return;
        }
        // With more to come the piece fills the buffer (less the terminator
        // for text); the last piece reports its own length.
        const bool more = rc == SQL_SUCCESS_WITH_INFO && (got == SQL_NO_TOTAL || got > PieceBytes - terminator);
        const qint64 piece = more ? qint64(PieceBytes - terminator) : qint64(got);
        used += wide ? piece - piece % 2 : piece;
        indicator = SQLLEN(used);
        if (!more)
            break;
    }
}

void TOdbcRecordset::FetchBlock()
{
    CheckUsable();
    SQLHSTMT h = FStatement->Handle;
    if (!FFetched) {
        BindColumns();
        FFetched = true;
    }
    // A block shorter than asked for ended the result. Fetching once more
    // would make FreeTDS read on into the next result and lose its row count.
    if (FShortBlock) {
        FAtEnd = true;
        FRowsInBlock = 0;
        return;
    }
    FConnection->ClearErrors();
    FRow = 0;
    FRowsInBlock = 0;
    const SQLRETURN rc = SQLFetch(h);
    if (rc == SQL_NO_DATA) {
        FAtEnd = true;
        return;
    }
    if (rc != SQL_SUCCESS)
        CollectDiagnostics(SQL_HANDLE_STMT, h, FConnection->MutableErrors(), FConnection->DriverRanks());
    if (!Succeeded(rc))
        throw ErrorFromMessages(FConnection->Errors(), QStringLiteral("Cannot fetch rows."));
    if (FRowsInBlock == 0) {
        FAtEnd = true;
        return;
    }
    FShortBlock = FRowsInBlock < SQLULEN(FArraySize);
    for (SQLULEN r = 0; r < FRowsInBlock; ++r)
        if (FRowStatus[r] == SQL_ROW_ERROR)
            throw ErrorFromMessages(FConnection->Errors(), QStringLiteral("A row could not be read."));
    for (size_t i = 0; i < FColumns.size(); ++i)
        if (FColumns[i].Piecewise && FColumns[i].Bind != TBind::None)
            ReadPiecewise(int(i));
}

void TOdbcRecordset::EnsureFetched() const
{
    if (!FFetched && !FClosed && !FColumns.empty())
        const_cast<TOdbcRecordset*>(this)->FetchBlock();
}

bool TOdbcRecordset::Eof() const
{
    if (State() != adStateOpen)
        return true;
    EnsureFetched();
    return FAtEnd;
}

void TOdbcRecordset::MoveNext()
{
    if (Eof())
        throw EDBError(QString::fromLatin1(NoRowText));
    if (++FRow < FRowsInBlock)
        return;
    FetchBlock();
}

const TOdbcRecordset::TColumn& TOdbcRecordset::CurrentColumn(int field) const
{
    if (field < 0 || size_t(field) >= FColumns.size())
        throw EDBError(QStringLiteral("Item cannot be found in the collection corresponding to the requested name or ordinal."));
    if (Eof())
        throw EDBError(QString::fromLatin1(NoRowText));
    return FColumns[size_t(field)];
}

const char* TOdbcRecordset::Cell(const TColumn& column) const
{
    return column.Piecewise ? column.Buffer.data() : column.Buffer.data() + FRow * column.CellBytes;
}

SQLLEN TOdbcRecordset::CellLength(const TColumn& column) const
{
    const SQLLEN indicator = column.Indicator.empty() ? SQL_NULL_DATA : column.Indicator[column.Piecewise ? 0 : FRow];
    if (indicator == SQL_NULL_DATA || column.Piecewise)
        return indicator;
    // A value longer than its cell was cut off by the driver.
    const SQLLEN room = SQLLEN(column.CellBytes)
                      - ((column.Bind == TBind::WText) ? SQLLEN(sizeof(char16_t))
                         : (column.Bind == TBind::Decimal || column.Bind == TBind::TimeText) ? 1 : 0);
    if (indicator == SQL_NO_TOTAL || indicator > room)
        return room;
    return indicator;
}

bool TOdbcRecordset::IsNull(int field) const
{
    const TColumn& c = CurrentColumn(field);
    return c.Bind == TBind::None || CellLength(c) == SQL_NULL_DATA;
}

qint64 TOdbcRecordset::AsInteger(int field) const
{
    const TColumn& c = CurrentColumn(field);
    if (CellLength(c) == SQL_NULL_DATA)
        return 0;
    const char* p = Cell(c);
    switch (c.Bind) {
    case TBind::Int64: {
        qint64 v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    case TBind::Double: {
        double v;
        std::memcpy(&v, p, sizeof v);
        return qint64(v);
    }
    case TBind::Decimal: return qint64(QByteArray(p, CellLength(c)).toDouble());
    default: return AsString(field).toLongLong();
    }
}

double TOdbcRecordset::AsFloat(int field) const
{
    const TColumn& c = CurrentColumn(field);
    if (CellLength(c) == SQL_NULL_DATA)
        return 0;
    const char* p = Cell(c);
    switch (c.Bind) {
    case TBind::Double: {
        double v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    case TBind::Int64: return double(AsInteger(field));
    case TBind::Decimal: return QByteArray(p, CellLength(c)).toDouble();
    default: return AsString(field).toDouble();
    }
}

QByteArrayView TOdbcRecordset::AsDecimalText(int field) const
{
    const TColumn& c = CurrentColumn(field);
    const SQLLEN length = CellLength(c);
    if (length == SQL_NULL_DATA)
        return {};
    if (c.Bind == TBind::Decimal || c.Bind == TBind::TimeText)
        return QByteArrayView(Cell(c), length);
    c.Text = AsString(field).toString();
    static thread_local QByteArray latin;
    latin = c.Text.toLatin1();
    return latin;
}

TDBTimeStamp TOdbcRecordset::AsTimeStamp(int field) const
{
    const TColumn& c = CurrentColumn(field);
    const SQLLEN length = CellLength(c);
    if (length == SQL_NULL_DATA)
        return {};
    if (c.Bind == TBind::TimeText)
        return ParseTimeText(QByteArrayView(Cell(c), length));
    if (c.Bind != TBind::TimeStamp)
        return {};
    SQL_TIMESTAMP_STRUCT ts;
    std::memcpy(&ts, Cell(c), sizeof ts);
    TDBTimeStamp out;
    out.Year = ts.year;
    out.Month = ts.month;
    out.Day = ts.day;
    out.Hour = ts.hour;
    out.Minute = ts.minute;
    out.Second = ts.second;
    out.Nanosecond = int(ts.fraction);
    return out;
}

QStringView TOdbcRecordset::AsString(int field) const
{
    const TColumn& c = CurrentColumn(field);
    const SQLLEN length = CellLength(c);
    if (length == SQL_NULL_DATA)
        return {};
    const char* p = Cell(c);
    switch (c.Bind) {
    case TBind::WText:
    case TBind::LongWText: return QStringView(reinterpret_cast<const char16_t*>(p), qsizetype(length / 2));
    case TBind::Guid: {
        SQLGUID g;
        std::memcpy(&g, p, sizeof g);
        c.Text = QString::asprintf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                                   unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2],
                                   g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        return c.Text;
    }
    case TBind::Decimal:
    case TBind::TimeText: c.Text = QString::fromLatin1(p, length); return c.Text;
    case TBind::Int64: c.Text = QString::number(AsInteger(field)); return c.Text;
    case TBind::Double: c.Text = QString::number(AsFloat(field), 'g', 17); return c.Text;
    case TBind::TimeStamp: c.Text = Value(field).toDateTime().toString(Qt::ISODateWithMs); return c.Text;
    case TBind::Binary:
    case TBind::LongBinary: c.Text = QString::fromLatin1(QByteArray(p, length).toHex().toUpper()); return c.Text;
    case TBind::None: return {};
    }
    return {};
}

QByteArrayView TOdbcRecordset::AsBytes(int field) const
{
    const TColumn& c = CurrentColumn(field);
    const SQLLEN length = CellLength(c);
    if (length == SQL_NULL_DATA)
        return {};
    if (c.Bind == TBind::Binary || c.Bind == TBind::LongBinary || c.Bind == TBind::Guid)
        return QByteArrayView(Cell(c), length == SQL_NO_TOTAL ? qsizetype(c.CellBytes) : qsizetype(length));
    return {};
}

QVariant TOdbcRecordset::Value(int field) const
{
    const TColumn& c = CurrentColumn(field);
    if (c.Bind == TBind::None || CellLength(c) == SQL_NULL_DATA)
        return {};
    switch (c.Bind) {
    case TBind::Int64:
        if (FFields[size_t(field)].Type == adBoolean)
            return AsInteger(field) != 0;
        return AsInteger(field);
    case TBind::Double: return AsFloat(field);
    case TBind::TimeStamp: {
        const TDBTimeStamp t = AsTimeStamp(field);
        const QDate date(t.Year, t.Month, t.Day);
        if (FFields[size_t(field)].Type == adDBDate)
            return date;
        return QDateTime(date, QTime(t.Hour, t.Minute, t.Second, t.Nanosecond / 1000000));
    }
    case TBind::TimeText: {
        const TDBTimeStamp t = AsTimeStamp(field);
        return QTime(t.Hour, t.Minute, t.Second, t.Nanosecond / 1000000);
    }
    case TBind::Binary:
    case TBind::LongBinary: return AsBytes(field).toByteArray();
    default: return AsString(field).toString();
    }
}

bool TOdbcRecordset::NextRecordset(qint64& recordsAffected)
{
    recordsAffected = -1;
    if (FClosed)
        return false;
    CheckUsable();
    SQLHSTMT h = FStatement->Handle;
    FConnection->ClearErrors();
    if (FEnded) {
        Close();
        return false;
    }
    SQLFreeStmt(h, SQL_UNBIND);
    const SQLRETURN rc = SQLMoreResults(h);
    CollectDiagnostics(SQL_HANDLE_STMT, h, FConnection->MutableErrors(), FConnection->DriverRanks());
    if (rc == SQL_NO_DATA) {
        FStatement->Active = false;
        FFields.clear();
        FColumns.clear();
        FEnded = true;
        // Messages that came after the last result still reach the caller,
        // on a closed result of their own.
        if (!FConnection->Errors().isEmpty())
            return true;
        FClosed = true;
        return false;
    }
    if (!Succeeded(rc)) {
        FStatement->Active = false;
        // A statement that never had a result cannot move on: that is the end.
        const QList<TDBMessage>& errors = FConnection->Errors();
        if (!errors.isEmpty() && errors.first().SQLState == QLatin1String("HY010")) {
            FConnection->ClearErrors();
            FFields.clear();
            FColumns.clear();
            FEnded = FClosed = true;
            return false;
        }
        FFields.clear();
        FColumns.clear();
        FEnded = FClosed = true;
        SQLFreeStmt(h, SQL_CLOSE);
        throw ErrorFromMessages(errors, QStringLiteral("The command failed."));
    }
    recordsAffected = DescribeResult();
    return true;
}

void TOdbcRecordset::Close()
{
    FFields.clear();
    FColumns.clear();
    FEnded = FClosed = true;
    if (FStatement->Execution == FExecution && FStatement->Handle != SQL_NULL_HSTMT) {
        FStatement->Active = false;
        SQLFreeStmt(FStatement->Handle, SQL_CLOSE);
    }
}
