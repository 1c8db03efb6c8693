// orvexa-cli run end to end against a tds-sandbox of the test's own.
#include "CliProcess.h"
#include "ExpectedRunLog.h"
#include "SilentServer.h"
#include "TSandboxServer.h"
#include "untCommon.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <sys/mount.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

namespace {

class CliRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        FCli.SetEnv(QStringLiteral("ORVEXA_PASSWORD"), QString::fromLatin1(TSandboxServer::DefaultPassword));
    }

    QString Script(const QString& name, const QByteArray& text)
    {
        const QString path = FDir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        return path;
    }

    QString Target(const QString& database) const { return FServer.Instance() + QLatin1Char('/') + database; }

    // Starts `orvexa-cli run --transaction` of the script on the database as
    // a process of its own and waits until the run has reached the database;
    // returns what it printed so far.
    QString StartRunIntoItsFirstDatabase(QProcess& p, const QString& database, const QString& script)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), FCli.Home() + QStringLiteral("/share"));
        env.insert(QStringLiteral("ORVEXA_PASSWORD"), QString::fromLatin1(TSandboxServer::DefaultPassword));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(ORVEXA_CLI_PATH), {QStringLiteral("run"), QStringLiteral("--transaction"),
                                                  QStringLiteral("--user"), QStringLiteral("sa"),
                                                  QStringLiteral("--target"), Target(database), script});
        EXPECT_TRUE(p.waitForStarted());
        QString out;
        for (int i = 0; i < 100 && !out.contains(QStringLiteral("begin to execute")); ++i) {
            p.waitForReadyRead(100);
            out += QString::fromUtf8(p.readAllStandardOutput());
        }
        return out;
    }

    // Runs the scripts on the databases with SQL Server authentication.
    TCliResult Run(const QStringList& databases, const QStringList& scripts, const QStringList& options = {})
    {
        QStringList args{QStringLiteral("run"), QStringLiteral("--user"), QStringLiteral("sa")};
        for (const QString& db : databases)
            args << QStringLiteral("--target") << Target(db);
        return FCli.Run(args + options + scripts);
    }

    // Makes databases and runs a set-up script on each.
    void Prepare(const QStringList& databases, const QByteArray& setup = {})
    {
        QByteArray create;
        for (const QString& db : databases)
            create += "CREATE DATABASE " + db.toUtf8() + "\r\nGO\r\n";
        ASSERT_EQ(Run({QStringLiteral("master")}, {Script(QStringLiteral("create.sql"), create)},
                      {QStringLiteral("--no-transaction")})
                      .ExitCode,
                  0);
        if (!setup.isEmpty()) {
            const TCliResult r = Run(databases, {Script(QStringLiteral("setup.sql"), setup)});
            ASSERT_EQ(r.ExitCode, 0) << r.Out.toStdString();
        }
    }

    // The first result set of a query on one database, as CSV text.
    QString Query(const QString& database, const QByteArray& sql)
    {
        const QString out = FDir.filePath(QStringLiteral("query-out"));
        QDir(out).removeRecursively();
        const TCliResult r =
            Run({database}, {Script(QStringLiteral("query.sql"), sql)}, {QStringLiteral("--output-dir"), out});
        EXPECT_EQ(r.ExitCode, 0) << r.Out.toStdString();
        QFile f(out + QStringLiteral("/1/Result1.csv"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    TSandboxServer FServer;
    QTemporaryDir FDir;
    TCli FCli;
};

// The XML form of an exchange file up to its rows.
const QByteArray ListXmlHead =
    "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
    "<FIELD attrname=\"InstanceID\" fieldtype=\"i4\"/>"
    "<FIELD attrname=\"InstanceName\" fieldtype=\"string.uni\" WIDTH=\"510\"/>"
    "<FIELD attrname=\"UserName\" fieldtype=\"string.uni\" WIDTH=\"510\"/>"
    "<FIELD attrname=\"UserPWD\" fieldtype=\"string.uni\" WIDTH=\"510\"/>"
    "<FIELD attrname=\"NT\" fieldtype=\"boolean\"/>"
    "<FIELD attrname=\"fdtDatabases\" fieldtype=\"nested\"><FIELDS>"
    "<FIELD attrname=\"DataBaseID\" fieldtype=\"i4\"/><FIELD attrname=\"InstanceID\" fieldtype=\"i4\"/>"
    "<FIELD attrname=\"DataBaseName\" fieldtype=\"string.uni\" WIDTH=\"510\"/>"
    "</FIELDS><PARAMS/></FIELD></FIELDS><PARAMS/></METADATA><ROWDATA>";

// An exchange file in the XML form with one SQL-login instance.
QByteArray ListXml(const QString& instance, const QStringList& databases)
{
    QByteArray rows;
    int id = 1;
    for (const QString& db : databases)
        rows += "<ROWfdtDatabases DataBaseID=\"" + QByteArray::number(id++) + "\" InstanceID=\"1\" DataBaseName=\""
              + db.toUtf8() + "\"/>";
    return ListXmlHead + "<ROW InstanceID=\"1\" InstanceName=\"" + instance.toUtf8() + "\" UserName=\"sa\" UserPWD=\""
           + QByteArray(TSandboxServer::DefaultPassword) + "\" NT=\"FALSE\"><fdtDatabases>" + rows
           + "</fdtDatabases></ROW></ROWDATA></DATAPACKET>";
}

QString Banner(const char* text)
{
    return CenterTitle(QString::fromLatin1(text));
}

} // namespace

TEST_F(CliRun, LogOfTwoDatabasesWithAnErrorIsTheDesktopLogLineForLine)
{
    Prepare({QStringLiteral("db1"), QStringLiteral("db2")}, "CREATE TABLE t (id int)\r\n");
    ASSERT_EQ(Run({QStringLiteral("db1")}, {Script(QStringLiteral("extra.sql"), "CREATE TABLE m (id int)\r\n")}).ExitCode, 0);
    const QString s1 = Script(QStringLiteral("01.sql"), "INSERT INTO t VALUES (1)\r\nGO\r\nPRINT 'one'\r\n");
    const QString s2 = Script(QStringLiteral("02.sql"), "INSERT INTO t VALUES (2)\r\nGO\r\nINSERT INTO m VALUES (2)\r\n");

    const TCliResult r = Run({QStringLiteral("db1"), QStringLiteral("db2")}, {s1, s2},
                             {QStringLiteral("--transaction"), QStringLiteral("--continue-on-error")});
    EXPECT_EQ(r.ExitCode, 1);
    const QString instance = FServer.Instance();
    const QStringList expected =
        TwoDatabaseRunLog(instance, QStringLiteral("db1"), QStringLiteral("db2"), QStringLiteral("Invalid object name 'm'."), true);
    EXPECT_EQ(r.Out, expected.join(QLatin1Char('\n')) + QLatin1Char('\n'));

    // 02.sql was rolled back on db2 and only there.
    EXPECT_EQ(Query(QStringLiteral("db1"), "SELECT COUNT(*) AS n FROM t"), QStringLiteral("n\r\n2\r\n"));
    EXPECT_EQ(Query(QStringLiteral("db2"), "SELECT COUNT(*) AS n FROM t"), QStringLiteral("n\r\n1\r\n"));
}

TEST_F(CliRun, StopOnErrorEndsTheRunAtTheFirstError)
{
    Prepare({QStringLiteral("a"), QStringLiteral("b")});
    const TCliResult r = Run({QStringLiteral("a"), QStringLiteral("b")},
                             {Script(QStringLiteral("bad.sql"), "SELECT * FROM nowhere\r\n")},
                             {QStringLiteral("--stop-on-error"), QStringLiteral("--no-transaction")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Out.endsWith(QStringLiteral("    bad.sql Error occurred.\n\n    Invalid object name 'nowhere'.\n\n")
                               + Banner("Execution completed but errors occured") + QLatin1Char('\n')))
        << r.Out.toStdString();
    EXPECT_FALSE(r.Out.contains(QStringLiteral("[b]")));
}

TEST_F(CliRun, UseOrGoNWithoutATerminalIsDeclined)
{
    Prepare({QStringLiteral("a")});
    const QString script = Script(QStringLiteral("use.sql"), "USE master\r\nSELECT 1\r\n");
    const TCliResult declined = Run({QStringLiteral("a")}, {script});
    EXPECT_EQ(declined.ExitCode, 1);
    EXPECT_TRUE(declined.Out.contains(QStringLiteral("Warning: the following SQL files use \"use\" or \"go N\" "
                                                     "statements:\n\n")
                                      + script + QLatin1Char('\n')))
        << declined.Out.toStdString();
    EXPECT_TRUE(declined.Out.contains(QStringLiteral("\n    User has canceled current operation.\n")));
    EXPECT_FALSE(declined.Out.contains(QStringLiteral("begin to execute")));

    const TCliResult accepted =
        Run({QStringLiteral("a")}, {script}, {QStringLiteral("--yes"), QStringLiteral("--no-transaction")});
    EXPECT_EQ(accepted.ExitCode, 0) << accepted.Out.toStdString();
}

TEST_F(CliRun, OutputFolderHoldsTargetMessagesCsvAndColumns)
{
    Prepare({QStringLiteral("out")},
            "CREATE TABLE q (id int NOT NULL, a nvarchar(10) NULL, b varchar(20) NULL, c decimal(18,2) NULL, "
            "f bit NULL)\r\nGO\r\n"
            "INSERT INTO q VALUES (1, NULL, '', 1.50, 1)\r\n"
            "INSERT INTO q VALUES (2, N'x,\"y\"', 'plain', NULL, 0)\r\n"
            "INSERT INTO q VALUES (3, N'two\r\nlines', ' pad ', -2.00, NULL)\r\n");
    const QString outDir = FDir.filePath(QStringLiteral("results"));
    const TCliResult r = Run({QStringLiteral("out")},
                             {Script(QStringLiteral("r.sql"), "PRINT 'hello'\r\nSELECT * FROM q ORDER BY id\r\n"
                                                              "SELECT 7 AS seven\r\nUPDATE q SET f = 1\r\n")},
                             {QStringLiteral("--output-dir"), outDir});
    ASSERT_EQ(r.ExitCode, 0) << r.Out.toStdString() << r.Err.toStdString();

    const auto read = [&](const char* name) {
        QFile f(outDir + QStringLiteral("/1/") + QLatin1String(name));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
        return QString::fromUtf8(f.readAll());
    };
    EXPECT_EQ(read("target.txt"), FServer.Instance() + QStringLiteral("\nout\n"));
    EXPECT_EQ(read("Result1.csv"), QStringLiteral("id,a,b,c,f\r\n"
                                                  "1,,\"\",1.50,1\r\n"
                                                  "2,\"x,\"\"y\"\"\",plain,,0\r\n"
                                                  "3,\"two\r\nlines\", pad ,-2.00,\r\n"));
    EXPECT_EQ(read("Result2.csv"), QStringLiteral("seven\r\n7\r\n"));
    const QString messages = read("messages.txt");
    EXPECT_TRUE(messages.startsWith(QStringLiteral("------") + FDir.filePath(QStringLiteral("r.sql"))
                                    + QStringLiteral("------\nhello\n")))
        << messages.toStdString();
    EXPECT_TRUE(messages.contains(QStringLiteral("(retrieved 3 rows)\n")));
    EXPECT_TRUE(messages.contains(QStringLiteral("( 3 rows were affected.)\n")));

    const QJsonArray results = QJsonDocument::fromJson(read("results.json").toUtf8())[QStringLiteral("results")].toArray();
    ASSERT_EQ(results.size(), 2);
    const QJsonArray columns = results[0].toObject()[QStringLiteral("columns")].toArray();
    ASSERT_EQ(columns.size(), 5);
    const auto column = [&](int i, const char* key) -> QJsonValue {
        return columns[i].toObject().value(QLatin1String(key));
    };
    EXPECT_EQ(column(0, "kind").toString(), QStringLiteral("ftInteger"));
    EXPECT_EQ(column(1, "kind").toString(), QStringLiteral("ftWideString"));
    EXPECT_EQ(column(1, "size").toInt(), 10);
    EXPECT_EQ(column(2, "kind").toString(), QStringLiteral("ftString"));
    EXPECT_EQ(column(3, "kind").toString(), QStringLiteral("ftBCD"));
    EXPECT_EQ(column(3, "precision").toInt(), 18);
    EXPECT_EQ(column(3, "size").toInt(), 2);
    EXPECT_TRUE(column(4, "truth").toBool());
    EXPECT_EQ(results[0].toObject()[QStringLiteral("rows")].toInt(), 3);
}

TEST_F(CliRun, AnOutputFolderThatCannotBeWrittenFailsTheRun)
{
    Prepare({QStringLiteral("w")});
    // A folder cannot be made below a plain file, not even by root.
    const QString blocker = Script(QStringLiteral("blocker"), "x");
    const TCliResult r = Run({QStringLiteral("w")}, {Script(QStringLiteral("s.sql"), "SELECT 1 AS one\r\n")},
                             {QStringLiteral("--output-dir"), blocker + QStringLiteral("/out")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains(blocker + QStringLiteral("/out/1"))) << r.Err.toStdString();
}

TEST_F(CliRun, InterruptStopsAtTheNextBatchAndRollsBack)
{
    Prepare({QStringLiteral("slow")}, "CREATE TABLE t (id int)\r\n");
    const QString script = Script(QStringLiteral("slow.sql"), "INSERT INTO t VALUES (1)\r\nGO\r\n"
                                                              "WAITFOR DELAY '00:00:02'\r\nGO\r\n"
                                                              "INSERT INTO t VALUES (2)\r\n");
    QProcess p;
    QString out = StartRunIntoItsFirstDatabase(p, QStringLiteral("slow"), script);
    QThread::msleep(500);
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    out += QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 130);
    EXPECT_TRUE(out.contains(QStringLiteral("    User has canceled current operation. transation rollback.\n")))
        << out.toStdString();
    EXPECT_EQ(Query(QStringLiteral("slow"), "SELECT COUNT(*) AS n FROM t"), QStringLiteral("n\r\n0\r\n"));
}

TEST_F(CliRun, ASecondInterruptCancelsTheRunningBatch)
{
    Prepare({QStringLiteral("long")}, "CREATE TABLE t (id int)\r\n");
    const QString script = Script(QStringLiteral("long.sql"), "INSERT INTO t VALUES (1)\r\nGO\r\n"
                                                              "WAITFOR DELAY '00:00:30'\r\nGO\r\n"
                                                              "INSERT INTO t VALUES (2)\r\n");
    QProcess p;
    QString out = StartRunIntoItsFirstDatabase(p, QStringLiteral("long"), script);
    QThread::msleep(700);
    ::kill(pid_t(p.processId()), SIGINT);
    QThread::msleep(300);
    ::kill(pid_t(p.processId()), SIGINT);
    // Well before the 30 seconds of the batch: it was cancelled on the server.
    ASSERT_TRUE(p.waitForFinished(10000));
    out += QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 130);
    EXPECT_TRUE(out.contains(QStringLiteral("    User has canceled current operation. The running batch of long.sql "
                                            "was cancelled. transation rollback.\n")))
        << out.toStdString();
    EXPECT_EQ(Query(QStringLiteral("long"), "SELECT COUNT(*) AS n FROM t"), QStringLiteral("n\r\n0\r\n"));
}

TEST_F(CliRun, ParallelPrintsTheSequentialLogAndChecksItsValue)
{
    QStringList dbs;
    for (int i = 1; i <= 5; ++i)
        dbs << QStringLiteral("par%1").arg(i);
    Prepare(dbs, "CREATE TABLE t (id int)\r\n");
    const QString s1 = Script(QStringLiteral("01.sql"), "INSERT INTO t VALUES (1)\r\nGO\r\nSELECT COUNT(*) AS n FROM t\r\n");
    const QString s2 = Script(QStringLiteral("02.sql"), "PRINT 'two'\r\nSELECT id FROM t\r\n");
    const TCliResult one = Run(dbs, {s1, s2}, {QStringLiteral("--parallel"), QStringLiteral("1")});
    const TCliResult three = Run(dbs, {s1, s2}, {QStringLiteral("--parallel"), QStringLiteral("3")});
    EXPECT_EQ(one.ExitCode, 0) << one.Out.toStdString();
    EXPECT_EQ(three.ExitCode, 0) << three.Out.toStdString();
    EXPECT_EQ(three.Out, one.Out);
    EXPECT_EQ(Query(QStringLiteral("par5"), "SELECT COUNT(*) AS n FROM t"), QStringLiteral("n\r\n2\r\n"));
    for (const char* bad : {"0", "65", "many"}) {
        const TCliResult r = Run(dbs, {s1}, {QStringLiteral("--parallel"), QString::fromLatin1(bad)});
        EXPECT_EQ(r.ExitCode, 2) << bad;
        EXPECT_TRUE(r.Err.contains(QStringLiteral("--parallel"))) << r.Err.toStdString();
    }
}

TEST_F(CliRun, ListRoundTripsThroughBothFileForms)
{
    const QString xml = Script(
        QStringLiteral("list.xml"),
        ListXmlHead
            + "<ROW InstanceID=\"2\" InstanceName=\"SRV&#092;SQL\" UserName=\"\" UserPWD=\"\" NT=\"TRUE\">"
              "<fdtDatabases><ROWfdtDatabases DataBaseID=\"5\" InstanceID=\"2\" DataBaseName=\"Sales\"/>"
              "<ROWfdtDatabases DataBaseID=\"6\" InstanceID=\"2\" DataBaseName=\"HR\"/></fdtDatabases></ROW>"
              "<ROW InstanceID=\"1\" InstanceName=\"db1,1433\" UserName=\"o'neil\" UserPWD=\"p;w&quot;d\" NT=\"FALSE\">"
              "<fdtDatabases><ROWfdtDatabases DataBaseID=\"1\" InstanceID=\"1\" DataBaseName=\"Z\"/></fdtDatabases></ROW>"
              "</ROWDATA></DATAPACKET>");
    const QString shown = QStringLiteral("db1,1433\tZ\nSRV\\SQL\tHR\nSRV\\SQL\tSales\n");
    const auto list = [&](const QStringList& args) { return FCli.Run(QStringList{QStringLiteral("list")} + args); };

    ASSERT_EQ(list({QStringLiteral("import"), xml}).ExitCode, 0);
    EXPECT_EQ(list({QStringLiteral("show")}).Out, shown);
    for (const char* name : {"copy.dat", "copy.xml"}) {
        const QString file = FDir.filePath(QLatin1String(name));
        ASSERT_EQ(list({QStringLiteral("export"), file}).ExitCode, 0) << name;
        ASSERT_EQ(list({QStringLiteral("clear")}).ExitCode, 0);
        EXPECT_EQ(list({QStringLiteral("show")}).Out, QString());
        const TCliResult imported = list({QStringLiteral("import"), file});
        ASSERT_EQ(imported.ExitCode, 0) << imported.Err.toStdString();
        EXPECT_EQ(list({QStringLiteral("show")}).Out, shown) << name;
    }

    // A damaged file names itself, fails, and leaves the stored list alone.
    const QString bad = Script(QStringLiteral("bad.xml"), "<DATAPACKET Version=\"2.0\"><METADATA>");
    const TCliResult refused = list({QStringLiteral("import"), bad});
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_TRUE(refused.Err.contains(bad)) << refused.Err.toStdString();
    EXPECT_EQ(list({QStringLiteral("show")}).Out, shown);
}

TEST_F(CliRun, TargetsFromAListFileOrTheStoredListRunInListOrder)
{
    Prepare({QStringLiteral("Zeta"), QStringLiteral("alpha")});
    const QString list = Script(QStringLiteral("targets.xml"), ListXml(FServer.Instance(), {"Zeta", "alpha"}));
    const QString script = Script(QStringLiteral("s.sql"), "SELECT DB_NAME() AS db\r\n");
    const QString order = QStringLiteral("[%1].[alpha] begin to execute ...\n    s.sql was executed successfully.\n\n"
                                         "[%1].[Zeta] begin to execute ...")
                              .arg(FServer.Instance());

    const TCliResult fromFile = FCli.Run({QStringLiteral("run"), QStringLiteral("--list"), list, script});
    EXPECT_EQ(fromFile.ExitCode, 0) << fromFile.Out.toStdString() << fromFile.Err.toStdString();
    EXPECT_TRUE(fromFile.Out.contains(order)) << fromFile.Out.toStdString();

    ASSERT_EQ(FCli.Run({QStringLiteral("list"), QStringLiteral("import"), list}).ExitCode, 0);
    const TCliResult stored = FCli.Run({QStringLiteral("run"), script});
    EXPECT_EQ(stored.ExitCode, 0) << stored.Out.toStdString() << stored.Err.toStdString();
    EXPECT_TRUE(stored.Out.contains(order)) << stored.Out.toStdString();
}

TEST_F(CliRun, DatabasesAndCheckAgainstTheServer)
{
    Prepare({QStringLiteral("alpha")});
    const QStringList login{QStringLiteral("--instance"), FServer.Instance(), QStringLiteral("--user"),
                            QStringLiteral("sa")};
    const TCliResult dbs = FCli.Run(QStringList{QStringLiteral("databases")} + login);
    EXPECT_EQ(dbs.ExitCode, 0) << dbs.Err.toStdString();
    EXPECT_TRUE(dbs.Out.split(QLatin1Char('\n')).contains(QStringLiteral("alpha"))) << dbs.Out.toStdString();
    EXPECT_EQ(FCli.Run(QStringList{QStringLiteral("check")} + login).ExitCode, 0);

    TCli wrong;
    wrong.SetEnv(QStringLiteral("ORVEXA_PASSWORD"), QStringLiteral("not-it"));
    const TCliResult refused = wrong.Run(QStringList{QStringLiteral("check")} + login);
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_TRUE(refused.Err.contains(QStringLiteral("Login failed for user 'sa'."))) << refused.Err.toStdString();
}

// A server that accepts the connection and never answers ends check,
// databases and run at the login time-out, with a text naming the instance.
TEST_F(CliRun, ASilentServerFailsEachCommandAtTheLoginTimeout)
{
    TSilentServer silent;
    FCli.SetEnv(QStringLiteral("ORVEXA_TEST_LOGIN_TIMEOUT"), QStringLiteral("2"));
    const QString expected =
        QStringLiteral("Login timeout expired: %1 did not answer within 2 seconds.").arg(silent.Instance());
    const QStringList login{QStringLiteral("--instance"), silent.Instance(), QStringLiteral("--user"),
                            QStringLiteral("sa")};
    for (const char* command : {"check", "databases"}) {
        SCOPED_TRACE(command);
        const TCliResult r = FCli.Run(QStringList{QLatin1String(command)} + login, {}, 60000);
        EXPECT_EQ(r.ExitCode, 1) << r.Err.toStdString();
        EXPECT_TRUE(r.Err.contains(expected)) << r.Err.toStdString();
    }
    const TCliResult run =
        FCli.Run({QStringLiteral("run"), QStringLiteral("--user"), QStringLiteral("sa"), QStringLiteral("--target"),
                  silent.Instance() + QStringLiteral("/master"), Script(QStringLiteral("s.sql"), "SELECT 1\r\n")},
                 {}, 60000);
    EXPECT_EQ(run.ExitCode, 1) << run.Err.toStdString();
    EXPECT_TRUE(run.Out.contains(QStringLiteral("Error Message:") + expected)) << run.Out.toStdString();
}

// The desktop and a scheduled import, or two imports, write the store at
// once: each waits for the other's lock instead of failing.
TEST_F(CliRun, TwoProcessesImportingAtOnceWaitForEachOther)
{
    const QString list = Script(QStringLiteral("two.xml"), ListXml(FServer.Instance(), {"a", "b", "c"}));
    // The store exists, as it does once the desktop has started.
    ASSERT_EQ(FCli.Run({QStringLiteral("list"), QStringLiteral("clear")}).ExitCode, 0);
    QStringList failures[2];
    std::thread importers[2];
    for (int k = 0; k < 2; ++k)
        importers[k] = std::thread([&, k] {
            for (int i = 0; i < 20; ++i) {
                const TCliResult r = FCli.Run({QStringLiteral("list"), QStringLiteral("import"), list});
                if (r.ExitCode != 0)
                    failures[k] << QStringLiteral("import %1 of process %2: %3").arg(i + 1).arg(k + 1).arg(r.Err);
            }
        });
    for (std::thread& t : importers)
        t.join();
    EXPECT_EQ(failures[0] + failures[1], QStringList()) << (failures[0] + failures[1]).join('\n').toStdString();
    const QString instance = FServer.Instance();
    EXPECT_EQ(FCli.Run({QStringLiteral("list"), QStringLiteral("show")}).Out,
              QStringLiteral("%1\ta\n%1\tb\n%1\tc\n").arg(instance));
}

// Two programs started at once on a machine without a store (the desktop
// and a scheduled job): one creates the store, the other waits and opens it.
TEST_F(CliRun, TwoProcessesCreatingTheStoreAtOnceBothSucceed)
{
    QStringList failures;
    for (int round = 0; round < 10; ++round) {
        TCli clis[2];
        const QString home = FDir.filePath(QStringLiteral("fresh%1").arg(round));
        for (TCli& cli : clis)
            cli.SetEnv(QStringLiteral("XDG_DATA_HOME"), home);
        std::thread starters[2];
        TCliResult results[2];
        for (int k = 0; k < 2; ++k)
            starters[k] = std::thread([&, k] { results[k] = clis[k].Run({QStringLiteral("list"), QStringLiteral("show")}); });
        for (std::thread& t : starters)
            t.join();
        for (int k = 0; k < 2; ++k)
            if (results[k].ExitCode != 0)
                failures << QStringLiteral("round %1, process %2: %3").arg(round).arg(k + 1).arg(results[k].Err);
    }
    EXPECT_EQ(failures, QStringList()) << failures.join('\n').toStdString();
}

// A file system of its own, of a few hundred kilobytes, mounted on a folder
// for the life of the object: a disk that fills up. Mounting a tmpfs needs
// root; where that is missing the test says so and is skipped.
class TSmallDisk {
public:
    TSmallDisk(const QString& dir, int kilobytes) : FDir(dir)
    {
        QDir().mkpath(dir);
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0755";
        if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    options.constData())
            == 0)
            FMounted = true;
        else
            FError = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~TSmallDisk()
    {
        if (FMounted)
            ::umount2(QFile::encodeName(FDir).constData(), MNT_DETACH);
    }
    bool Mounted() const { return FMounted; }
    const QString& Error() const { return FError; }
    // Takes every free byte with one file.
    void Fill() const
    {
        QFile filler(FDir + QStringLiteral("/filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        while (filler.write(block) > 0) {
        }
    }

private:
    QString FDir;
    bool FMounted = false;
    QString FError;
};

// A full disk under --output-dir fails the run with the file and the
// system's reason, and no file that could not be written stands under its
// name, not even empty.
TEST_F(CliRun, AFullDiskFailsTheRunAndLeavesNoBrokenFile)
{
    const struct {
        const char* Name;
        bool FullFromTheStart;
        QByteArray Sql;
        const char* FailingFile;
        QStringList Left;  // files that stand, whole, afterwards
    } cases[] = {
        {"full from the start", true, "SELECT 1 AS one\r\n", "target.txt", {}},
        {"full during a result", false,
         "WITH n AS (SELECT 1 AS i UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
         "SELECT i, REPLICATE('x', 100) AS pad FROM n\r\n",
         "Result1.csv", {QStringLiteral("results.json"), QStringLiteral("target.txt")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString mountPoint = FDir.filePath(QStringLiteral("disk-%1").arg(c.FullFromTheStart));
        TSmallDisk disk(mountPoint, 256);
        if (!disk.Mounted())
            GTEST_SKIP() << "cannot mount a small tmpfs to fill (" << disk.Error().toStdString()
                         << "); this needs root";
        const QString out = mountPoint + QStringLiteral("/out");
        ASSERT_TRUE(QDir().mkpath(out));
        if (c.FullFromTheStart)
            disk.Fill();
        const TCliResult r = Run({QStringLiteral("master")}, {Script(QStringLiteral("full.sql"), c.Sql)},
                                 {QStringLiteral("--output-dir"), out});
        EXPECT_EQ(r.ExitCode, 1) << r.Out.toStdString();
        const QString file = out + QStringLiteral("/1/") + QLatin1String(c.FailingFile);
        EXPECT_TRUE(r.Err.contains(QStringLiteral("Cannot write %1: No space left on device\n").arg(file)))
            << r.Err.toStdString();
        EXPECT_EQ(QDir(out + QStringLiteral("/1")).entryList(QDir::Files | QDir::Hidden, QDir::Name), c.Left);
        if (c.Left.contains(QStringLiteral("target.txt"))) {
            QFile target(out + QStringLiteral("/1/target.txt"));
            ASSERT_TRUE(target.open(QIODevice::ReadOnly));
            EXPECT_EQ(QString::fromUtf8(target.readAll()), FServer.Instance() + QStringLiteral("\nmaster\n"));
        }
    }
}
