// The ODBC implementation of the server-access interface (untDBAccess.h):
// driver discovery, the connection string built from the connection record,
// diagnostics, the connection and the command. The recordset is in
// untOdbcRecordset.h.
#pragma once

#include "untDBAccess.h"

#ifdef _WIN32
#include <windows.h>  // the system ODBC headers need it first
#endif
#include <sql.h>
#include <sqlext.h>

#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// SQL Server's own column types, as the drivers report them.
constexpr SQLSMALLINT SQL_SS_VARIANT_TYPE = -150;
constexpr SQLSMALLINT SQL_SS_UDT_TYPE = -151;
constexpr SQLSMALLINT SQL_SS_XML_TYPE = -152;
constexpr SQLSMALLINT SQL_SS_TABLE_TYPE = -153;
constexpr SQLSMALLINT SQL_SS_TIME2_TYPE = -154;
constexpr SQLSMALLINT SQL_SS_TIMESTAMPOFFSET_TYPE = -155;
// SQL Server's diagnostic field for the batch line of a message.
constexpr SQLSMALLINT SQL_DIAG_SS_LINE_FIELD = -1154;

// The installed ODBC drivers for SQL Server, best first: Microsoft's ODBC
// Driver 18, then 17, then FreeTDS.
extern const char* const OdbcDriverPreference[3];

// Chooses the driver among the installed ones. An override set with
// SetOdbcDriverOverride wins (tests use it to pin the FreeTDS driver).
// Throws EDBError when none of the preferred drivers is installed.
QString FindSqlServerDriver();
QStringList InstalledOdbcDrivers();
void SetOdbcDriverOverride(const QString& driverName);

// A server name as DBAs type it, taken apart: host, host\instance,
// host,port, tcp:host,port, (local) and '.'.
struct TServerAddress {
    QString Host;      // "(local)" and "." become "localhost"
    QString Instance;  // empty for the default instance
    int Port = 0;      // 0: not given
    bool TcpPrefix = false;
};
TServerAddress ParseServerName(const QString& name);

// How a driver reads a value in braces. ODBC's rule doubles a '}' inside;
// FreeTDS before 1.4 ends the value at the first "};" and takes every other
// character as it stands, so a value holding "};" cannot reach it.
enum class TBraceRule { Doubled, FirstCloseSemicolon };

// Quotes one attribute value: in braces when it holds a character that would
// end or confuse the attribute. Throws EDBError for a value that the rule
// cannot carry.
QString QuoteOdbcValue(const QString& value, TBraceRule rule = TBraceRule::Doubled);

// The connection string for the driver, built from the record. Every value
// is quoted; the password never passes through any other text format.
QString BuildOdbcConnectionString(const QString& driver, const TDBConnectionData& data,
                                  TBraceRule rule = TBraceRule::Doubled);
// The rule of the installed driver (asked once, without a server, and only
// for FreeTDS).
TBraceRule BraceRuleOf(const QString& driver);
bool IsFreeTdsDriver(const QString& driver);

// The driver's text without its "[vendor][driver][SQL Server]" prefixes.
QString StripDriverPrefixes(const QString& text);

// Appends the diagnostic records of a handle to the list. driverRanks: the
// driver hands records out by rank rather than in the server's order (see
// RestoreServerOrder).
void CollectDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, QList<TDBMessage>& out, bool driverRanks = false);

// ODBC hands errors out ahead of informational messages, and FreeTDS gets
// there by swapping records (higher severity first), which scrambles the
// messages of one call. When the records from `from` on are of mixed ranks
// and all carry their batch line, they are put back in line order (stable).
// Records of one rank are left as they came: the driver did not move them.
void RestoreServerOrder(QList<TDBMessage>& messages, qsizetype from);

// The error that a failed call raises: the first server error of the list,
// else its first error, else the fallback text.
EDBError ErrorFromMessages(const QList<TDBMessage>& messages, const QString& fallback);

// The login time-out a connection uses when `seconds` are asked for (0: no
// limit): the same, unless the environment variable ORVEXA_TEST_LOGIN_TIMEOUT
// holds a smaller positive number of seconds. Tests set it so that waiting
// for a server that never answers takes them seconds, not half a minute.
int EffectiveLoginTimeout(int seconds);

// The error of a failed connect. A reason the server gave (a refused login,
// an unknown database) stands as the server wrote it; a login time-out and a
// failure of the driver alone (nothing listening, a name that does not
// resolve) become texts that name the instance.
EDBError ConnectError(const QList<TDBMessage>& messages, const QString& instance, int loginTimeout);

// One statement handle, shared between a command and the recordsets it
// returned, so that either side notices when the other (or a reconnect) has
// moved on.
struct TOdbcStatement {
    SQLHSTMT Handle = SQL_NULL_HSTMT;
    quint64 Execution = 0;  // bumped by every Execute and when the handle goes
    // A request is under way: from SQLExecDirect until its results are read
    // to the end or discarded. Only then may another thread cancel it, and
    // only once per execution (see TOdbcCommand::CancelStatement).
    std::atomic<bool> Active{false};
    std::atomic<bool> CancelSent{false};
};

class TOdbcCommand;

class TOdbcConnection final : public TDBConnection {
public:
    TOdbcConnection();
    ~TOdbcConnection() override;

    void SetConnectionTimeout(int seconds) override { FConnectionTimeout = seconds; }
    int ConnectionTimeout() const override { return FConnectionTimeout; }

    void Open(const TDBConnectionData& data) override;
    void Close() override;
    int State() const override { return FOpen ? adStateOpen : adStateClosed; }

    void BeginTrans() override;
    void CommitTrans() override;
    void RollbackTrans() override;
    bool InTransaction() const override { return FInTransaction; }

    const QList<TDBMessage>& Errors() const override { return FErrors; }
    std::unique_ptr<TDBCommand> CreateCommand() override;
    void Cancel() override;
    QString DriverName() const override { return FDriver; }

    // For commands and recordsets of this connection.
    SQLHDBC Handle() const { return FDbc; }
    QList<TDBMessage>& MutableErrors() { return FErrors; }
    void ClearErrors() { FErrors.clear(); }
    // The driver in use hands messages out by rank (FreeTDS).
    bool DriverRanks() const { return FDriverRanks; }
    void Register(TOdbcCommand* command);
    void Unregister(TOdbcCommand* command);
    // Discards pending results of every command (before ending a transaction).
    void CloseCursors();
    // Held while statement handles are made or freed and while the command
    // list changes, so that Cancel() on another thread never meets a freed one.
    std::mutex& HandleLock() { return FHandleLock; }

private:
    void EndTransaction(SQLSMALLINT completion);

    SQLHDBC FDbc = SQL_NULL_HDBC;
    bool FOpen = false;
    bool FInTransaction = false;
    bool FDriverRanks = false;
    int FConnectionTimeout = 15;
    QString FDriver;
    QList<TDBMessage> FErrors;
    std::vector<TOdbcCommand*> FCommands;
    std::mutex FHandleLock;
};

class TOdbcCommand final : public TDBCommand {
public:
    explicit TOdbcCommand(TOdbcConnection* connection);
    ~TOdbcCommand() override;

    void SetCommandText(const QString& text) override { FText = text; }
    QString CommandText() const override { return FText; }
    void SetCommandTimeout(int seconds) override { FTimeout = seconds; }
    int CommandTimeout() const override { return FTimeout; }

    std::unique_ptr<TDBRecordset> Execute(qint64& recordsAffected) override;

    // Called by the connection before it ends its session.
    void ReleaseHandle();
    // Discards the pending results of the current execution, if any.
    void CloseCursor();
    // SQLCancel on the statement while a request is under way, once per
    // execution (HandleLock held).
    void CancelStatement();

private:
    TOdbcConnection* FConnection;
    std::shared_ptr<TOdbcStatement> FStatement;
    QString FText;
    int FTimeout = 0;
};
