// Access to SQL Server: a connection, a command bound to it, and the recordsets
// a command yields, shaped like the ADO operations the run and the server
// catalogue use. The implementation behind it is ODBC (untOdbc*), with the
// driver found among the installed ones at run time.
//
// Threads: one connection, its commands and recordsets belong to the thread
// that uses them; nothing here is shared between threads. Two connections may
// be used on two threads at once.
//
// Example, the server catalogue:
//   auto conn = CreateDBConnection();
//   conn->Open(TDBConnectionData::From(instance));
//   auto cmd = conn->CreateCommand();
//   cmd->SetCommandText(QStringLiteral("exec sp_MShasdbaccess"));
//   qint64 affected = -1;
//   auto rs = cmd->Execute(affected);
//   // skip closed results (row counts, messages) until the one with rows
//   while (rs && rs->State() != adStateOpen && rs->NextRecordset(affected)) {}
//   const int col = rs ? rs->FieldIndex(QStringLiteral("dbname")) : -1;
//   for (; rs && col >= 0 && !rs->Eof(); rs->MoveNext())
//       names << rs->AsString(col).toString();
//
// Failures: every failing call throws EDBError, whose message is the server's
// or the driver's text as a DBA knows it (for example "Invalid object name
// 'dbo.Missing'."), without the driver's "[vendor][driver]" prefixes.
#pragma once

#include "untCommon.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>
#include <QVariant>

#include <cstdint>
#include <memory>

// Column types, reported in ADO's data type codes so that the run's type
// mapping reads like its table.
enum TDataType : int {
    adEmpty = 0,
    adSmallInt = 2,
    adInteger = 3,
    adSingle = 4,
    adDouble = 5,
    adCurrency = 6,
    adDate = 7,
    adBSTR = 8,
    adIDispatch = 9,
    adError = 10,
    adBoolean = 11,
    adVariant = 12,
    adIUnknown = 13,
    adDecimal = 14,
    adTinyInt = 16,
    adUnsignedTinyInt = 17,
    adUnsignedSmallInt = 18,
    adUnsignedInt = 19,
    adBigInt = 20,
    adUnsignedBigInt = 21,
    adFileTime = 64,
    adGUID = 72,
    adBinary = 128,
    adChar = 129,
    adWChar = 130,
    adNumeric = 131,
    adUserDefined = 132,
    adDBDate = 133,
    adDBTime = 134,
    adDBTimeStamp = 135,
    adChapter = 136,
    adDBFileTime = 137,
    adPropVariant = 138,
    adVarNumeric = 139,
    adVarChar = 200,
    adLongVarChar = 201,
    adVarWChar = 202,
    adLongVarWChar = 203,
    adVarBinary = 204,
    adLongVarBinary = 205,
};

// Field attribute bits, ADO's values.
enum TFieldAttribute : int {
    adFldFixed = 0x10,       // fixed-length type
    adFldIsNullable = 0x20,  // the column accepts nulls
    adFldMayBeNull = 0x40,   // values may be null
    adFldLong = 0x80,        // long value (max types, text, ntext, image, xml)
};

// Object state, ADO's values.
enum TObjectState : int { adStateClosed = 0, adStateOpen = 1 };

// A failure reported by the server or the driver. Message() is the text of the
// first error record (a server error where there is one).
class EDBError : public EOrvexaError {
public:
    EDBError(QString message, QString sqlState = {}, int nativeError = 0);
    const QString& SQLState() const noexcept { return FSQLState; }
    int NativeError() const noexcept { return FNativeError; }

private:
    QString FSQLState;
    int FNativeError;
};

// One provider message: an informational text (PRINT, RAISERROR below
// severity 11, a warning) or an error, in the order the server sent them.
struct TDBMessage {
    QString Description;  // the text as the server wrote it
    QString SQLState;     // five characters; "01..." for informational messages
    int NativeError = 0;  // the server's message number (0 for PRINT and driver texts)
    int Line = 0;         // line of the batch the server names; 0 when unknown
    bool IsError = false;
};

// A date, a time of day or both, as the server sent it.
struct TDBTimeStamp {
    int Year = 0, Month = 0, Day = 0;
    int Hour = 0, Minute = 0, Second = 0;
    int Nanosecond = 0;  // 0..999,999,999
};

// One column of a recordset, as the driver describes it.
struct TDBField {
    QString Name;            // may be empty for an unnamed expression
    TDataType Type = adEmpty;
    qint64 DefinedSize = 0;  // characters for text, bytes for binary, 0 for long values
    int Precision = 0;       // digits for decimals and integers
    int NumericScale = 0;    // digits after the point
    int Attributes = 0;      // TFieldAttribute bits
    QString TypeName;        // the server's own type name ("int", "nvarchar", ...)
};

// The result sets of one executed command, read forward only. The first
// result set is current when Execute returns it; NextRecordset moves on.
// A recordset is closed (State() == adStateClosed) when its statement returns
// no rows (an INSERT, a SET, a PRINT): it then only carries its row count and
// messages. Rows are fetched from the server in blocks of CacheSize() rows.
//
// Value readers take a field index and read the current row; they require
// State() == adStateOpen and !Eof(). Views they return stay valid until the
// next MoveNext or NextRecordset. Which reader suits a field follows its Type:
//   integers and adBoolean: AsInteger (a truth value reads 1 or 0)
//   adSingle, adDouble: AsFloat
//   adCurrency, adNumeric, adDecimal: AsDecimalText ("-1234.50")
//   adDBTimeStamp, adDBDate, adDBTime: AsTimeStamp
//   text types, adGUID ("{XXXXXXXX-XXXX-...}"), adVariant: AsString
//   binary types: AsBytes
// Value() gives any field as a QVariant, for callers that read little.
// A recordset must not outlive the command that returned it.
class TDBRecordset {
public:
    virtual ~TDBRecordset() = default;

    virtual int State() const = 0;
    virtual void SetCacheSize(int rows) = 0;
    virtual int CacheSize() const = 0;

    virtual int FieldCount() const = 0;
    virtual const TDBField& Field(int index) const = 0;
    // Index of the first field of that name (case-insensitive), or -1.
    virtual int FieldIndex(const QString& name) const = 0;

    virtual bool Eof() const = 0;
    virtual void MoveNext() = 0;

    virtual bool IsNull(int field) const = 0;
    virtual qint64 AsInteger(int field) const = 0;
    virtual double AsFloat(int field) const = 0;
    virtual QByteArrayView AsDecimalText(int field) const = 0;
    virtual TDBTimeStamp AsTimeStamp(int field) const = 0;
    virtual QStringView AsString(int field) const = 0;
    virtual QByteArrayView AsBytes(int field) const = 0;
    virtual QVariant Value(int field) const = 0;

    // Moves to the next result of the command, discarding the rest of this
    // one. Returns false when there is none left (the recordset is then
    // closed); otherwise recordsAffected holds the new result's row count,
    // -1 when it has none (every result set with rows reports -1).
    virtual bool NextRecordset(qint64& recordsAffected) = 0;

    // Discards whatever the server still has to send for this command.
    virtual void Close() = 0;
};

// A command on a connection. It follows its connection through Close and
// Open: after a reopen, it runs on the new session.
class TDBCommand {
public:
    virtual ~TDBCommand() = default;

    virtual void SetCommandText(const QString& text) = 0;
    virtual QString CommandText() const = 0;
    // Seconds; 0 means no limit (the default).
    virtual void SetCommandTimeout(int seconds) = 0;
    virtual int CommandTimeout() const = 0;

    // Runs the command text as one batch. Returns its first result (never
    // null: a batch without any result gives a closed one). recordsAffected
    // is the first result's row count, -1 when it has none. A previous
    // recordset of this command is closed first. Throws EDBError when the
    // server reports an error for the first result.
    virtual std::unique_ptr<TDBRecordset> Execute(qint64& recordsAffected) = 0;
};

// What a connection is opened with: the connection record, never a text that
// has to be parsed. InstanceName is a server name as DBAs type it: host,
// host\instance, host,port, tcp:host,port, (local) or ".".
struct TDBConnectionData {
    QString InstanceName;
    QString UserName;   // SQL Server authentication only
    QString UserPWD;    // SQL Server authentication only
    bool NT = false;    // true: Windows authentication (a trusted connection)
    QString DatabaseName;  // empty: the login's default database

    static TDBConnectionData From(const TInstanceInfo& info, const QString& database = {});
    static TDBConnectionData From(const TInstanceAndDBInfo& info);
};

// A session with one SQL Server instance.
class TDBConnection {
public:
    virtual ~TDBConnection() = default;

    // Seconds to wait for the login; 0 means no limit. Default 15.
    virtual void SetConnectionTimeout(int seconds) = 0;
    virtual int ConnectionTimeout() const = 0;

    // Opens a session; throws EDBError with the provider's text on failure
    // (login refused, unknown database). A server that does not answer within
    // the time-out (one that accepts the connection and stays silent, or
    // whose process is stopped) fails with "Login timeout expired: <instance>
    // did not answer within <n> seconds."; a failure of the driver alone
    // (nothing listening) with "Cannot connect to <instance>: <driver's
    // text>". Opening an open connection closes it first.
    virtual void Open(const TDBConnectionData& data) = 0;
    // Ends the session. Never throws; a closed connection stays closed.
    virtual void Close() = 0;
    virtual int State() const = 0;

    // One transaction at a time on the session. RollbackTrans discards any
    // pending result of the connection's commands first.
    virtual void BeginTrans() = 0;
    virtual void CommitTrans() = 0;
    virtual void RollbackTrans() = 0;
    virtual bool InTransaction() const = 0;

    // The provider messages of the last operation on this connection or on
    // its commands and recordsets (Open, Execute, NextRecordset, fetching a
    // block of rows, the transaction calls), in the server's order. Each such
    // operation starts a new list.
    virtual const QList<TDBMessage>& Errors() const = 0;

    // A command bound to this connection. It must not outlive the connection.
    virtual std::unique_ptr<TDBCommand> CreateCommand() = 0;

    // Asks the server to stop whatever statement of this connection is
    // running: the call that runs it (Execute, NextRecordset, a fetch) then
    // fails with EDBError. Does nothing when no statement is running, and
    // never waits for one. The one call that another thread may make while
    // the owning thread uses the connection.
    virtual void Cancel() = 0;

    // The name of the ODBC driver in use (after Open), e.g. "FreeTDS".
    virtual QString DriverName() const = 0;
};

// A new, closed connection through the best SQL Server driver installed.
std::unique_ptr<TDBConnection> CreateDBConnection();

// Opens a connection to the instance, optionally a database, then closes it.
// Throws EDBError with the provider's text when it cannot connect.
void TestDBConnection(const TInstanceInfo& info, const QString& database = {});
