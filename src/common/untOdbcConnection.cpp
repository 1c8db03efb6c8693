#include "untOdbcConnection.h"
#include "untOdbcRecordset.h"

#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

#include <algorithm>
#include <mutex>

const char* const OdbcDriverPreference[3] = {
    "ODBC Driver 18 for SQL Server",
    "ODBC Driver 17 for SQL Server",
    "FreeTDS",
};

namespace {

// SQLWCHAR is two bytes with unixODBC and on Windows, like QChar.
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC wide characters must be UTF-16");

const SQLWCHAR* W(const QString& s)
{
    return reinterpret_cast<const SQLWCHAR*>(s.utf16());
}

SQLWCHAR* WMutable(QString& s)
{
    return reinterpret_cast<SQLWCHAR*>(s.data());
}

bool Succeeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// The one ODBC environment of the process, made on first use.
SQLHENV Environment()
{
    static SQLHENV env = SQL_NULL_HENV;
    static std::once_flag once;
    std::call_once(once, [] {
        SQLHENV h = SQL_NULL_HENV;
        if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h)))
            return;
        SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        env = h;
    });
    if (env == SQL_NULL_HENV)
        throw EDBError(QStringLiteral("The ODBC driver manager could not be initialised."));
    return env;
}

QMutex DriverMutex;
QString DriverOverride;

} // namespace

QStringList InstalledOdbcDrivers()
{
    SQLHENV env = Environment();
    QStringList names;
    QString description(512, QChar(0));
    QString attributes(4096, QChar(0));
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
        SQLSMALLINT descLen = 0, attrLen = 0;
        const SQLRETURN rc = SQLDriversW(env, direction, WMutable(description), SQLSMALLINT(description.size()),
                                         &descLen, WMutable(attributes), SQLSMALLINT(attributes.size()), &attrLen);
        if (!Succeeded(rc))
            break;
        names << QString(description.constData(), qMin<qsizetype>(descLen, description.size() - 1));
        direction = SQL_FETCH_NEXT;
    }
    return names;
}

void SetOdbcDriverOverride(const QString& driverName)
{
    QMutexLocker lock(&DriverMutex);
    DriverOverride = driverName;
}

QString FindSqlServerDriver()
{
    {
        QMutexLocker lock(&DriverMutex);
        if (!DriverOverride.isEmpty())
            return DriverOverride;
    }
    const QStringList installed = InstalledOdbcDrivers();
    for (const char* wanted : OdbcDriverPreference) {
        const QString name = QString::fromLatin1(wanted);
        for (const QString& have : installed)
            if (have.compare(name, Qt::CaseInsensitive) == 0)
                return have;
    }
    throw EDBError(QStringLiteral("No ODBC driver for SQL Server is installed (looked for %1, %2 and %3).")
                       .arg(QString::fromLatin1(OdbcDriverPreference[0]),
                            QString::fromLatin1(OdbcDriverPreference[1]),
                            QString::fromLatin1(OdbcDriverPreference[2])));
}

bool IsFreeTdsDriver(const QString& driver)
{
    return driver.contains(QLatin1String("FreeTDS"), Qt::CaseInsensitive)
        || driver.contains(QLatin1String("libtdsodbc"), Qt::CaseInsensitive);
}

TServerAddress ParseServerName(const QString& name)
{
    TServerAddress out;
    QString rest = name.trimmed();
    if (rest.startsWith(QLatin1String("tcp:"), Qt::CaseInsensitive)) {
        out.TcpPrefix = true;
        rest = rest.mid(4).trimmed();
    }
    const qsizetype comma = rest.lastIndexOf(QLatin1Char(','));
    if (comma >= 0) {
        bool ok = false;
        const int port = rest.mid(comma + 1).trimmed().toInt(&ok);
        if (ok && port > 0 && port < 65536)
            out.Port = port;
        rest = rest.left(comma).trimmed();
    }
    const qsizetype slash = rest.indexOf(QLatin1Char('\\'));
    if (slash >= 0) {
        out.Instance = rest.mid(slash + 1).trimmed();
        rest = rest.left(slash).trimmed();
    }
    if (rest.isEmpty() || rest == QLatin1String(".") || rest.compare(QLatin1String("(local)"), Qt::CaseInsensitive) == 0)
        rest = QStringLiteral("localhost");
    out.Host = rest;
    return out;
}

QString QuoteOdbcValue(const QString& value, TBraceRule rule)
{
    static const QString special = QStringLiteral("[]{}(),;?*=!@'\" \t");
    bool needs = value.isEmpty();
    for (QChar c : value)
        if (special.contains(c) || c.unicode() < 32) {
            needs = true;
            break;
        }
    if (!needs)
        return value;
    if (rule == TBraceRule::FirstCloseSemicolon) {
        if (value.contains(QLatin1String("};")))
            throw EDBError(QStringLiteral("The installed FreeTDS driver cannot take a login, password or database "
                                          "name that holds \"};\"."));
        return QLatin1Char('{') + value + QLatin1Char('}');
    }
    QString quoted = value;
    quoted.replace(QLatin1Char('}'), QLatin1String("}}"));
    return QLatin1Char('{') + quoted + QLatin1Char('}');
}

TBraceRule BraceRuleOf(const QString& driver)
{
    if (!IsFreeTdsDriver(driver))
        return TBraceRule::Doubled;
    static QMutex mutex;
    static QMap<QString, TBraceRule> known;
    QMutexLocker lock(&mutex);
    if (known.contains(driver))
        return known.value(driver);
    // A brace followed by a letter is a syntax error to a driver that doubles
    // braces, and plain text to one that does not. The server named is port 1
    // of this machine, where nothing listens.
    TBraceRule rule = TBraceRule::Doubled;
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, Environment(), &dbc))) {
        const QString probe = QStringLiteral("Driver={") + driver + QStringLiteral("};Server=127.0.0.1;Port=1;UID={a}b};PWD=x;");
        SQLSMALLINT outLength = 0;
        const SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, const_cast<SQLWCHAR*>(W(probe)), SQLSMALLINT(probe.size()),
                                               nullptr, 0, &outLength, SQL_DRIVER_NOPROMPT);
        QList<TDBMessage> messages;
        CollectDiagnostics(SQL_HANDLE_DBC, dbc, messages);
        if (Succeeded(rc))
            SQLDisconnect(dbc);
        bool syntax = false;
        for (const TDBMessage& m : messages)
            syntax = syntax || m.Description.contains(QLatin1String("Syntax error"), Qt::CaseInsensitive);
        rule = syntax ? TBraceRule::Doubled : TBraceRule::FirstCloseSemicolon;
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    known.insert(driver, rule);
    return rule;
}

QString BuildOdbcConnectionString(const QString& driver, const TDBConnectionData& data, TBraceRule rule)
{
    const bool freeTds = IsFreeTdsDriver(driver);
    const TServerAddress address = ParseServerName(data.InstanceName);

    QStringList items;
    items << QStringLiteral("Driver=") + QLatin1Char('{') + QString(driver).replace(QLatin1Char('}'), QLatin1String("}}"))
                 + QLatin1Char('}');
    if (freeTds) {
        // FreeTDS takes host and port apart and has no tcp: prefix; with no
        // port it asks the server's browser for a named instance.
        QString server = address.Host;
        if (!address.Instance.isEmpty() && address.Port == 0)
            server += QLatin1Char('\\') + address.Instance;
        items << QStringLiteral("Server=") + QuoteOdbcValue(server, rule);
        if (address.Port > 0)
            items << QStringLiteral("Port=") + QString::number(address.Port);
        // Encrypt when the server offers it; the stored data has no setting
        // for a verified certificate, so none is demanded.
        items << QStringLiteral("Encryption=request");
        items << QStringLiteral("ClientCharset=UTF-8");
        // Left to choose, FreeTDS tries TDS 7.4 and then Sybase's TDS 5.0;
        // after a login time-out on the second try it waits for the server's
        // answer to its logout without any limit, so a server that accepts
        // the connection and never answers would hold the caller for ever.
        // SQL Server answers a 7.4 login with the version it speaks itself.
        items << QStringLiteral("TDS_Version=7.4");
    } else {
        QString server = address.TcpPrefix ? QStringLiteral("tcp:") : QString();
        server += address.Host;
        if (!address.Instance.isEmpty())
            server += QLatin1Char('\\') + address.Instance;
        if (address.Port > 0)
            server += QLatin1Char(',') + QString::number(address.Port);
        items << QStringLiteral("Server=") + QuoteOdbcValue(server, rule);
        items << QStringLiteral("Encrypt=yes") << QStringLiteral("TrustServerCertificate=yes");
    }
    if (data.NT) {
        // Windows authentication: the driver's trusted connection (Kerberos
        // outside Windows).
        items << QStringLiteral("Trusted_Connection=yes");
    } else {
        items << QStringLiteral("UID=") + QuoteOdbcValue(data.UserName, rule);
        items << QStringLiteral("PWD=") + QuoteOdbcValue(data.UserPWD, rule);
    }
    if (!data.DatabaseName.isEmpty())
        items << QStringLiteral("Database=") + QuoteOdbcValue(data.DatabaseName, rule);
    items << QStringLiteral("APP=Orvexa");
    // Every item ends with ';': some drivers only end a braced value there.
    return items.join(QLatin1Char(';')) + QLatin1Char(';');
}

QString StripDriverPrefixes(const QString& text)
{
    qsizetype at = 0;
    while (at < text.size() && text.at(at) == QLatin1Char('[')) {
        const qsizetype close = text.indexOf(QLatin1Char(']'), at);
        if (close < 0)
            break;
        at = close + 1;
    }
    return text.mid(at).trimmed();
}

void CollectDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, QList<TDBMessage>& out, bool driverRanks)
{
    if (handle == SQL_NULL_HANDLE)
        return;
    const qsizetype first = out.size();
    QString buffer(1024, QChar(0));
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(handleType, handle, record, state, &native, WMutable(buffer),
                                      SQLSMALLINT(buffer.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= buffer.size()) {
            buffer = QString(length + 1, QChar(0));
            rc = SQLGetDiagRecW(handleType, handle, record, state, &native, WMutable(buffer),
                                SQLSMALLINT(buffer.size()), &length);
        }
        if (!Succeeded(rc))
            break;
        TDBMessage message;
        message.SQLState = QString::fromUtf16(reinterpret_cast<const char16_t*>(state), 5);
        message.NativeError = int(native);
        message.Description = StripDriverPrefixes(QString(buffer.constData(), qMin<qsizetype>(length, buffer.size() - 1)));
        message.IsError = !message.SQLState.startsWith(QLatin1String("01"));
        SQLUSMALLINT line = 0;
        if (Succeeded(SQLGetDiagFieldW(handleType, handle, record, SQL_DIAG_SS_LINE_FIELD, &line, sizeof line, nullptr)))
            message.Line = int(line);
        out << message;
    }
    if (driverRanks)
        RestoreServerOrder(out, first);
}

void RestoreServerOrder(QList<TDBMessage>& messages, qsizetype from)
{
    if (messages.size() - from < 2)
        return;
    // The rank the driver sorted by is the severity, which the driver manager
    // does not pass on; its classes show in the records: errors, numbered
    // messages (severity 1 to 10), and PRINT (severity 0).
    auto rank = [](const TDBMessage& m) { return m.IsError ? 2 : m.NativeError != 0 ? 1 : 0; };
    bool mixed = false;
    for (qsizetype i = from; i < messages.size(); ++i) {
        if (messages[i].Line <= 0)
            return;
        mixed = mixed || rank(messages[i]) != rank(messages[from]);
    }
    if (!mixed)
        return;
    std::stable_sort(messages.begin() + from, messages.end(),
                     [](const TDBMessage& a, const TDBMessage& b) { return a.Line < b.Line; });
}

EDBError ErrorFromMessages(const QList<TDBMessage>& messages, const QString& fallback)
{
    // A server error names the problem best; the driver's texts that follow
    // it ("Unable to connect to data source") only restate it, and so does
    // "Login failed" (18456) after the reason the login failed for.
    const TDBMessage* first = nullptr;
    const TDBMessage* loginFailed = nullptr;
    for (const TDBMessage& m : messages) {
        if (!m.IsError)
            continue;
        if (m.NativeError == 18456) {
            if (!loginFailed)
                loginFailed = &m;
            continue;
        }
        if (m.NativeError > 0 && m.NativeError < 20000)
            return EDBError(m.Description, m.SQLState, m.NativeError);
        if (!first)
            first = &m;
    }
    if (loginFailed)
        return EDBError(loginFailed->Description, loginFailed->SQLState, loginFailed->NativeError);
    if (first)
        return EDBError(first->Description, first->SQLState, first->NativeError);
    return EDBError(fallback);
}

int EffectiveLoginTimeout(int seconds)
{
    seconds = qMax(seconds, 0);
    bool ok = false;
    const int limit = qEnvironmentVariableIntValue("ORVEXA_TEST_LOGIN_TIMEOUT", &ok);
    if (ok && limit > 0 && (seconds == 0 || limit < seconds))
        return limit;
    return seconds;
}

EDBError ConnectError(const QList<TDBMessage>& messages, const QString& instance, int loginTimeout)
{
    bool fromServer = false;
    bool timedOut = false;
    for (const TDBMessage& m : messages) {
        if (!m.IsError)
            continue;
        if (m.SQLState == QLatin1String("HYT00"))
            timedOut = true;
        else if (m.NativeError > 0 && m.NativeError < 20000)
            fromServer = true;
    }
    // The driver's own texts ("Timeout expired", "Unable to connect") do not
    // say which server they are about; a run over many instances must.
    if (timedOut && !fromServer)
        return EDBError(QStringLiteral("Login timeout expired: %1 did not answer within %2.")
                            .arg(instance, loginTimeout == 1 ? QStringLiteral("1 second")
                                                             : QStringLiteral("%1 seconds").arg(loginTimeout)),
                        QStringLiteral("HYT00"));
    const EDBError error = ErrorFromMessages(messages, QStringLiteral("Cannot connect to %1.").arg(instance));
    if (fromServer || messages.isEmpty())
        return error;
    return EDBError(QStringLiteral("Cannot connect to %1: %2").arg(instance, error.Message()), error.SQLState(),
                    error.NativeError());
}

// ---------------------------------------------------------------------------

TOdbcConnection::TOdbcConnection() = default;

TOdbcConnection::~TOdbcConnection()
{
    Close();
    for (TOdbcCommand* command : FCommands)
        command->ReleaseHandle();
    if (FDbc != SQL_NULL_HDBC)
        SQLFreeHandle(SQL_HANDLE_DBC, FDbc);
}

void TOdbcConnection::Register(TOdbcCommand* command)
{
    const std::lock_guard lock(FHandleLock);
    FCommands.push_back(command);
}

void TOdbcConnection::Unregister(TOdbcCommand* command)
{
    const std::lock_guard lock(FHandleLock);
    FCommands.erase(std::remove(FCommands.begin(), FCommands.end(), command), FCommands.end());
}

void TOdbcConnection::Cancel()
{
    // ODBC lets SQLCancel run on another thread while the statement runs;
    // the lock only keeps the handle from being freed meanwhile.
    const std::lock_guard lock(FHandleLock);
    for (TOdbcCommand* command : FCommands)
        command->CancelStatement();
}

void TOdbcConnection::CloseCursors()
{
    for (TOdbcCommand* command : FCommands)
        command->CloseCursor();
}

void TOdbcConnection::Open(const TDBConnectionData& data)
{
    Close();
    ClearErrors();
    FDriver = FindSqlServerDriver();
    FDriverRanks = IsFreeTdsDriver(FDriver);
    if (FDbc == SQL_NULL_HDBC) {
        if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, Environment(), &FDbc))) {
            FDbc = SQL_NULL_HDBC;
            throw EDBError(QStringLiteral("The ODBC driver manager could not make a connection handle."));
        }
    }
    const int loginTimeout = EffectiveLoginTimeout(FConnectionTimeout);
    SQLSetConnectAttr(FDbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(loginTimeout)), 0);
    SQLSetConnectAttr(FDbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);

    const bool hasBrace = (data.InstanceName + data.UserName + data.UserPWD + data.DatabaseName).contains(QLatin1Char('}'));
    const QString connectionString =
        BuildOdbcConnectionString(FDriver, data, hasBrace ? BraceRuleOf(FDriver) : TBraceRule::Doubled);
    QString out(1024, QChar(0));
    SQLSMALLINT outLength = 0;
    const SQLRETURN rc = SQLDriverConnectW(FDbc, nullptr, const_cast<SQLWCHAR*>(W(connectionString)),
                                           SQLSMALLINT(connectionString.size()), WMutable(out), SQLSMALLINT(out.size()),
                                           &outLength, SQL_DRIVER_NOPROMPT);
    CollectDiagnostics(SQL_HANDLE_DBC, FDbc, FErrors, FDriverRanks);
    if (!Succeeded(rc)) {
        // A failed connect leaves the handle in a state that some drivers do
        // not reuse well; start afresh next time.
        SQLFreeHandle(SQL_HANDLE_DBC, FDbc);
        FDbc = SQL_NULL_HDBC;
        throw ConnectError(FErrors, data.InstanceName, loginTimeout);
    }
    FOpen = true;
    FInTransaction = false;
}

void TOdbcConnection::Close()
{
    if (!FOpen)
        return;
    for (TOdbcCommand* command : FCommands)
        command->ReleaseHandle();
    if (FInTransaction)
        SQLEndTran(SQL_HANDLE_DBC, FDbc, SQL_ROLLBACK);
    SQLDisconnect(FDbc);
    FOpen = false;
    FInTransaction = false;
}

void TOdbcConnection::BeginTrans()
{
    ClearErrors();
    if (!FOpen)
        throw EDBError(QStringLiteral("Operation is not allowed when the object is closed."));
    if (FInTransaction)
        throw EDBError(QStringLiteral("A transaction is already active on this connection."));
    const SQLRETURN rc =
        SQLSetConnectAttr(FDbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    CollectDiagnostics(SQL_HANDLE_DBC, FDbc, FErrors, FDriverRanks);
    if (!Succeeded(rc))
        throw ErrorFromMessages(FErrors, QStringLiteral("Cannot begin a transaction."));
    FInTransaction = true;
}

void TOdbcConnection::EndTransaction(SQLSMALLINT completion)
{
    ClearErrors();
    if (!FOpen || !FInTransaction)
        throw EDBError(QStringLiteral("No transaction is active."));
    CloseCursors();
    FInTransaction = false;
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, FDbc, completion);
    CollectDiagnostics(SQL_HANDLE_DBC, FDbc, FErrors, FDriverRanks);
    // Back to committing each statement as it runs, whatever the outcome.
    const SQLRETURN back =
        SQLSetConnectAttr(FDbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    if (!Succeeded(back))
        CollectDiagnostics(SQL_HANDLE_DBC, FDbc, FErrors, FDriverRanks);
    if (!Succeeded(rc))
        throw ErrorFromMessages(FErrors, completion == SQL_COMMIT ? QStringLiteral("Cannot commit the transaction.")
                                                                   : QStringLiteral("Cannot roll the transaction back."));
    if (!Succeeded(back))
        throw ErrorFromMessages(FErrors, QStringLiteral("Cannot return to autocommit mode."));
}

void TOdbcConnection::CommitTrans()
{
    EndTransaction(SQL_COMMIT);
}

void TOdbcConnection::RollbackTrans()
{
    EndTransaction(SQL_ROLLBACK);
}

std::unique_ptr<TDBCommand> TOdbcConnection::CreateCommand()
{
    return std::make_unique<TOdbcCommand>(this);
}

// ---------------------------------------------------------------------------

TOdbcCommand::TOdbcCommand(TOdbcConnection* connection)
    : FConnection(connection), FStatement(std::make_shared<TOdbcStatement>())
{
    FConnection->Register(this);
}

TOdbcCommand::~TOdbcCommand()
{
    ReleaseHandle();
    FConnection->Unregister(this);
}

void TOdbcCommand::ReleaseHandle()
{
    FStatement->Active = false;
    if (FStatement->Handle != SQL_NULL_HSTMT) {
        SQLFreeStmt(FStatement->Handle, SQL_CLOSE);
        const std::lock_guard lock(FConnection->HandleLock());
        SQLFreeHandle(SQL_HANDLE_STMT, FStatement->Handle);
        FStatement->Handle = SQL_NULL_HSTMT;
    }
    ++FStatement->Execution;
}

void TOdbcCommand::CancelStatement()
{
    // FreeTDS's SQLCancel on a statement without a request under way unlocks
    // the statement's mutex without having locked it, which breaks the lock
    // of a thread that is just entering or leaving a call on it; a second
    // cancel could then use the connection alongside that thread. So a
    // statement is only cancelled while its request runs, and only once: a
    // batch that ends meanwhile is stopped by the run's own stop flag.
    if (FStatement->Handle != SQL_NULL_HSTMT && FStatement->Active && !FStatement->CancelSent.exchange(true))
        SQLCancel(FStatement->Handle);
}

void TOdbcCommand::CloseCursor()
{
    FStatement->Active = false;
    if (FStatement->Handle != SQL_NULL_HSTMT)
        SQLFreeStmt(FStatement->Handle, SQL_CLOSE);
}

std::unique_ptr<TDBRecordset> TOdbcCommand::Execute(qint64& recordsAffected)
{
    recordsAffected = -1;
    FConnection->ClearErrors();
    if (FConnection->State() != adStateOpen)
        throw EDBError(QStringLiteral("Operation is not allowed when the object is closed."));

    TOdbcStatement& st = *FStatement;
    ++st.Execution;  // a recordset of an earlier execution is finished
    if (st.Handle == SQL_NULL_HSTMT) {
        SQLHSTMT handle = SQL_NULL_HSTMT;
        const SQLRETURN made = SQLAllocHandle(SQL_HANDLE_STMT, FConnection->Handle(), &handle);
        {
            const std::lock_guard lock(FConnection->HandleLock());
            st.Handle = Succeeded(made) ? handle : SQL_NULL_HSTMT;
        }
        if (!Succeeded(made)) {
            CollectDiagnostics(SQL_HANDLE_DBC, FConnection->Handle(), FConnection->MutableErrors());
            st.Handle = SQL_NULL_HSTMT;
            throw ErrorFromMessages(FConnection->Errors(), QStringLiteral("Cannot make a statement handle."));
        }
    } else {
        SQLFreeStmt(st.Handle, SQL_CLOSE);
        SQLFreeStmt(st.Handle, SQL_UNBIND);
        // The fetch pointers of an earlier recordset may point into an object
        // that is gone; the new recordset sets its own when it fetches.
        SQLSetStmtAttr(st.Handle, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
        SQLSetStmtAttr(st.Handle, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        SQLSetStmtAttr(st.Handle, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(1)), 0);
    }
    SQLSetStmtAttr(st.Handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(qMax(FTimeout, 0))), 0);

    st.CancelSent = false;
    st.Active = true;
    const SQLRETURN rc = SQLExecDirectW(st.Handle, const_cast<SQLWCHAR*>(W(FText)), SQLINTEGER(FText.size()));
    if (rc != SQL_NO_DATA)
        CollectDiagnostics(SQL_HANDLE_STMT, st.Handle, FConnection->MutableErrors(), FConnection->DriverRanks());
    if (rc == SQL_NO_DATA) {
        // A batch without a result, or a searched change that met no rows.
        CollectDiagnostics(SQL_HANDLE_STMT, st.Handle, FConnection->MutableErrors(), FConnection->DriverRanks());
        auto rs = std::make_unique<TOdbcRecordset>(FConnection, FStatement, false);
        recordsAffected = rs->DescribeResult();
        return rs;
    }
    if (!Succeeded(rc)) {
        st.Active = false;
        SQLFreeStmt(st.Handle, SQL_CLOSE);
        throw ErrorFromMessages(FConnection->Errors(), QStringLiteral("The command failed."));
    }
    auto rs = std::make_unique<TOdbcRecordset>(FConnection, FStatement, false);
    recordsAffected = rs->DescribeResult();
    return rs;
}
