// Whole runs of TExecThread against a real peer: the execution log line by
// line, the notifications, transactions, the error policy, stop, warnings,
// result capture and the bad-input cases.
#include "EngineServer.h"
#include "ExecRecorder.h"
#include "ExpectedRunLog.h"
#include "ProcessMemory.h"

#include "untOdbcConnection.h"

#include <QElapsedTimer>
#include <QFile>

#include <thread>

namespace {

QString Banner(const char* text)
{
    return CenterTitle(QString::fromLatin1(text));
}

const QString Tab = QStringLiteral("    ");

class EngineRun : public ServerTest {
protected:
    // A database with table t (a int).
    QString DatabaseWithTable(const QString& name)
    {
        const QString db = Server->CreateDatabase(name);
        Server->Exec(db, QStringLiteral("CREATE TABLE t (a int)"));
        return db;
    }
    QStringList Column(const QString& db, const QString& sql) { return Server->Query(db, sql); }
};

} // namespace

TEST_P(EngineRun, TheExecutionLogLineByLine)
{
    const QString db1 = Server->CreateDatabase(QStringLiteral("first"));
    const QString db2 = Server->CreateDatabase(QStringLiteral("second"));
    Server->Exec(db1, QStringLiteral("CREATE TABLE only_here (a int)"));
    const QStringList files = {WriteScript(QStringLiteral("01.sql"), QStringLiteral("SELECT 1 AS one\r\n")),
                               WriteScript(QStringLiteral("02.sql"), QStringLiteral("SELECT a FROM only_here\r\n"))};
    const TInstanceAndDBArr dbs = {Server->Database(db1), Server->Database(db2)};
    const QString error = QStringLiteral("Invalid object name 'only_here'.");
    const QString instance = Server->Instance();

    {
        TExecRecorder r;
        RunToEnd(r, files, dbs, RunConfig(true, true));
        const QStringList expected = TwoDatabaseRunLog(instance, db1, db2, error, true);
        ASSERT_EQ(expected.size(), 28);
        EXPECT_EQ(r.Logs(), expected);
        EXPECT_EQ(r.Values(WM_EXEC_STATUS), (QList<int>{stConstruct, stExec, stFail}));
        EXPECT_EQ(r.Values(WM_EXEC_PERCENT), (QList<int>{0, 50, 100}));
        EXPECT_EQ(r.NewDatabases(), (QStringList{db1, db2}));
    }
    {
        // Without ContinueOnError the same error ends the run after line 15.
        TExecRecorder r;
        RunToEnd(r, files, dbs, RunConfig(true, false));
        EXPECT_EQ(r.Logs(), TwoDatabaseRunLog(instance, db1, db2, error, false));
        EXPECT_EQ(r.Values(WM_EXEC_STATUS), (QList<int>{stConstruct, stExec, stFail}));
        EXPECT_EQ(r.Values(WM_EXEC_PERCENT), (QList<int>{0, 50}));
    }
}

TEST_P(EngineRun, ErrorInTheThirdBatchWithAndWithoutTransaction)
{
    const QString script = QStringLiteral("INSERT INTO t VALUES (1)\r\nGO\r\nINSERT INTO t VALUES (2)\r\ngo\r\n"
                                          "SELECT * FROM missing_table\r\nGO\r\nINSERT INTO t VALUES (4)\r\n");
    struct Case {
        bool trans;
        QStringList rows;
        QString line;
    };
    const Case cases[] = {
        {true, {}, Tab + QStringLiteral("f.sql Error occurred and transation rollback.")},
        {false, {QStringLiteral("1"), QStringLiteral("2")}, Tab + QStringLiteral("f.sql Error occurred.")},
    };
    const QString file = WriteScript(QStringLiteral("f.sql"), script);
    for (const Case& c : cases) {
        const QString db = DatabaseWithTable(c.trans ? QStringLiteral("with_trans") : QStringLiteral("without"));
        TExecRecorder r;
        RunToEnd(r, {file}, {Server->Database(db)}, RunConfig(c.trans, true));
        EXPECT_EQ(Column(db, QStringLiteral("SELECT a FROM t ORDER BY a")), c.rows) << c.trans;
        EXPECT_TRUE(r.Logs().contains(c.line)) << r.Logs().join(QLatin1Char('\n')).toStdString();
        // The message tab: the file header, two counts, then the error after an empty line.
        const QStringList msgs = r.Msgs();
        ASSERT_GE(msgs.size(), 5);
        EXPECT_EQ(msgs[0], QStringLiteral("------") + file + QStringLiteral("------"));
        EXPECT_EQ(msgs[1], QStringLiteral("( 1 rows were affected.)"));
        EXPECT_EQ(msgs[2], QStringLiteral("( 1 rows were affected.)"));
        EXPECT_EQ(msgs[3], QString());
        EXPECT_EQ(msgs[4], QStringLiteral("Invalid object name 'missing_table'."));
    }
}

TEST_P(EngineRun, ContinueOnErrorBothWays)
{
    const QStringList files = {
        WriteScript(QStringLiteral("a.sql"), QStringLiteral("INSERT INTO t VALUES (1)\r\nGO\r\nSELECT * FROM nope\r\n")),
        WriteScript(QStringLiteral("b.sql"), QStringLiteral("INSERT INTO t VALUES (2)\r\n")),
    };
    for (const bool goOn : {true, false}) {
        const QString db1 = DatabaseWithTable(QStringLiteral("one"));
        const QString db2 = DatabaseWithTable(QStringLiteral("two"));
        TExecRecorder r;
        RunToEnd(r, files, {Server->Database(db1), Server->Database(db2)}, RunConfig(false, goOn));
        // The file after the failing one is not run; without a transaction the
        // first batch stays.
        EXPECT_EQ(Column(db1, QStringLiteral("SELECT a FROM t ORDER BY a")), QStringList{"1"});
        EXPECT_EQ(Column(db2, QStringLiteral("SELECT a FROM t ORDER BY a")),
                  goOn ? QStringList{"1"} : QStringList{});
        EXPECT_EQ(r.NewDatabases(), goOn ? (QStringList{db1, db2}) : QStringList{db1});
        const QStringList logs = r.Logs();
        EXPECT_EQ(logs.count(QStringLiteral("SQL File:a.sql")), goOn ? 2 : 0);
        EXPECT_EQ(logs.count(Banner("Error list begin")), goOn ? 1 : 0);
        EXPECT_EQ(logs.last(), goOn ? Banner("Error list end") : Banner("Execution completed but errors occured"));
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));
    }
}

TEST_P(EngineRun, ConnectionFailuresAreErrorsOfTheDatabaseStep)
{
    const QString good = DatabaseWithTable(QStringLiteral("good"));
    TInstanceAndDBInfo wrongPassword = Server->Database(good);
    wrongPassword.UserPWD += QStringLiteral("x");
    const TInstanceAndDBInfo unknown = Server->Database(QStringLiteral("no_such_db"));
    TInstanceAndDBInfo nobody = Server->Database(good);
    nobody.InstanceName = QStringLiteral("127.0.0.1,1");  // nothing listens on port 1
    const QStringList files = {WriteScript(QStringLiteral("ins.sql"), QStringLiteral("INSERT INTO t VALUES (7)\r\n"))};
    const TInstanceAndDBArr dbs = {wrongPassword, unknown, nobody, Server->Database(good)};

    {
        TExecRecorder r;
        RunToEnd(r, files, dbs, RunConfig(true, true));
        const QStringList logs = r.Logs();
        EXPECT_EQ(logs.count(QStringLiteral("Database:") + good), 2);
        EXPECT_EQ(logs.count(QStringLiteral("Database:no_such_db")), 1);
        EXPECT_EQ(logs.filter(QStringLiteral("SQL File:")).size(), 0);
        EXPECT_TRUE(logs.filter(QStringLiteral("Error Message:Login failed for user")).size() == 1)
            << logs.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(logs.filter(QStringLiteral("Error occurred")).size(), 0);  // no per-file line
        EXPECT_TRUE(logs.contains(Tab + QStringLiteral("ins.sql was executed successfully.")));
        EXPECT_EQ(Column(good, QStringLiteral("SELECT a FROM t")), QStringList{"7"});
        EXPECT_EQ(r.Values(WM_EXEC_PERCENT), (QList<int>{0, 25, 50, 75, 100}));
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));
    }
    {
        TExecRecorder r;
        RunToEnd(r, files, dbs, RunConfig(true, false));
        EXPECT_EQ(r.NewDatabases(), QStringList{good});
        const QStringList logs = r.Logs();
        ASSERT_GE(logs.size(), 4);
        EXPECT_TRUE(logs[logs.size() - 3].startsWith(Tab + QStringLiteral("Login failed for user")));
        EXPECT_EQ(Column(good, QStringLiteral("SELECT a FROM t")), QStringList{"7"});
    }
}

TEST_P(EngineRun, ResultSetsNamesAndCounts)
{
    const QString db = DatabaseWithTable(QStringLiteral("results"));
    const QString file = WriteScript(QStringLiteral("r.sql"),
                                     QStringLiteral("INSERT INTO t VALUES (1), (2), (3)\r\nGO\r\n"
                                                    "SELECT 1, 2\r\nSELECT 1 AS a, 2 AS A\r\nGO\r\n"
                                                    "  \r\n\t\r\nGO\r\n"
                                                    "-- only a comment\r\nGO\r\n"
                                                    "SELECT a FROM t WHERE a > 100\r\n"));
    for (const bool receive : {true, false}) {
        TExecRecorder r;
        RunToEnd(r, {file}, {Server->Database(db)}, RunConfig(true, true, receive));
        const QList<TResultSnapshot> results = r.Results();
        const QStringList msgs = r.Msgs();
        EXPECT_EQ(msgs.count(QStringLiteral("( 3 rows were affected.)")), 1);
        EXPECT_EQ(msgs.filter(QStringLiteral("rows were affected")).size(), 1);  // SELECTs log no count
        if (!receive) {
            EXPECT_TRUE(results.isEmpty());
            EXPECT_TRUE(msgs.filter(QStringLiteral("(retrieved")).isEmpty());
            continue;
        }
        ASSERT_EQ(results.size(), 3);
        EXPECT_EQ(results[0].Column(0).Name, QStringLiteral("COLUMN1"));
        EXPECT_EQ(results[0].Column(1).Name, QStringLiteral("COLUMN2"));
        EXPECT_EQ(results[1].Column(0).Name, QStringLiteral("a"));
        EXPECT_EQ(results[1].Column(1).Name, QStringLiteral("A_1"));
        EXPECT_EQ(results[0].DisplayText(0, 1), QStringLiteral("2"));
        EXPECT_EQ(results[2].RowCount(), 0);  // an empty result set is still a result
        EXPECT_EQ(msgs.filter(QStringLiteral("(retrieved")),
                  (QStringList{"(retrieved 1 rows)", "(retrieved 1 rows)", "(retrieved 0 rows)"}));
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stOK));
    }
}

TEST_P(EngineRun, TypeMappingOfCapturedResults)
{
    const QString db = Server->CreateDatabase(QStringLiteral("types"));
    const QString file = WriteScript(
        QStringLiteral("types.sql"),
        QStringLiteral("SELECT CAST(1 AS bit) AS b1, CAST(0 AS bit) AS b0, CAST(NULL AS bit) AS bn, "
                       "CAST(1.5 AS decimal(18,2)) AS d18, CAST(12345678901234567.25 AS decimal(20,2)) AS d20, "
                       "CAST(1.123456 AS decimal(10,6)) AS d10, CAST(123456789 AS numeric(9,0)) AS n9, "
                       "CAST('6F9619FF-8B86-D011-B42D-00C04FC964FF' AS uniqueidentifier) AS g, "
                       "CAST('2024-02-29' AS date) AS dd, CAST('13:14:15.1234567' AS time) AS tt, "
                       "CAST('2024-02-29 13:14:15.123' AS datetime) AS dt, "
                       "CAST('2024-02-29 13:14:15.1234567' AS datetime2) AS dt2, "
                       "CAST(0x0102 AS binary(4)) AS bin, CAST(N'x' AS nvarchar(40)) AS s, "
                       "CAST(7 AS tinyint) AS ti, CAST(12.5 AS money) AS m\r\n"));
    TExecRecorder r;
    RunToEnd(r, {file}, {Server->Database(db)}, RunConfig(true, true));
    ASSERT_EQ(r.Results().size(), 1) << r.Logs().join(QLatin1Char('\n')).toStdString();
    const TResultSnapshot s = r.Results()[0];
    struct Expect {
        const char* name;
        TFieldType type;
        int size, precision;
        const char* text;
    };
    const Expect expected[] = {
        {"b1", ftSmallint, 0, 0, "1"},
        {"b0", ftSmallint, 0, 0, "0"},
        {"bn", ftSmallint, 0, 0, ""},
        {"d18", ftBCD, 2, 18, "1.50"},
        {"d20", ftFMTBcd, 2, 20, "12345678901234567.25"},
        {"d10", ftFMTBcd, 6, 10, "1.123456"},
        {"n9", ftInteger, 0, 0, "123456789"},
        {"g", ftGuid, 38, 0, "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
        {"dd", ftDate, 0, 0, "2024-02-29"},
        {"tt", ftTime, 0, 0, "13:14:15.1234567"},
        {"dt", ftDateTime, 0, 0, "2024-02-29 13:14:15.123"},
        {"dt2", ftDateTime, 0, 0, "2024-02-29 13:14:15.1234567"},
        {"bin", ftBytes, 4, 0, "0x01020000"},
        {"s", ftWideString, 40, 0, "x"},
        {"ti", ftWord, 0, 0, "7"},
        {"m", ftBCD, 4, 19, "12.5000"},
    };
    ASSERT_EQ(s.ColumnCount(), int(std::size(expected)));
    ASSERT_EQ(s.RowCount(), 1);
    for (int i = 0; i < s.ColumnCount(); ++i) {
        const Expect& e = expected[i];
        EXPECT_EQ(s.Column(i).Name, QString::fromLatin1(e.name));
        EXPECT_STREQ(FieldTypeName(s.Column(i).Type), FieldTypeName(e.type)) << e.name;
        EXPECT_EQ(s.Column(i).Size, e.size) << e.name;
        EXPECT_EQ(s.Column(i).Precision, e.precision) << e.name;
        EXPECT_EQ(s.DisplayText(0, i), QString::fromLatin1(e.text)) << e.name;
    }
    EXPECT_TRUE(s.Column(0).IsTruth);
    EXPECT_TRUE(s.IsNull(0, 2));
}

TEST_P(EngineRun, NoFilesSendsNothingAndNoDatabasesStillRuns)
{
    {
        TExecRecorder r;
        RunToEnd(r, {}, {Server->Database(QStringLiteral("master"))}, RunConfig(true, true));
        EXPECT_TRUE(r.Events.empty());
    }
    TExecRecorder r;
    RunToEnd(r, {WriteScript(QStringLiteral("x.sql"), QStringLiteral("SELECT 1\r\n"))}, {}, RunConfig(true, true));
    EXPECT_EQ(r.Ids(), (QList<TExecMessage>{WM_EXEC_START, WM_EXEC_LOGS, WM_EXEC_STATUS, WM_EXEC_LOGS, WM_EXEC_LOGS,
                                             WM_EXEC_LOGS, WM_EXEC_STATUS, WM_EXEC_PERCENT, WM_EXEC_LOGS,
                                             WM_EXEC_STATUS}));
    EXPECT_EQ(r.Values(WM_EXEC_PERCENT), QList<int>{0});
    EXPECT_EQ(r.Values(WM_EXEC_STATUS), (QList<int>{stConstruct, stExec, stOK}));
    EXPECT_EQ(r.Logs().last(), Banner("Execution completed successfully"));
}

TEST_P(EngineRun, ProgressAndNotificationOrderOverThreeDatabases)
{
    TInstanceAndDBArr dbs;
    for (const char* name : {"p1", "p2", "p3"})
        dbs << Server->Database(Server->CreateDatabase(QString::fromLatin1(name)));
    TExecRecorder r;
    RunToEnd(r, {WriteScript(QStringLiteral("s.sql"), QStringLiteral("SELECT 1 AS x\r\n"))}, dbs,
             RunConfig(true, true));
    EXPECT_EQ(r.Values(WM_EXEC_PERCENT), (QList<int>{0, 33, 67, 100}));
    // Per database: begin line, page, file header, result messages, result, count, file line, progress.
    const QList<TExecMessage> perDatabase = {WM_EXEC_LOGS, WM_EXEC_NEWDB, WM_EXEC_MSGS,   WM_EXEC_MSGS,
                                             WM_EXEC_RESULT, WM_EXEC_MSGS, WM_EXEC_LOGS, WM_EXEC_PERCENT};
    QList<TExecMessage> expected = {WM_EXEC_START, WM_EXEC_LOGS,   WM_EXEC_STATUS, WM_EXEC_LOGS,
                                    WM_EXEC_LOGS,  WM_EXEC_LOGS,   WM_EXEC_STATUS, WM_EXEC_PERCENT};
    for (int i = 0; i < 3; ++i)
        expected += perDatabase;
    expected += {WM_EXEC_LOGS, WM_EXEC_STATUS};
    EXPECT_EQ(r.Ids(), expected);
}

TEST_P(EngineRun, StopDuringALongBatchLetsItFinishAndRunsNoMore)
{
    const QString file = WriteScript(QStringLiteral("slow.sql"),
                                     QStringLiteral("INSERT INTO t VALUES (1)\r\nWAITFOR DELAY '00:00:02'\r\nGO\r\n"
                                                    "INSERT INTO t VALUES (2)\r\n"));
    for (const bool trans : {false, true}) {
        const QString db = DatabaseWithTable(trans ? QStringLiteral("stop_trans") : QStringLiteral("stop_plain"));
        TExecRecorder r;
        RunToEnd(r, {file}, {Server->Database(db)}, RunConfig(trans, true), [&](TExecThread& thread) {
            if (!trans) {
                // The first INSERT is visible once the batch is under way: stop then.
                for (int i = 0; i < 200 && Column(db, QStringLiteral("SELECT a FROM t")).isEmpty(); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(25));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
            thread.Terminate();
        });
        EXPECT_EQ(Column(db, QStringLiteral("SELECT a FROM t ORDER BY a")), trans ? QStringList{} : QStringList{"1"});
        const QStringList logs = r.Logs();
        ASSERT_GE(logs.size(), 3);
        EXPECT_EQ(logs[logs.size() - 3],
                  Tab + QStringLiteral("User has canceled current operation.")
                      + (trans ? QStringLiteral(" transation rollback.") : QString()));
        EXPECT_EQ(logs.last(), Banner("Execution completed but errors occured"));
        EXPECT_EQ(logs.filter(QStringLiteral("Error list")).size(), 0);
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));
    }
}

TEST_P(EngineRun, UseAndGoNWarningDeclinedAndAccepted)
{
    const QString db = DatabaseWithTable(QStringLiteral("warned"));
    const QString plain = WriteScript(QStringLiteral("plain.sql"), QStringLiteral("INSERT INTO t VALUES (1)\r\n"));
    const QString flagged = WriteScript(QStringLiteral("flagged.sql"),
                                        QStringLiteral("use ") + db + QStringLiteral("\r\nINSERT INTO t VALUES (2)\r\n"));
    const QString list = QStringLiteral("\r\n") + flagged;
    {
        TExecRecorder r;
        r.WarnReply = 1;
        RunToEnd(r, {plain, flagged}, {Server->Database(db)}, RunConfig(true, true));
        const QStringList logs = r.Logs();
        const qsizetype at = logs.indexOf(Banner("Split SQL statments successfully"));
        ASSERT_GE(at, 0);
        EXPECT_EQ(logs[at + 1], QStringLiteral("Warning: the following SQL files use \"use\" or \"go N\" statements:"));
        EXPECT_EQ(logs[at + 2], list);
        EXPECT_EQ(logs.mid(at + 3), (QStringList{QString(), Tab + QStringLiteral("User has canceled current operation."),
                                                 QString(), Banner("Execution completed but errors occured")}));
        EXPECT_TRUE(r.NewDatabases().isEmpty());
        ASSERT_EQ(r.Values(WM_EXEC_WARN).size(), 1);
        EXPECT_EQ(r.Values(WM_EXEC_STATUS), (QList<int>{stConstruct, stFail}));
    }
    {
        TExecRecorder r;
        RunToEnd(r, {plain, flagged}, {Server->Database(db)}, RunConfig(true, true));
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stOK)) << r.Logs().join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(Column(db, QStringLiteral("SELECT a FROM t ORDER BY a")), (QStringList{"1", "2"}));
    }
}

TEST_P(EngineRun, StopBeforeSplittingEndsWithoutRollbackText)
{
    TExecRecorder r;
    TExecThread thread(&r, {WriteScript(QStringLiteral("a.sql"), QStringLiteral("SELECT 1\r\n"))},
                       {Server->Database(QStringLiteral("master"))}, RunConfig(true, true));
    thread.Terminate();
    thread.Start();
    thread.Wait();
    EXPECT_EQ(r.Logs(), (QStringList{QString(), Banner("Begin to split SQL statments"), QString(),
                                     Tab + QStringLiteral("User has canceled current operation."), QString(),
                                     Banner("Execution completed but errors occured")}));
    EXPECT_EQ(r.Values(WM_EXEC_STATUS), (QList<int>{stConstruct, stFail}));
    EXPECT_TRUE(thread.Failed());
}

TEST_P(EngineRun, RefusedPageAndMissingFileEndTheRun)
{
    const QString db = DatabaseWithTable(QStringLiteral("refused"));
    const QString file = WriteScript(QStringLiteral("ok.sql"), QStringLiteral("INSERT INTO t VALUES (1)\r\n"));
    {
        TExecRecorder r;
        r.NewDBReply = 1;
        RunToEnd(r, {file}, {Server->Database(db), Server->Database(db)}, RunConfig(true, true));
        const QStringList logs = r.Logs();
        EXPECT_EQ(logs.mid(logs.size() - 4), (QStringList{QString(), Tab + QStringLiteral("Error: Can't append result page."),
                                                          QString(), Banner("Execution completed but errors occured")}));
        EXPECT_EQ(r.NewDatabases().size(), 1);
        EXPECT_TRUE(Column(db, QStringLiteral("SELECT a FROM t")).isEmpty());
    }
    {
        const QString missing = FDir.filePath(QStringLiteral("missing.sql"));
        TExecRecorder r;
        RunToEnd(r, {file, missing}, {Server->Database(db)}, RunConfig(true, true));
        const QStringList logs = r.Logs();
        EXPECT_EQ(logs.mid(logs.size() - 3, 1),
                  QStringList{Tab + QStringLiteral("File:") + missing + QStringLiteral(" does not exist.")});
        EXPECT_TRUE(r.NewDatabases().isEmpty());
        EXPECT_EQ(r.Values(WM_EXEC_STATUS), (QList<int>{stConstruct, stFail}));
    }
}

TEST_P(EngineRun, AFiftyMegabyteBatchEndsCleanly)
{
    const QString db = DatabaseWithTable(QStringLiteral("big"));
    QString text = QStringLiteral("INSERT INTO t VALUES (1)\r\n");
    const QString line = QStringLiteral("-- ") + QString(97, QLatin1Char('x')) + QStringLiteral("\r\n");
    text.reserve(50 * 1024 * 1024 + 1024);
    while (text.size() < 50 * 1024 * 1024)
        text += line;
    const QString big = WriteScript(QStringLiteral("big.sql"), text);
    const QString small = WriteScript(QStringLiteral("small.sql"), QStringLiteral("INSERT INTO t VALUES (2)\r\n"));
    TExecRecorder r;
    RunToEnd(r, {big, small}, {Server->Database(db)}, RunConfig(true, true));
    const QStringList logs = r.Logs();
    if (logs.contains(Tab + QStringLiteral("big.sql was executed successfully."))) {
        EXPECT_EQ(Column(db, QStringLiteral("SELECT a FROM t ORDER BY a")), (QStringList{"1", "2"}));
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stOK));
    } else {
        // Refused by the server: a clear error, rolled back, the run ended in order.
        EXPECT_TRUE(logs.contains(Tab + QStringLiteral("big.sql Error occurred and transation rollback.")));
        EXPECT_EQ(logs.filter(QStringLiteral("Error Message:")).size(), 1);
        EXPECT_TRUE(Column(db, QStringLiteral("SELECT a FROM t")).isEmpty());
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));
    }
}

TEST_P(EngineRun, AConnectionDroppedMidResultIsRolledBackAndTheRunGoesOn)
{
    const QString file = WriteScript(QStringLiteral("drop.sql"),
                                     QStringLiteral("INSERT INTO t VALUES (1)\r\nSELECT @@SPID AS spid\r\n"
                                                    "SELECT a.s FROM pad a CROSS JOIN pad b\r\n"));
    QStringList values;
    for (int i = 0; i < 1000; ++i)
        values << QStringLiteral("(N'%1')").arg(QString(150, QLatin1Char('p')));
    for (const bool goOn : {true, false}) {
        // Fresh databases each time: the killed session's locks are the server's business.
        const QString db1 = DatabaseWithTable(goOn ? QStringLiteral("dropped_go_on") : QStringLiteral("dropped_stop"));
        const QString db2 = DatabaseWithTable(goOn ? QStringLiteral("after_go_on") : QStringLiteral("after_stop"));
        // About 300 MB of rows in db1: far more than any socket buffer holds.
        Server->Exec(db1, QStringLiteral("CREATE TABLE pad (s nvarchar(200))"));
        Server->Exec(db1, QStringLiteral("INSERT INTO pad VALUES ") + values.join(QLatin1Char(',')));
        Server->Exec(db2, QStringLiteral("CREATE TABLE pad (s nvarchar(200))"));
        TExecRecorder r;
        bool killed = false;
        r.OnEvent = [&](const TExecEvent& e) {
            // The first result holds the session's id: end that session from outside.
            if (e.Id == WM_EXEC_RESULT && !killed) {
                killed = true;
                Server->Exec(QStringLiteral("master"), QStringLiteral("KILL ") + e.Snapshot.DisplayText(0, 0));
            }
        };
        RunToEnd(r, {file}, {Server->Database(db1), Server->Database(db2)}, RunConfig(true, goOn));
        const QStringList logs = r.Logs();
        ASSERT_TRUE(killed) << logs.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(logs.count(Tab + QStringLiteral("drop.sql Error occurred and transation rollback.")), 1)
            << logs.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(Column(db1, QStringLiteral("SELECT a FROM t")).isEmpty());
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));
        if (goOn) {
            EXPECT_EQ(logs.filter(QStringLiteral("Error Message:")).size(), 1);
            EXPECT_EQ(r.NewDatabases(), (QStringList{db1, db2}));
            EXPECT_EQ(Column(db2, QStringLiteral("SELECT a FROM t")), QStringList{"1"});
        } else {
            EXPECT_EQ(r.NewDatabases(), QStringList{db1});
            EXPECT_TRUE(Column(db2, QStringLiteral("SELECT a FROM t")).isEmpty());
        }
    }
}


TEST_P(EngineRun, TenMillionRowsGrowMemoryWithTheDataOnly)
{
#ifdef ORVEXA_SANITIZER
    GTEST_SKIP() << "the " ORVEXA_SANITIZER " build's shadow memory and quarantine make peak memory no measure "
                    "of the result table";
#endif
    const QString db = Server->CreateDatabase(QStringLiteral("tenmillion"));
    QStringList values;
    for (int i = 0; i < 1000; ++i)
        values << QStringLiteral("(%1)").arg(i);
    Server->Exec(db, QStringLiteral("CREATE TABLE n (i int)"));
    Server->Exec(db, QStringLiteral("CREATE TABLE m (i int)"));
    Server->Exec(db, QStringLiteral("INSERT INTO n VALUES ") + values.join(QLatin1Char(',')));
    Server->Exec(db, QStringLiteral("INSERT INTO m VALUES (0), (1), (2), (3), (4), (5), (6), (7), (8), (9)"));
    const QString file = WriteScript(QStringLiteral("ten.sql"),
                                     QStringLiteral("SELECT CAST(a.i * 10000 + b.i * 10 + c.i AS int) AS v "
                                                    "FROM n a CROSS JOIN n b CROSS JOIN m c\r\n"));
    // The peak of this process from here on (Linux: writing 5 resets it).
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    const bool peakReset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    clear.close();
    const qint64 baseKb = StatusKb("VmRSS:");

    TExecRecorder r;
    RunToEnd(r, {file}, {Server->Database(db)}, RunConfig(false, true));
    ASSERT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stOK)) << r.Logs().join(QLatin1Char('\n')).toStdString();
    ASSERT_EQ(r.Results().size(), 1);
    const TResultSnapshot s = r.Results()[0];
    ASSERT_EQ(s.RowCount(), 10000000);
    EXPECT_STREQ(FieldTypeName(s.Column(0).Type), "ftInteger");
    qint64 sum = 0;
    for (qint64 row = 0; row < s.RowCount(); ++row)
        sum += s.AsInteger(row, 0);
    EXPECT_EQ(sum, 49999995000000LL);  // every value 0 .. 9,999,999 once
    EXPECT_TRUE(r.Msgs().contains(QStringLiteral("(retrieved 10000000 rows)")));

    // 40 MB of values: the run may hold them and a little more, never a copy
    // per stage or the whole stream in buffers.
    if (peakReset) {
        const qint64 growthMb = (StatusKb("VmHWM:") - baseKb) / 1024;
        EXPECT_LE(growthMb, 2 * 40 + 32) << "peak growth " << growthMb << " MB for 40 MB of values";
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, EngineRun, ORVEXA_SERVER_KINDS);
