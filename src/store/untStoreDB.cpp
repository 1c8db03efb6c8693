#include "untStoreDB.h"

#define SQLITE_HAS_CODEC 1
#include <sqlcipher/sqlite3.h>

#include <QByteArray>

namespace {

QString Utf8(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

[[noreturn]] void Raise(sqlite3* db, int rc, const char* text = nullptr)
{
    QString message = Utf8(text);
    if (message.isEmpty())
        message = db ? Utf8(sqlite3_errmsg(db)) : Utf8(sqlite3_errstr(rc));
    throw EStoreError(message, rc & 0xFF);
}

} // namespace

// ---------------------------------------------------------------- TStoreQuery

TStoreQuery::TStoreQuery(TStoreConnection& conn, const QString& sql) : FConn(conn)
{
    if (!conn.IsOpen())
        throw EOrvexaError(QStringLiteral("The local store is not open."));
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(conn.Handle(), text.constData(), int(text.size()), &FStmt, nullptr) != SQLITE_OK)
        conn.RaiseLastError();
}

TStoreQuery::~TStoreQuery()
{
    sqlite3_finalize(FStmt);
}

void TStoreQuery::Bind(int index, qint64 value)
{
    if (sqlite3_bind_int64(FStmt, index, value) != SQLITE_OK)
        FConn.RaiseLastError();
}

void TStoreQuery::Bind(int index, const QString& value)
{
    // An empty QString may be null; bind it as the empty text, never as NULL.
    const QByteArray text = value.toUtf8();
    if (sqlite3_bind_text(FStmt, index, text.isNull() ? "" : text.constData(), int(text.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        FConn.RaiseLastError();
}

void TStoreQuery::BindNull(int index)
{
    if (sqlite3_bind_null(FStmt, index) != SQLITE_OK)
        FConn.RaiseLastError();
}

bool TStoreQuery::Step()
{
    const int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    // Take the message before the reset; reset so that the statement may run again.
    const QString message = Utf8(sqlite3_errmsg(FConn.Handle()));
    sqlite3_reset(FStmt);
    throw EStoreError(message, rc & 0xFF);
}

void TStoreQuery::Reset()
{
    sqlite3_reset(FStmt);
}

void TStoreQuery::Exec()
{
    while (Step()) {
    }
    Reset();
}

int TStoreQuery::ColumnCount() const
{
    return sqlite3_column_count(FStmt);
}

QString TStoreQuery::ColumnName(int col) const
{
    return Utf8(sqlite3_column_name(FStmt, col));
}

int TStoreQuery::ColumnIndex(const QString& name) const
{
    for (int i = 0, n = ColumnCount(); i < n; ++i)
        if (ColumnName(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

bool TStoreQuery::IsNull(int col) const
{
    return sqlite3_column_type(FStmt, col) == SQLITE_NULL;
}

qint64 TStoreQuery::Int(int col) const
{
    return sqlite3_column_int64(FStmt, col);
}

QString TStoreQuery::Text(int col) const
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FStmt, col));
    const int bytes = sqlite3_column_bytes(FStmt, col);
    return text ? QString::fromUtf8(text, bytes) : QString();
}

bool TStoreQuery::Bool(int col) const
{
    switch (sqlite3_column_type(FStmt, col)) {
    case SQLITE_INTEGER:
        return sqlite3_column_int64(FStmt, col) != 0;
    case SQLITE_FLOAT:
        return sqlite3_column_double(FStmt, col) != 0.0;
    case SQLITE_TEXT: {
        const QString t = Text(col).trimmed();
        return t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || t == QLatin1String("1");
    }
    default:
        return false;
    }
}

// ----------------------------------------------------------- TStoreConnection

TStoreConnection::~TStoreConnection()
{
    Close();
}

void TStoreConnection::Open(const QString& path, const QString& password)
{
    Close();
    const QByteArray file = path.toUtf8();
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(file.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    const auto fail = [db](int code, char* err = nullptr) {
        const QString message = err ? Utf8(err) : db ? Utf8(sqlite3_errmsg(db)) : Utf8(sqlite3_errstr(code));
        sqlite3_free(err);
        sqlite3_close_v2(db);
        throw EStoreError(message, code & 0xFF);
    };
    if (rc != SQLITE_OK)
        fail(rc);
    // Another process may be writing the file (orvexa-cli beside the
    // desktop): wait for its lock rather than fail at once.
    sqlite3_busy_timeout(db, TStoreConnection::BusyTimeoutMs);
    const QByteArray key = password.toUtf8();
    if (const int krc = sqlite3_key(db, key.constData(), int(key.size())); krc != SQLITE_OK)
        fail(krc);
    // The first read decrypts page 1; a wrong key or a damaged file fails here.
    char* err = nullptr;
    if (const int xrc = sqlite3_exec(db, "select count(*) from sqlite_master;", nullptr, nullptr, &err);
        xrc != SQLITE_OK)
        fail(xrc, err);
    FDb = db;
    FPath = path;
}

void TStoreConnection::Close()
{
    if (FDb) {
        sqlite3_close_v2(FDb);
        FDb = nullptr;
    }
}

void TStoreConnection::ExecScript(const QString& script)
{
    if (!FDb)
        throw EOrvexaError(QStringLiteral("The local store is not open."));
    const QByteArray text = script.toUtf8();
    char* err = nullptr;
    if (const int rc = sqlite3_exec(FDb, text.constData(), nullptr, nullptr, &err); rc != SQLITE_OK) {
        const QString message = Utf8(err);
        sqlite3_free(err);
        Raise(FDb, rc, message.isEmpty() ? nullptr : message.toUtf8().constData());
    }
}

void TStoreConnection::Begin()
{
    ExecScript(QStringLiteral("begin immediate;"));
}

void TStoreConnection::Commit()
{
    ExecScript(QStringLiteral("commit;"));
}

void TStoreConnection::Rollback() noexcept
{
    if (FDb && !sqlite3_get_autocommit(FDb))
        sqlite3_exec(FDb, "rollback;", nullptr, nullptr, nullptr);
}

bool TStoreConnection::InTransaction() const
{
    return FDb && !sqlite3_get_autocommit(FDb);
}

int TStoreConnection::Changes() const
{
    return FDb ? sqlite3_changes(FDb) : 0;
}

bool TStoreConnection::TableExists(const QString& name)
{
    TStoreQuery q(*this, QStringLiteral("select 1 from sqlite_master where type = 'table' and name = ? collate nocase"));
    q.Bind(1, name);
    return q.Step();
}

void TStoreConnection::RaiseLastError(const QString& context) const
{
    if (!FDb)
        throw EOrvexaError(QStringLiteral("The local store is not open."));
    const QString message = Utf8(sqlite3_errmsg(FDb));
    throw EStoreError(context.isEmpty() ? message : context + message, sqlite3_errcode(FDb) & 0xFF);
}

bool EStoreError::IsUnreadableFile() const noexcept
{
    return FCode == SQLITE_NOTADB || FCode == SQLITE_CORRUPT;
}
