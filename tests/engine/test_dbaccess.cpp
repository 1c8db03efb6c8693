// The server-access layer against a real peer: logins, awkward credentials,
// results, counts, messages in order, errors, types, transactions, cancels, and a
// connection that the server drops in the middle of a result.
#include "EngineServer.h"
#include "SilentServer.h"

#include "untDBAccess.h"
#include "untOdbcConnection.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <thread>

namespace {

// Every result of a batch, as the layer reports it.
struct TResultTrace {
    qint64 Affected = -1;
    bool Open = false;
    QStringList Messages;
    QList<QStringList> Rows;  // values as text, "NULL" for null
};

QList<TResultTrace> RunBatch(TDBConnection& connection, const QString& sql)
{
    auto command = connection.CreateCommand();
    command->SetCommandText(sql);
    QList<TResultTrace> out;
    qint64 affected = -1;
    auto rs = command->Execute(affected);
    do {
        TResultTrace t;
        t.Affected = affected;
        t.Open = rs->State() == adStateOpen;
        for (const TDBMessage& m : connection.Errors())
            t.Messages << m.Description;
        for (; t.Open && !rs->Eof(); rs->MoveNext()) {
            QStringList row;
            for (int i = 0; i < rs->FieldCount(); ++i)
                row << (rs->IsNull(i) ? QStringLiteral("NULL") : rs->AsString(i).toString());
            t.Rows << row;
        }
        out << t;
    } while (rs->NextRecordset(affected));
    return out;
}

class DBAccess : public ServerTest {
protected:
    std::unique_ptr<TDBConnection> Open(const QString& database = QStringLiteral("master"))
    {
        auto c = CreateDBConnection();
        c->Open(TDBConnectionData::From(Server->Database(database)));
        return c;
    }
};

class AwkwardLogin : public ServerTest {
protected:
    static QString User() { return QStringLiteral("odd ;{user}= 'x\""); }
    static QString Password() { return QStringLiteral("p;a{s}}s=w'o\"r d "); }
    QStringList ExtraLogins() const override { return {User() + QLatin1Char(':') + Password()}; }
};

} // namespace

TEST_P(DBAccess, OpensClosesAndReportsState)
{
    auto c = CreateDBConnection();
    EXPECT_EQ(c->State(), adStateClosed);
    c->SetConnectionTimeout(30);
    EXPECT_EQ(c->ConnectionTimeout(), 30);
    c->Open(TDBConnectionData::From(Server->Database(QStringLiteral("master"))));
    EXPECT_EQ(c->State(), adStateOpen);
    EXPECT_FALSE(c->DriverName().isEmpty());
    const auto r = RunBatch(*c, QStringLiteral("SELECT DB_NAME() AS name"));
    ASSERT_FALSE(r.isEmpty());
    EXPECT_EQ(r[0].Rows, QList<QStringList>{{QStringLiteral("master")}});
    c->Close();
    EXPECT_EQ(c->State(), adStateClosed);
    c->Close();  // closing twice is harmless
    EXPECT_NO_THROW(TestDBConnection(Server->Login()));
}

TEST_P(DBAccess, ServerNamesAsDbasTypeThem)
{
    if (!Server->IsSandbox())
        GTEST_SKIP() << "the forms are checked against a server on this machine";
    const QString port = Server->Instance().section(QLatin1Char(','), 1);
    for (const QString& name : {QStringLiteral("127.0.0.1,") + port, QStringLiteral("tcp:127.0.0.1,") + port,
                                QStringLiteral(" TCP:127.0.0.1 , ") + port, QStringLiteral("(local),") + port,
                                QStringLiteral(".,") + port, QStringLiteral("localhost,") + port}) {
        TInstanceInfo login = Server->Login();
        login.InstanceName = name;
        EXPECT_NO_THROW(TestDBConnection(login)) << name.toStdString();
    }
}

TEST_P(DBAccess, LoginFailuresCarryTheServersText)
{
    TInstanceInfo wrong = Server->Login();
    wrong.UserPWD += QStringLiteral("-wrong");
    try {
        TestDBConnection(wrong);
        FAIL() << "a wrong password connected";
    } catch (const EDBError& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Login failed for user '") + wrong.UserName))
            << e.Message().toStdString();
    }
    try {
        TestDBConnection(Server->Login(), QStringLiteral("no_such_database_here"));
        FAIL() << "an unknown database connected";
    } catch (const EDBError& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("no_such_database_here"))) << e.Message().toStdString();
    }
}

TEST_P(DBAccess, NothingListeningFailsWithoutHanging)
{
    if (!Server->IsSandbox())
        GTEST_SKIP() << "needs a server this test can stop";
    const TInstanceInfo login = Server->Login();
    Server->StopSandbox();
    auto c = CreateDBConnection();
    c->SetConnectionTimeout(5);
    try {
        c->Open(TDBConnectionData::From(login));
        FAIL() << "connected to a stopped server";
    } catch (const EDBError& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Cannot connect to ") + login.InstanceName + QLatin1Char(':')))
            << e.Message().toStdString();
    }
    EXPECT_EQ(c->State(), adStateClosed);
}

// A server that accepts the connection and never answers: the attempt ends
// at its login time-out with a text that names the instance.
TEST_P(DBAccess, ASilentServerFailsAtTheLoginTimeout)
{
    TSilentServer silent;
    TInstanceInfo login = Server->Login();
    login.InstanceName = silent.Instance();
    const struct {
        int Timeout;         // set on the connection
        const char* Limit;   // ORVEXA_TEST_LOGIN_TIMEOUT, or null
        const char* Expected;
    } cases[] = {
        {2, nullptr, "did not answer within 2 seconds."},
        {30, "1", "did not answer within 1 second."},  // the tests' limit wins over a longer time-out
        {1, "5", "did not answer within 1 second."},   // and never lengthens a shorter one
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Timeout);
        if (c.Limit)
            qputenv("ORVEXA_TEST_LOGIN_TIMEOUT", c.Limit);
        else
            qunsetenv("ORVEXA_TEST_LOGIN_TIMEOUT");
        auto connection = CreateDBConnection();
        connection->SetConnectionTimeout(c.Timeout);
        QString message;
        FinishesWithin(std::chrono::seconds(40), "a connection to a silent server", [&] {
            try {
                connection->Open(TDBConnectionData::From(login));
            } catch (const EDBError& e) {
                message = e.Message();
            }
        });
        EXPECT_EQ(message, QStringLiteral("Login timeout expired: ") + silent.Instance() + QLatin1Char(' ')
                               + QLatin1String(c.Expected));
        EXPECT_EQ(connection->State(), adStateClosed);
    }
    qunsetenv("ORVEXA_TEST_LOGIN_TIMEOUT");
}

TEST_P(DBAccess, CountsResultsAndMessagesInTheServersOrder)
{
    const QString db = Server->CreateDatabase(QStringLiteral("counts"));
    auto c = Open(db);
    const auto r = RunBatch(*c, QStringLiteral("CREATE TABLE t (a int, b nvarchar(10))\r\n"
                                               "PRINT 'one'\r\n"
                                               "INSERT INTO t VALUES (1, N'x'), (2, NULL), (3, N'z')\r\n"
                                               "SELECT a, b FROM t ORDER BY a\r\n"
                                               "PRINT 'two'\r\n"
                                               "RAISERROR('three', 10, 1)\r\n"
                                               "DELETE FROM t WHERE a > 5\r\n"
                                               "SELECT a FROM t WHERE a = 2\r\n"));
    QStringList messages;
    QList<qint64> counts;
    QList<QList<QStringList>> rowsets;
    for (const auto& t : r) {
        messages += t.Messages;
        if (t.Affected >= 0)
            counts << t.Affected;
        if (t.Open)
            rowsets << t.Rows;
    }
    EXPECT_EQ(messages, (QStringList{"one", "two", "three"}));
    EXPECT_EQ(counts, (QList<qint64>{3, 0}));
    ASSERT_EQ(rowsets.size(), 2);
    EXPECT_EQ(rowsets[0], (QList<QStringList>{{"1", "x"}, {"2", "NULL"}, {"3", "z"}}));
    EXPECT_EQ(rowsets[1], (QList<QStringList>{{"2"}}));
}

TEST_P(DBAccess, ServerErrorsRaiseWithTheirNumberAndText)
{
    auto c = Open();
    struct Case {
        const char* sql;
        int number;
        const char* text;
    };
    const Case cases[] = {
        {"SELECT * FROM NoSuchTable", 208, "Invalid object name 'NoSuchTable'."},
        {"SELECT 1/0 AS x", 8134, "Divide by zero error encountered."},
        {"RAISERROR('custom failure', 16, 1)", 50000, "custom failure"},
    };
    for (const Case& k : cases) {
        try {
            RunBatch(*c, QString::fromLatin1(k.sql));
            ADD_FAILURE() << "no error for " << k.sql;
        } catch (const EDBError& e) {
            EXPECT_EQ(e.Message(), QString::fromLatin1(k.text)) << k.sql;
            EXPECT_EQ(e.NativeError(), k.number) << k.sql;
        }
        // The session stays usable after an error.
        EXPECT_EQ(RunBatch(*c, QStringLiteral("SELECT 5 AS five"))[0].Rows, QList<QStringList>{{"5"}}) << k.sql;
    }
}

TEST_P(DBAccess, MessagesBeforeAnErrorKeepTheirOrder)
{
    auto c = Open();
    try {
        RunBatch(*c, QStringLiteral("PRINT 'a'\r\nPRINT 'b'\r\nRAISERROR('notice', 10, 1)\r\nPRINT 'c'\r\n"
                                    "RAISERROR('failure', 16, 1)\r\n"));
        FAIL() << "no error";
    } catch (const EDBError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("failure"));
    }
    QStringList texts;
    for (const TDBMessage& m : c->Errors())
        texts << m.Description;
    EXPECT_EQ(texts, (QStringList{"a", "b", "notice", "c", "failure"}));
}

TEST_P(DBAccess, ColumnTypesComeAsAdoCodes)
{
    auto c = Open();
    auto command = c->CreateCommand();
    command->SetCommandText(QStringLiteral(
        "SELECT CAST(1 AS bit) AS b, CAST(7 AS tinyint) AS ti, CAST(-7 AS smallint) AS si, CAST(70000 AS int) AS i, "
        "CAST(9000000000 AS bigint) AS bi, CAST(2.5 AS float) AS f, CAST(1.5 AS decimal(18,2)) AS d18, "
        "CAST(1.123456 AS decimal(10,6)) AS d10, CAST(12.34 AS money) AS m, "
        "CAST('6F9619FF-8B86-D011-B42D-00C04FC964FF' AS uniqueidentifier) AS g, "
        "CAST('2024-02-29' AS date) AS dd, CAST('13:14:15.1234567' AS time) AS tt, "
        "CAST('2024-02-29 13:14:15.123' AS datetime) AS dt, CAST('2024-02-29 13:14:15.1234567' AS datetime2) AS dt2, "
        "CAST(0x0102 AS binary(4)) AS bin, CAST(0x0A0B AS varbinary(10)) AS vb, CAST(N'Zo\x00EB' AS nvarchar(40)) AS s, "
        "CAST('abc' AS varchar(20)) AS vc, CAST('ab' AS char(5)) AS ch, CAST(N'long' AS nvarchar(max)) AS nm, "
        "CAST(0x01 AS varbinary(max)) AS bm"));
    qint64 affected = 0;
    auto rs = command->Execute(affected);
    EXPECT_EQ(affected, -1);
    ASSERT_EQ(rs->State(), adStateOpen);
    struct Expect {
        const char* name;
        TDataType type;
        qint64 size;
        int precision, scale;
        const char* value;
    };
    const Expect expected[] = {
        {"b", adBoolean, -1, -1, -1, "1"},
        {"ti", adUnsignedTinyInt, -1, -1, -1, "7"},
        {"si", adSmallInt, -1, -1, -1, "-7"},
        {"i", adInteger, -1, -1, -1, "70000"},
        {"bi", adBigInt, -1, -1, -1, "9000000000"},
        {"f", adDouble, -1, -1, -1, "2.5"},
        {"d18", adNumeric, -1, 18, 2, "1.50"},
        {"d10", adNumeric, -1, 10, 6, "1.123456"},
        {"m", adCurrency, -1, 19, 4, "12.3400"},
        {"g", adGUID, -1, -1, -1, "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
        {"dd", adDBDate, -1, -1, -1, nullptr},
        {"tt", adDBTime, -1, -1, -1, nullptr},
        {"dt", adDBTimeStamp, -1, -1, -1, nullptr},
        {"dt2", adDBTimeStamp, -1, -1, -1, nullptr},
        {"bin", adBinary, 4, -1, -1, "01020000"},
        {"vb", adVarBinary, 10, -1, -1, "0A0B"},
        {"s", adVarWChar, 40, -1, -1, "Zo\xC3\xAB"},
        {"vc", adVarChar, 20, -1, -1, "abc"},
        {"ch", adChar, 5, -1, -1, "ab   "},
        {"nm", adLongVarWChar, -1, -1, -1, "long"},
        {"bm", adLongVarBinary, -1, -1, -1, "01"},
    };
    ASSERT_EQ(rs->FieldCount(), int(std::size(expected)));
    ASSERT_FALSE(rs->Eof());
    for (int i = 0; i < rs->FieldCount(); ++i) {
        const Expect& e = expected[i];
        const TDBField& f = rs->Field(i);
        EXPECT_EQ(f.Name, QString::fromLatin1(e.name));
        EXPECT_EQ(int(f.Type), int(e.type)) << e.name << " " << f.TypeName.toStdString();
        if (e.size >= 0) {
            EXPECT_EQ(f.DefinedSize, e.size) << e.name;
        }
        if (e.precision >= 0) {
            EXPECT_EQ(f.Precision, e.precision) << e.name;
        }
        if (e.scale >= 0) {
            EXPECT_EQ(f.NumericScale, e.scale) << e.name;
        }
        if (e.value) {
            EXPECT_EQ(rs->AsString(i).toString(), QString::fromUtf8(e.value)) << e.name;
        }
        EXPECT_FALSE(rs->IsNull(i)) << e.name;
    }
    const TDBTimeStamp dd = rs->AsTimeStamp(10), tt = rs->AsTimeStamp(11), dt = rs->AsTimeStamp(12),
                       dt2 = rs->AsTimeStamp(13);
    EXPECT_EQ(QDate(dd.Year, dd.Month, dd.Day), QDate(2024, 2, 29));
    EXPECT_EQ((QList<int>{tt.Hour, tt.Minute, tt.Second, tt.Nanosecond}), (QList<int>{13, 14, 15, 123456700}));
    EXPECT_EQ((QList<int>{dt.Year, dt.Month, dt.Day, dt.Hour, dt.Minute, dt.Second, dt.Nanosecond / 1000000}),
              (QList<int>{2024, 2, 29, 13, 14, 15, 123}));
    EXPECT_EQ(dt2.Nanosecond, 123456700);
    EXPECT_EQ(rs->AsInteger(0), 1);
    EXPECT_EQ(rs->AsDecimalText(6), QByteArrayView("1.50"));
    rs->MoveNext();
    EXPECT_TRUE(rs->Eof());
}

TEST_P(DBAccess, NullsOfEveryKind)
{
    auto c = Open();
    const auto r = RunBatch(*c, QStringLiteral(
        "SELECT CAST(NULL AS bit) AS b, CAST(NULL AS int) AS i, CAST(NULL AS bigint) AS bi, "
        "CAST(NULL AS float) AS f, CAST(NULL AS decimal(18,2)) AS d, CAST(NULL AS uniqueidentifier) AS g, "
        "CAST(NULL AS date) AS dd, CAST(NULL AS time) AS tt, CAST(NULL AS datetime) AS dt, "
        "CAST(NULL AS varbinary(10)) AS vb, CAST(NULL AS nvarchar(10)) AS s, CAST(NULL AS nvarchar(max)) AS nm"));
    ASSERT_EQ(r.size(), 1);
    ASSERT_EQ(r[0].Rows.size(), 1);
    EXPECT_EQ(r[0].Rows[0], QStringList(12, QStringLiteral("NULL")));
}

TEST_P(DBAccess, LongValuesArriveWhole)
{
    const QString db = Server->CreateDatabase(QStringLiteral("longs"));
    auto c = Open(db);
    QString big;
    for (int i = 0; i < 30000; ++i)
        big += QChar(u'a' + i % 26);
    big += QStringLiteral("\x00E9\x20AC");  // past a piece boundary, not ASCII
    RunBatch(*c, QStringLiteral("CREATE TABLE t (id int, s nvarchar(max), n int)"));
    RunBatch(*c, QStringLiteral("INSERT INTO t VALUES (1, N'%1', 10), (2, NULL, 20), (3, N'', 30)").arg(big));
    const auto r = RunBatch(*c, QStringLiteral("SELECT id, s, n FROM t ORDER BY id"));
    ASSERT_EQ(r.size(), 1);
    ASSERT_EQ(r[0].Rows.size(), 3);
    EXPECT_EQ(r[0].Rows[0], (QStringList{"1", big, "10"}));
    EXPECT_EQ(r[0].Rows[1], (QStringList{"2", "NULL", "20"}));
    EXPECT_EQ(r[0].Rows[2], (QStringList{"3", "", "30"}));
}

TEST_P(DBAccess, BlocksOfRowsAcrossSeveralFetches)
{
    const QString db = Server->CreateDatabase(QStringLiteral("blocks"));
    auto c = Open(db);
    RunBatch(*c, QStringLiteral("CREATE TABLE t (id int, s nvarchar(20))"));
    for (int chunk = 0; chunk < 3; ++chunk) {
        QStringList values;
        for (int i = 0; i < 900; ++i) {
            const int id = chunk * 900 + i;
            values << QStringLiteral("(%1, %2)").arg(id).arg(id % 7 == 0 ? QStringLiteral("NULL")
                                                                        : QStringLiteral("N'r%1'").arg(id));
        }
        RunBatch(*c, QStringLiteral("INSERT INTO t VALUES ") + values.join(QLatin1Char(',')));
    }
    auto command = c->CreateCommand();
    command->SetCommandText(QStringLiteral("SELECT id, s FROM t ORDER BY id"));
    qint64 affected = 0;
    auto rs = command->Execute(affected);
    rs->SetCacheSize(1000);
    int expected = 0;
    for (; !rs->Eof(); rs->MoveNext(), ++expected) {
        ASSERT_EQ(rs->AsInteger(0), expected);
        if (expected % 7 == 0) {
            ASSERT_TRUE(rs->IsNull(1));
        } else {
            ASSERT_EQ(rs->AsString(1), QStringLiteral("r%1").arg(expected));
        }
    }
    EXPECT_EQ(expected, 2700);
}

TEST_P(DBAccess, TransactionsCommitAndRollBack)
{
    const QString db = Server->CreateDatabase(QStringLiteral("trans"));
    auto c = Open(db);
    RunBatch(*c, QStringLiteral("CREATE TABLE t (a int)"));
    c->BeginTrans();
    EXPECT_TRUE(c->InTransaction());
    RunBatch(*c, QStringLiteral("INSERT INTO t VALUES (1)"));
    c->RollbackTrans();
    EXPECT_FALSE(c->InTransaction());
    c->BeginTrans();
    RunBatch(*c, QStringLiteral("INSERT INTO t VALUES (2)"));
    c->CommitTrans();
    // A pending result does not stand in the way of a rollback.
    c->BeginTrans();
    auto command = c->CreateCommand();
    command->SetCommandText(QStringLiteral("INSERT INTO t VALUES (3); SELECT a FROM t; SELECT a FROM t"));
    qint64 affected = 0;
    auto rs = command->Execute(affected);
    c->RollbackTrans();
    rs.reset();
    c->Close();
    EXPECT_EQ(Server->Query(db, QStringLiteral("SELECT a FROM t ORDER BY a")), QStringList{"2"});
}

TEST_P(DBAccess, ACancelReachesOnlyTheRequestUnderWay)
{
    auto c = Open();
    auto command = c->CreateCommand();
    const auto firstColumn = [&](const QString& sql) {
        command->SetCommandText(sql);
        qint64 affected = 0;
        auto rs = command->Execute(affected);
        QStringList values;
        do {
            for (; rs->State() == adStateOpen && !rs->Eof(); rs->MoveNext())
                values << rs->AsString(0).toString();
        } while (rs->NextRecordset(affected));
        return values;
    };
    EXPECT_EQ(firstColumn(QStringLiteral("SELECT 1")), QStringList{"1"});
    // Nothing under way: nothing is cancelled, neither now nor later.
    c->Cancel();
    EXPECT_EQ(firstColumn(QStringLiteral("SELECT 2")), QStringList{"2"});

    // A request under way is cancelled from another thread at once, however
    // often Cancel is called, and the statement serves the next batch.
    std::atomic<bool> ended{false};
    std::thread canceller([&] {
        while (!ended) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            c->Cancel();
        }
    });
    QElapsedTimer t;
    t.start();
    EXPECT_THROW(firstColumn(QStringLiteral("WAITFOR DELAY '00:00:30'\nSELECT 3")), EDBError);
    ended = true;
    canceller.join();
    EXPECT_LT(t.elapsed(), 10000);
    EXPECT_EQ(firstColumn(QStringLiteral("SELECT 4")), QStringList{"4"});
}

TEST_P(DBAccess, ADroppedConnectionIsAClearErrorNotAHang)
{
    const QString db = Server->CreateDatabase(QStringLiteral("dropped"));
    auto c = Open(db);
    RunBatch(*c, QStringLiteral("CREATE TABLE t (id int, pad nvarchar(200))"));
    QStringList values;
    for (int i = 0; i < 1000; ++i)
        values << QStringLiteral("(%1, N'%2')").arg(i).arg(QString(150, QLatin1Char('p')));
    RunBatch(*c, QStringLiteral("INSERT INTO t VALUES ") + values.join(QLatin1Char(',')));
    const QString spid = RunBatch(*c, QStringLiteral("SELECT @@SPID AS spid"))[0].Rows.value(0).value(0);
    ASSERT_FALSE(spid.isEmpty());

    c->BeginTrans();
    RunBatch(*c, QStringLiteral("INSERT INTO t VALUES (-1, N'uncommitted')"));
    auto command = c->CreateCommand();
    // About 300 MB of rows: far more than any socket buffer holds.
    command->SetCommandText(QStringLiteral("SELECT a.id, a.pad FROM t a CROSS JOIN t b"));
    qint64 affected = 0;
    auto rs = command->Execute(affected);
    ASSERT_FALSE(rs->Eof());
    Server->Exec(QStringLiteral("master"), QStringLiteral("KILL ") + spid);
    bool failed = false;
    try {
        for (qint64 n = 0; !rs->Eof() && n < 2000000; ++n)
            rs->MoveNext();
    } catch (const EDBError& e) {
        failed = true;
        EXPECT_FALSE(e.Message().isEmpty());
    }
    EXPECT_TRUE(failed) << "the rows kept coming after the session was killed";
    rs.reset();
    EXPECT_THROW(c->RollbackTrans(), EDBError);
    c->Close();
    // The server rolled the session's transaction back.
    EXPECT_EQ(Server->Query(db, QStringLiteral("SELECT COUNT(*) FROM t WHERE id = -1")), QStringList{"0"});
}

TEST_P(AwkwardLogin, QuotedCredentialsAndDatabaseNamesConnect)
try {
    if (!Server->IsSandbox())
        GTEST_SKIP() << "needs a login with an awkward name on the server";
    // The sandbox keeps databases as files and allows only letters, digits,
    // blanks and _-$#@ in their names; the blanks alone need quoting.
    const QString db = Server->CreateDatabase(QStringLiteral("odd name #1 $x@\x00E9"));
    TInstanceInfo login = Server->Login();
    login.UserName = User();
    login.UserPWD = Password();
    auto c = CreateDBConnection();
    c->Open(TDBConnectionData::From(login, db));
    auto command = c->CreateCommand();
    command->SetCommandText(QStringLiteral("SELECT DB_NAME() AS d"));
    qint64 affected = 0;
    auto rs = command->Execute(affected);
    ASSERT_FALSE(rs->Eof());
    EXPECT_EQ(rs->AsString(0).toString(), db);

    // The same password without its last character is refused.
    login.UserPWD.chop(1);
    EXPECT_THROW(TestDBConnection(login, db), EDBError);
} catch (const EOrvexaError& e) {
    FAIL() << e.Message().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Servers, DBAccess, ORVEXA_SERVER_KINDS);
INSTANTIATE_TEST_SUITE_P(Servers, AwkwardLogin, ORVEXA_SERVER_KINDS);
