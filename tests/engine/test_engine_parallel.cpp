// Databases in parallel: the receiver sees exactly the notifications of a
// sequential run; stop, a failure without ContinueOnError and a dropped
// connection end a parallel run as a sequential one ends, with the
// databases that ran alongside listed; all against tds-sandbox servers with
// a network round trip of their own.
#include "EngineServer.h"
#include "ExecRecorder.h"

#include "TSandboxServer.h"
#include "untOdbcConnection.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <thread>

namespace {

const QString Tab = QStringLiteral("    ");
const QString Alongside = QStringLiteral("] ran alongside and ");

// A sandbox with a round trip of its own, and its databases.
class TServer {
public:
    explicit TServer(int latencyMs) : FSandbox(Options(latencyMs)) {}
    static TSandboxServer::TOptions Options(int latencyMs)
    {
        TSandboxServer::TOptions o;
        o.LatencyMs = latencyMs;
        return o;
    }
    TInstanceAndDBInfo Database(const QString& name) const
    {
        return {FSandbox.Instance(), QString::fromLatin1(TSandboxServer::DefaultUser),
                QString::fromLatin1(TSandboxServer::DefaultPassword), false, name};
    }
    // A database holding table t (a int), or none when withTable is false.
    TInstanceAndDBInfo Create(const QString& name, bool withTable = true)
    {
        QFile file(QDir(FSandbox.DataDir()).filePath(name + QStringLiteral(".db")));
        if (!file.open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot create a database file");
        file.close();
        if (withTable)
            Exec(name, QStringLiteral("CREATE TABLE t (a int)"));
        return Database(name);
    }
    QStringList Query(const QString& db, const QString& sql) const { return QueryBatch(Database(db), sql); }
    void Exec(const QString& db, const QString& sql) const { ExecBatch(Database(db), sql); }
    QStringList Rows(const QString& db) const { return Query(db, QStringLiteral("SELECT a FROM t ORDER BY a")); }

private:
    TSandboxServer FSandbox;
};

TConfig Config(bool trans, bool continueOnError, int parallelism)
{
    TConfig c = RunConfig(trans, continueOnError);
    c.Parallelism = parallelism;
    return c;
}

// Everything a receiver sees, as text, notification by notification.
QStringList Transcript(const TExecRecorder& r)
{
    QStringList out;
    for (const TExecEvent& e : r.Events) {
        QString line = QString::fromLatin1(ExecMessageName(e.Id));
        switch (e.Id) {
        case WM_EXEC_LOGS:
        case WM_EXEC_MSGS: line += QLatin1Char(' ') + e.Lines.join(QStringLiteral("\u2029")); break;
        case WM_EXEC_STATUS:
        case WM_EXEC_PERCENT: line += QLatin1Char(' ') + QString::number(e.Value); break;
        case WM_EXEC_NEWDB: line += QLatin1Char(' ') + e.First + QLatin1Char('/') + e.Second; break;
        case WM_EXEC_RESULT:
            for (qint64 row = 0; row < e.Snapshot.RowCount(); ++row)
                for (int col = 0; col < e.Snapshot.ColumnCount(); ++col)
                    line += QLatin1Char(' ') + e.Snapshot.DisplayText(row, col);
            break;
        default: break;
        }
        out << line;
    }
    return out;
}

class EngineParallel : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetOdbcDriverOverride(QStringLiteral("FreeTDS"));
        ASSERT_TRUE(FDir.isValid());
    }
    QString WriteScript(const QString& name, const QString& text)
    {
        const QString path = FDir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot write a script");
        file.write(text.toUtf8());
        return path;
    }
    QTemporaryDir FDir;
};

// The lines that list the databases that ran alongside, and the log without them.
QStringList AlongsideLines(const QStringList& logs)
{
    QStringList out;
    for (const QString& l : logs)
        if (l.startsWith(Tab + QLatin1Char('[')) && l.contains(Alongside))
            out << l;
    return out;
}

QStringList WithoutAlongside(QStringList logs)
{
    const QStringList lines = AlongsideLines(logs);
    if (lines.isEmpty())
        return logs;
    const qsizetype at = logs.indexOf(lines.first());
    logs.remove(at - 1, lines.size() + 1);  // the block and the empty line before it
    return logs;
}

} // namespace

TEST_F(EngineParallel, TheReceiverSeesExactlyWhatASequentialRunSends)
{
    // 20 databases on two servers, taken in turns; the 7th fails in 02.sql.
    TServer near(2), far(8);
    TInstanceAndDBArr dbs;
    for (int i = 0; i < 20; ++i) {
        TServer& s = i % 2 ? far : near;
        const QString name = QStringLiteral("db%1").arg(i, 2, 10, QLatin1Char('0'));
        dbs << s.Create(name, true);
        if (i != 6)
            s.Exec(name, QStringLiteral("CREATE TABLE u (b int)"));
    }
    const QStringList files = {
        WriteScript(QStringLiteral("01.sql"), QStringLiteral("PRINT 'one'\r\nINSERT INTO t VALUES (1)\r\nGO\r\n"
                                                             "SELECT a, DB_NAME() AS db FROM t\r\n")),
        WriteScript(QStringLiteral("02.sql"), QStringLiteral("INSERT INTO u VALUES (2)\r\nSELECT 1 AS x, 2 AS y\r\n"
                                                             "GO\r\nSELECT COUNT(*) AS n FROM t\r\n")),
    };
    const auto reset = [&] {
        for (int i = 0; i < 20; ++i)
            (i % 2 ? far : near).Exec(dbs[i].DatabaseName, QStringLiteral("DELETE FROM t"));
    };

    TExecRecorder sequential;
    RunToEnd(sequential, files, dbs, Config(true, true, 1));
    const QStringList expected = Transcript(sequential);
    ASSERT_EQ(sequential.NewDatabases().size(), 20);
    ASSERT_EQ(sequential.Logs().filter(QStringLiteral("Error Message:")).size(), 1);
    ASSERT_EQ(sequential.Values(WM_EXEC_STATUS).last(), int(stFail));

    // Parallelism larger than the database count included.
    for (const int n : {2, 8, 64}) {
        SCOPED_TRACE(n);
        reset();
        TExecRecorder parallel;
        RunToEnd(parallel, files, dbs, Config(true, true, n));
        const QStringList got = Transcript(parallel);
        ASSERT_EQ(got.size(), expected.size());
        for (qsizetype i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], expected[i]) << "notification " << i;
        EXPECT_EQ(parallel.Logs(), sequential.Logs());
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ((i % 2 ? far : near).Rows(dbs[i].DatabaseName), QStringList{"1"}) << i;
    }
}

TEST_F(EngineParallel, StopStartsNothingNewAndRollsRunningFilesBack)
{
    TServer server(5);
    TInstanceAndDBArr dbs;
    for (int i = 0; i < 20; ++i)
        dbs << server.Create(QStringLiteral("stop%1").arg(i));
    const QString file = WriteScript(QStringLiteral("slow.sql"), QStringLiteral("INSERT INTO t VALUES (1)\r\nGO\r\n"
                                                                                "WAITFOR DELAY '00:00:01'\r\nGO\r\n"
                                                                                "INSERT INTO t VALUES (2)\r\n"));
    TExecRecorder r;
    RunToEnd(r, {file}, dbs, Config(true, true, 4), [](TExecThread& thread) {
        // The first four are inside their long batch.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        thread.Terminate();
    });
    const QStringList logs = r.Logs();
    const QString dump = logs.join(QLatin1Char('\n'));
    // The log ends as a stopped run's does, the databases that were running
    // listed before the closing banner.
    EXPECT_EQ(logs.last(), CenterTitle(QStringLiteral("Execution completed but errors occured")));
    const QStringList plain = WithoutAlongside(logs);
    ASSERT_GE(plain.size(), 3);
    EXPECT_EQ(plain[plain.size() - 3], Tab + QStringLiteral("User has canceled current operation. transation rollback."))
        << dump.toStdString();
    EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));

    const QStringList delivered = r.NewDatabases();
    const QStringList alongside = AlongsideLines(logs);
    ASSERT_FALSE(alongside.isEmpty()) << dump.toStdString();
    int started = int(delivered.size());
    for (const QString& line : alongside) {
        // In run order, right after the delivered ones.
        const TInstanceAndDBInfo& d = dbs[started++];
        ASSERT_TRUE(line.startsWith(Tab + QStringLiteral("[%1].[%2").arg(d.InstanceName, d.DatabaseName)))
            << line.toStdString();
        if (line.contains(QStringLiteral("was stopped."))) {
            EXPECT_TRUE(line.endsWith(QStringLiteral(" Rolled back: slow.sql."))) << line.toStdString();
            EXPECT_TRUE(server.Rows(d.DatabaseName).isEmpty()) << line.toStdString();
        } else {
            EXPECT_TRUE(line.endsWith(QStringLiteral("ran alongside and was executed successfully.")))
                << line.toStdString();
            EXPECT_EQ(server.Rows(d.DatabaseName), (QStringList{"1", "2"}));
        }
    }
    // At most four at a time, none finished before the stop.
    EXPECT_LE(started, 4);
    // Nothing after them ever started.
    for (int i = started; i < 20; ++i)
        EXPECT_TRUE(server.Rows(dbs[i].DatabaseName).isEmpty()) << i;
    // The delivered ones: the last was stopped and rolled back, the others finished.
    for (qsizetype i = 0; i + 1 < delivered.size(); ++i)
        EXPECT_EQ(server.Rows(delivered[i]), (QStringList{"1", "2"})) << i;
    EXPECT_TRUE(server.Rows(delivered.last()).isEmpty());
}

TEST_F(EngineParallel, AFailureWithoutContinueOnErrorEndsTheRunAsASequentialOneWithTheRestListed)
{
    // Database 3 of 20 fails at once. Databases 1, 2, 3 and 6 are on a slow
    // server, the rest on a fast one: 4, 5, 7 and 8 finish while 3 still
    // runs, 6 is stopped at its next batch.
    TServer slow(60), fast(0);
    const auto onSlow = [](int i) { return i <= 2 || i == 5; };
    TInstanceAndDBArr dbs;
    for (int i = 0; i < 20; ++i)
        dbs << (onSlow(i) ? slow : fast).Create(QStringLiteral("coe%1").arg(i), i != 2);
    QString text;
    for (int b = 1; b <= 6; ++b)
        text += QStringLiteral("INSERT INTO t VALUES (%1)\r\nGO\r\n").arg(b);
    const QString file = WriteScript(QStringLiteral("six.sql"), text);
    const QString error = QStringLiteral("Invalid object name 't'.");

    // The sequential run's log, for the same failure.
    TExecRecorder sequential;
    RunToEnd(sequential, {file}, dbs.mid(0, 3), Config(true, false, 1));
    for (int i = 0; i < 2; ++i)
        slow.Exec(dbs[i].DatabaseName, QStringLiteral("DELETE FROM t"));

    TExecRecorder r;
    RunToEnd(r, {file}, dbs, Config(true, false, 8));
    const QStringList logs = r.Logs();
    const QString dump = logs.join(QLatin1Char('\n'));
    EXPECT_EQ(WithoutAlongside(logs), sequential.Logs()) << dump.toStdString();
    EXPECT_TRUE(logs.contains(Tab + error)) << dump.toStdString();
    EXPECT_EQ(r.NewDatabases(), (QStringList{dbs[0].DatabaseName, dbs[1].DatabaseName, dbs[2].DatabaseName}));
    EXPECT_EQ(r.Values(WM_EXEC_PERCENT), (QList<int>{0, 5, 10}));

    const auto line = [&](int i, const QString& outcome) {
        return Tab + QStringLiteral("[%1].[%2").arg(dbs[i].InstanceName, dbs[i].DatabaseName) + Alongside + outcome;
    };
    QStringList expected;
    for (int i = 3; i < 8; ++i)
        expected << (i == 5 ? line(i, QStringLiteral("was stopped. Rolled back: six.sql."))
                            : line(i, QStringLiteral("was executed successfully.")));
    EXPECT_EQ(AlongsideLines(logs), expected) << dump.toStdString();

    const QStringList all = {"1", "2", "3", "4", "5", "6"};
    for (int i = 0; i < 20; ++i) {
        TServer& s = onSlow(i) ? slow : fast;
        if (i == 2)
            continue;
        const bool ran = i < 2 || (i >= 3 && i < 8 && i != 5);
        EXPECT_EQ(s.Rows(dbs[i].DatabaseName), ran ? all : QStringList{}) << i;
    }
}

TEST_F(EngineParallel, AServerDroppingOneWorkersConnectionFailsOnlyThatDatabase)
{
    TServer server(2);
    TInstanceAndDBArr dbs;
    for (int i = 0; i < 6; ++i)
        dbs << server.Create(QStringLiteral("drop%1").arg(i));
    // Each session leaves its id behind (committed), then waits.
    const QString file = WriteScript(QStringLiteral("drop.sql"),
                                     QStringLiteral("INSERT INTO t SELECT @@SPID\r\nGO\r\n"
                                                    "WAITFOR DELAY '00:00:01'\r\nGO\r\nSELECT 1 AS done\r\n"));
    TExecRecorder r;
    RunToEnd(r, {file}, dbs, Config(false, true, 3), [&](TExecThread&) {
        QStringList spid;
        for (int i = 0; i < 400 && spid.isEmpty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            spid = server.Rows(dbs[1].DatabaseName);
        }
        ASSERT_EQ(spid.size(), 1);
        server.Exec(QStringLiteral("master"), QStringLiteral("KILL ") + spid.first());
    });
    const QStringList logs = r.Logs();
    const QString dump = logs.join(QLatin1Char('\n'));
    EXPECT_EQ(r.NewDatabases().size(), 6);
    EXPECT_EQ(logs.count(Tab + QStringLiteral("drop.sql Error occurred.")), 1) << dump.toStdString();
    EXPECT_EQ(logs.count(Tab + QStringLiteral("drop.sql was executed successfully.")), 5) << dump.toStdString();
    EXPECT_EQ(logs.filter(QStringLiteral("Error Message:")).size(), 1);
    EXPECT_TRUE(logs.contains(QStringLiteral("Database:") + dbs[1].DatabaseName)) << dump.toStdString();
    EXPECT_TRUE(AlongsideLines(logs).isEmpty());
    EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));
}

TEST_F(EngineParallel, ASlowDatabaseHoldsBackAtMostTheDatabasesInFlight)
{
    // The first database takes a while; the others are quick. With four at a
    // time, only the three after it may run meanwhile: their output is all
    // that waits for it.
    TServer server(0);
    TInstanceAndDBArr dbs;
    for (int i = 0; i < 12; ++i)
        dbs << server.Create(QStringLiteral("held%1").arg(i));
    const QString file = WriteScript(QStringLiteral("held.sql"),
                                     QStringLiteral("INSERT INTO t VALUES (1)\r\nGO\r\n"
                                                    "IF DB_NAME() = 'held0' WAITFOR DELAY '00:00:02'\r\n"));
    TExecRecorder r;
    QStringList whileHeld;
    RunToEnd(r, {file}, dbs, Config(false, true, 4), [&](TExecThread&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        for (int i = 0; i < 12; ++i)
            whileHeld << QString::number(server.Rows(dbs[i].DatabaseName).size());
    });
    EXPECT_EQ(whileHeld, QStringList({"1", "1", "1", "1", "0", "0", "0", "0", "0", "0", "0", "0"}));
    EXPECT_EQ(r.NewDatabases().size(), 12);
    EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stOK));
}

TEST_F(EngineParallel, ARefusedPageEndsTheRunAndListsWhatRanAlongside)
{
    class TRefusing : public TExecRecorder {
    public:
        QString Refused;
        int ExecNewDB(const QString& instanceName, const QString& databaseName) override
        {
            TExecRecorder::ExecNewDB(instanceName, databaseName);
            return databaseName == Refused ? 1 : 0;
        }
    };
    TServer server(0);
    TInstanceAndDBArr dbs;
    for (int i = 0; i < 6; ++i)
        dbs << server.Create(QStringLiteral("page%1").arg(i));
    const QString file = WriteScript(QStringLiteral("page.sql"), QStringLiteral("INSERT INTO t VALUES (1)\r\n"));

    TRefusing sequential;
    sequential.Refused = dbs[2].DatabaseName;
    RunToEnd(sequential, {file}, dbs, Config(true, true, 1));
    for (int i = 0; i < 6; ++i)
        server.Exec(dbs[i].DatabaseName, QStringLiteral("DELETE FROM t"));

    TRefusing r;
    r.Refused = dbs[2].DatabaseName;
    RunToEnd(r, {file}, dbs, Config(true, true, 3));
    const QStringList logs = r.Logs();
    const QString dump = logs.join(QLatin1Char('\n'));
    EXPECT_EQ(WithoutAlongside(logs), sequential.Logs()) << dump.toStdString();
    EXPECT_TRUE(logs.contains(Tab + QStringLiteral("Error: Can't append result page."))) << dump.toStdString();
    // The refused database itself ran on (its work is not hidden), and so may
    // the two after it; nothing later started.
    const QStringList alongside = AlongsideLines(logs);
    ASSERT_FALSE(alongside.isEmpty()) << dump.toStdString();
    EXPECT_TRUE(alongside.first().startsWith(Tab + QStringLiteral("[%1].[%2").arg(dbs[2].InstanceName, dbs[2].DatabaseName)))
        << dump.toStdString();
    EXPECT_LE(alongside.size(), 3);
    for (qsizetype k = 0; k < alongside.size(); ++k) {
        const QString& db = dbs[2 + k].DatabaseName;
        EXPECT_EQ(server.Rows(db), alongside[k].contains(QStringLiteral("executed successfully")) ? QStringList{"1"}
                                                                                                   : QStringList{})
            << alongside[k].toStdString();
    }
    for (int i = 5; i < 6; ++i)
        EXPECT_TRUE(server.Rows(dbs[i].DatabaseName).isEmpty());
    EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));
}
