// FreeTDS's own command-line clients against the sandbox: tsql and bsqldb log
// in, run batches and see messages, rows and errors; a wrong password is refused.

#include "TSandboxServer.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace {

struct TRun {
    int ExitCode = -1;
    QString Output;
};

TRun RunTool(const QString& program, const QStringList& args, const QByteArray& input)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TDSVER", "7.4");
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000)) return {};
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
    }
    return {p.exitCode(), QString::fromUtf8(p.readAll())};
}

class SandboxFreeTds : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable("tsql").isEmpty() || QStandardPaths::findExecutable("bsqldb").isEmpty())
            GTEST_SKIP() << "freetds-bin (tsql, bsqldb) is not installed";
        Server = std::make_unique<TSandboxServer>();
    }
    QStringList TsqlArgs(const QString& password = TSandboxServer::DefaultPassword) const
    {
        return {"-H", Server->Host(), "-p", QString::number(Server->Port()), "-U", TSandboxServer::DefaultUser, "-P", password};
    }
    std::unique_ptr<TSandboxServer> Server;
};

TEST_F(SandboxFreeTds, TsqlRunsBatchesAndShowsMessagesAndErrors)
{
    const TRun r = RunTool("tsql", TsqlArgs(),
                           "CREATE TABLE t (id int, name varchar(10))\ngo\n"
                           "INSERT INTO t VALUES (1, 'one'), (2, 'two')\ngo\n"
                           "PRINT 'hello from print'\nSELECT name FROM t ORDER BY id\nSELECT COUNT(*) AS n FROM t\ngo\n"
                           "SELECT * FROM missing_table\ngo\nexit\n");
    EXPECT_NE(r.Output.indexOf("hello from print"), -1) << r.Output.toStdString();
    EXPECT_NE(r.Output.indexOf("two"), -1) << r.Output.toStdString();
    EXPECT_NE(r.Output.indexOf("(2 rows affected)"), -1) << r.Output.toStdString();
    EXPECT_NE(r.Output.indexOf("Msg 208"), -1) << r.Output.toStdString();
    EXPECT_NE(r.Output.indexOf("Invalid object name 'missing_table'."), -1) << r.Output.toStdString();
}

TEST_F(SandboxFreeTds, TsqlWithAWrongPasswordIsRefused)
{
    const TRun r = RunTool("tsql", TsqlArgs("wrong"), "SELECT 1\ngo\nexit\n");
    EXPECT_NE(r.Output.indexOf("Login failed for user 'sa'."), -1) << r.Output.toStdString();
}

TEST_F(SandboxFreeTds, BsqldbStreamsRowsAndStopsOnError)
{
    const QStringList args = {"-S", Server->Host() + ":" + QString::number(Server->Port()), "-U", TSandboxServer::DefaultUser,
                              "-P", TSandboxServer::DefaultPassword, "-t", "|"};
    const TRun ok = RunTool("bsqldb", args,
                            "CREATE TABLE b (id int, d decimal(18,2), t datetime, f bit)\n"
                            "INSERT INTO b VALUES (1, 1.25, '2024-05-06 07:08:09', 1), (2, NULL, NULL, 0)\n"
                            "SELECT id, d, f FROM b ORDER BY id\n");
    EXPECT_EQ(ok.ExitCode, 0) << ok.Output.toStdString();
    EXPECT_NE(ok.Output.indexOf("1|1.25|1"), -1) << ok.Output.toStdString();
    EXPECT_NE(ok.Output.indexOf("2|NULL|0"), -1) << ok.Output.toStdString();
    const TRun bad = RunTool("bsqldb", args, "SELECT 1/0\n");
    EXPECT_NE(bad.ExitCode, 0);
    EXPECT_NE(bad.Output.indexOf("Divide by zero error encountered."), -1) << bad.Output.toStdString();
}

}  // namespace
