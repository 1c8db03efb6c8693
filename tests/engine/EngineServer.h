// The server a test talks to: a private tds-sandbox on a free port, or the
// SQL Server that ORVEXA_TEST_SQLSERVER names with an ODBC connection string.
// Tests are parameterised over both; without the variable the SQL Server
// runs are skipped with a line saying so.
#pragma once

#include "untCommon.h"
#include "untDBAccess.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

class TSandboxServer;

// Readable QStrings in test failures.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

class TTestServer {
public:
    // kind: "sandbox" or "sqlserver". extraLogins: "user:password" entries
    // (sandbox only; a real server's logins are its own).
    explicit TTestServer(const QString& kind, const QStringList& extraLogins = {});
    ~TTestServer();

    bool IsSandbox() const { return FSandbox != nullptr; }
    QString Instance() const { return FInstance; }
    // The login the tests use.
    TInstanceInfo Login() const;
    TInstanceAndDBInfo Database(const QString& name) const;
    // A new empty database. Its name is unique on a real server (tests
    // share it); the name to use is returned.
    QString CreateDatabase(const QString& name);
    // Runs a batch and returns the first column of every row of its first
    // result set, as text (empty for null).
    QStringList Query(const QString& database, const QString& sql) const;
    void Exec(const QString& database, const QString& sql) const;
    // Stops the sandbox (nothing listens on its port afterwards).
    void StopSandbox();
    // The sandbox's folder of database files.
    QString DataDir() const;

private:
    std::unique_ptr<TSandboxServer> FSandbox;
    QString FInstance;
    TInstanceInfo FLogin;
    QStringList FCreated;  // databases to drop on a real server
};

// A batch on a connection of its own: the first column of every row of its
// first result set, as text (empty for null); or nothing.
QStringList QueryBatch(const TInstanceAndDBInfo& database, const QString& sql);
void ExecBatch(const TInstanceAndDBInfo& database, const QString& sql);

// Parameterised base: SetUp starts the server of the parameter.
class ServerTest : public ::testing::TestWithParam<const char*> {
protected:
    // Skips the test, with a line saying so, when the real server is asked
    // for and ORVEXA_TEST_SQLSERVER is not set.
    void SetUp() override;
    void TearDown() override;
    // Logins the sandbox is started with besides the default one.
    virtual QStringList ExtraLogins() const { return {}; }
    std::unique_ptr<TTestServer> Server;
    QTemporaryDir FDir;

    // A script file in the test's folder; returns its full path.
    QString WriteScript(const QString& name, const QString& text);
};

// The two kinds, for INSTANTIATE_TEST_SUITE_P.
#define ORVEXA_SERVER_KINDS ::testing::Values("sandbox", "sqlserver")
