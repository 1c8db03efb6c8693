// A thin layer over SQLCipher for the local store: one connection, prepared
// statements with bound parameters, and transactions. Every failure is an
// EOrvexaError whose text is SQLite's own message, so callers can add the file
// and the operation in front of it.
//
// The program links SQLCipher only; it exports the same symbols as libsqlite3,
// so nothing here may ever be linked together with libsqlite3.
//
// GUI thread only, like the data module that owns it.
#pragma once

#include "untCommon.h"

#include <QString>

struct sqlite3;
struct sqlite3_stmt;

class TStoreConnection;

// A failure reported by SQLite; Code() is its primary result code
// (SQLITE_NOTADB, SQLITE_CORRUPT, SQLITE_CONSTRAINT, ...).
class EStoreError : public EOrvexaError {
public:
    EStoreError(QString message, int code) : EOrvexaError(std::move(message)), FCode(code) {}
    int Code() const noexcept { return FCode; }
    // True for the codes of a file that is not a database readable with the
    // key given: damaged, foreign, or encrypted with another password.
    bool IsUnreadableFile() const noexcept;

private:
    int FCode;
};

// One prepared statement. Parameters are numbered from 1, columns from 0.
// Step() runs it and returns true while there is a row to read.
class TStoreQuery {
public:
    TStoreQuery(TStoreConnection& conn, const QString& sql);
    ~TStoreQuery();
    TStoreQuery(const TStoreQuery&) = delete;
    TStoreQuery& operator=(const TStoreQuery&) = delete;

    void Bind(int index, qint64 value);
    void Bind(int index, const QString& value);
    void BindNull(int index);

    // True when a row is ready; false when the statement has finished.
    bool Step();
    // Makes the statement ready to run again; the bindings stay.
    void Reset();
    // Runs a statement that returns no rows.
    void Exec();

    int ColumnCount() const;
    QString ColumnName(int col) const;
    // Column index by name, ignoring letter case; -1 when there is none.
    int ColumnIndex(const QString& name) const;
    bool IsNull(int col) const;
    qint64 Int(int col) const;      // NULL reads as 0
    QString Text(int col) const;    // NULL reads as the empty text
    // A stored boolean: integers are true when not 0, texts "true"/"1" (any
    // case) are true; NULL and everything else read as false.
    bool Bool(int col) const;

private:
    TStoreConnection& FConn;
    sqlite3_stmt* FStmt = nullptr;
};

class TStoreConnection {
public:
    // How long a statement waits for a lock that another connection (often
    // another process) holds on the file before it fails with "database is
    // locked".
    static constexpr int BusyTimeoutMs = 10000;

    TStoreConnection() = default;
    ~TStoreConnection();
    TStoreConnection(const TStoreConnection&) = delete;
    TStoreConnection& operator=(const TStoreConnection&) = delete;

    // Opens (creating when missing) the file and sets the encryption key.
    // SQLCipher accepts any key at open time; a file that the key does not
    // decrypt is only noticed by the first read, so Open() reads the schema
    // once and fails there with "file is encrypted or is not a database".
    void Open(const QString& path, const QString& password);
    void Close();
    bool IsOpen() const { return FDb != nullptr; }
    const QString& Path() const { return FPath; }

    // Runs a script of one or more statements in one call.
    void ExecScript(const QString& script);

    void Begin();
    void Commit();
    // Rolls back when a transaction is open; never throws.
    void Rollback() noexcept;
    bool InTransaction() const;

    // Number of rows changed by the last statement.
    int Changes() const;
    bool TableExists(const QString& name);

    sqlite3* Handle() const { return FDb; }
    [[noreturn]] void RaiseLastError(const QString& context = {}) const;

private:
    sqlite3* FDb = nullptr;
    QString FPath;
};

// Rolls back on scope exit unless Commit() was called: a failing statement
// anywhere in a change leaves the stored data as it was.
class TStoreTransaction {
public:
    explicit TStoreTransaction(TStoreConnection& conn) : FConn(conn) { FConn.Begin(); }
    ~TStoreTransaction()
    {
        if (!FDone)
            FConn.Rollback();
    }
    TStoreTransaction(const TStoreTransaction&) = delete;
    TStoreTransaction& operator=(const TStoreTransaction&) = delete;
    void Commit()
    {
        FConn.Commit();
        FDone = true;
    }

private:
    TStoreConnection& FConn;
    bool FDone = false;
};
