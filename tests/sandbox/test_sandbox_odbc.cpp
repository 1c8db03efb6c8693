// The sandbox as the FreeTDS ODBC driver sees it: login, batches with several
// results, messages and errors, column types, transactions, cancel, databases.

#include "TSandboxServer.h"
#include "untOdbcProbe.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class SandboxOdbc : public ::testing::Test {
protected:
    void SetUp() override { Server = std::make_unique<TSandboxServer>(); }

    std::string Conn(const std::string& db = "") const { return TOdbcProbe::ConnStr(Server->Port(), db); }

    void Connect(TOdbcProbe& p, const std::string& db = "")
    {
        std::vector<TOdbcDiag> diags;
        ASSERT_TRUE(p.Connect(Conn(db), &diags)) << (diags.empty() ? "" : diags.front().Text) << Server->Output().toStdString();
    }

    TOdbcBatch Run(TOdbcProbe& p, const std::string& sql)
    {
        TOdbcBatch b = p.Exec(sql);
        return b;
    }

    std::string Scalar(TOdbcProbe& p, const std::string& sql)
    {
        const TOdbcBatch b = p.Exec(sql);
        const auto sets = b.Sets();
        if (sets.empty() || sets[0].Rows.empty() || !sets[0].Rows[0][0]) return "<none: " + b.DiagText() + ">";
        return *sets[0].Rows[0][0];
    }

    std::unique_ptr<TSandboxServer> Server;
};

TEST_F(SandboxOdbc, LoginChecksPasswordAndDatabase)
{
    TOdbcProbe good;
    Connect(good);
    EXPECT_EQ(Scalar(good, "SELECT DB_NAME()"), "master");
    EXPECT_EQ(Scalar(good, "SELECT SUSER_SNAME()"), "sa");

    TOdbcProbe wrong;
    std::vector<TOdbcDiag> diags;
    EXPECT_FALSE(wrong.Connect(TOdbcProbe::ConnStr(Server->Port(), "", "sa", "not-it"), &diags));
    bool found = false;
    for (const auto& d : diags)
        if (d.Native == 18456 && d.Text.find("Login failed for user 'sa'.") != std::string::npos) found = true;
    EXPECT_TRUE(found);

    TOdbcProbe missing;
    diags.clear();
    EXPECT_FALSE(missing.Connect(Conn("NoSuchDb"), &diags));
    found = false;
    for (const auto& d : diags)
        if (d.Native == 4060) found = true;
    EXPECT_TRUE(found);
}

TEST_F(SandboxOdbc, ExtraLoginsAndOlderProtocolVersions)
{
    Server.reset();
    TSandboxServer::TOptions options;
    options.Logins = {"dba:Secret 1;x", "reader:r"};
    Server = std::make_unique<TSandboxServer>(options);
    for (const char* version : {"7.1", "7.2", "7.3", "7.4"}) {
        TOdbcProbe p;
        std::vector<TOdbcDiag> diags;
        ASSERT_TRUE(p.Connect(TOdbcProbe::ConnStr(Server->Port(), "", "dba", "Secret 1;x", version), &diags)) << version;
        const TOdbcBatch b = p.Exec("SELECT CAST('2024-02-29 10:11:12' AS datetime2(0)) AS d, CAST(12.5 AS decimal(18,2)) AS m");
        ASSERT_EQ(b.Sets().size(), 1u) << version << b.DiagText();
        EXPECT_EQ(b.Sets()[0].Rows[0][0].value_or("NULL"), "2024-02-29 10:11:12") << version;
        EXPECT_EQ(b.Sets()[0].Rows[0][1].value_or("NULL"), "12.50") << version;
    }
    TOdbcProbe sa;
    EXPECT_FALSE(sa.Connect(Conn()));   // the default login is gone once logins are given
}

TEST_F(SandboxOdbc, BatchGivesResultsCountsAndMessagesInOrder)
{
    TOdbcProbe p;
    Connect(p);
    const TOdbcBatch b = Run(p,
                             "CREATE TABLE t (id int PRIMARY KEY, name nvarchar(20))\n"
                             "INSERT INTO t VALUES (1, N'a'), (2, N'b'), (3, N'c')\n"
                             "PRINT 'between'\n"
                             "SELECT id FROM t ORDER BY id\n"
                             "UPDATE t SET name = N'z' WHERE id >= 2; SELECT 1, 2; DELETE FROM t WHERE id = 1");
    ASSERT_TRUE(b.Ok) << b.DiagText();
    std::vector<SQLLEN> counts;
    for (const auto& r : b.Results)
        if (r.Columns.empty() && r.RowCount >= 0) counts.push_back(r.RowCount);
    EXPECT_EQ(counts, (std::vector<SQLLEN>{3, 2, 1}));
    const auto sets = b.Sets();
    ASSERT_EQ(sets.size(), 2u);
    ASSERT_EQ(sets[0].Rows.size(), 3u);
    EXPECT_EQ(sets[0].Rows[2][0].value_or(""), "3");
    ASSERT_EQ(sets[1].Columns.size(), 2u);
    EXPECT_EQ(sets[1].Columns[0].Name, "");
    EXPECT_EQ(sets[1].Columns[1].Name, "");
    ASSERT_FALSE(b.Diags.empty());
    EXPECT_NE(b.Diags[0].Text.find("between"), std::string::npos);

    // SET NOCOUNT ON drops the counts; @@ROWCOUNT still tells.
    const TOdbcBatch quiet = Run(p, "SET NOCOUNT ON; UPDATE t SET name = N'q'; SELECT @@ROWCOUNT AS n");
    ASSERT_EQ(quiet.Sets().size(), 1u) << quiet.DiagText();
    EXPECT_EQ(quiet.Sets()[0].Rows[0][0].value_or(""), "2");
    for (const auto& r : quiet.Results)
        if (r.Columns.empty()) {
            EXPECT_EQ(r.RowCount, -1);
        }
}

TEST_F(SandboxOdbc, ErrorsCarrySqlServerNumbersAndTheBatchGoesOn)
{
    TOdbcProbe p;
    Connect(p);
    ASSERT_TRUE(Run(p, "CREATE TABLE k (id int PRIMARY KEY, v int NOT NULL); INSERT INTO k VALUES (1, 1)").Ok);
    struct TCase {
        const char* Sql;
        int Native;
        const char* Text;
    };
    const TCase cases[] = {
        {"SELECT * FROM nowhere", 208, "Invalid object name 'nowhere'."},
        {"SELECT FROM WHERE", 102, "Incorrect syntax near"},
        {"INSERT INTO k VALUES (1, 2)", 2627, "Violation of PRIMARY KEY constraint"},
        {"SELECT 1/0", 8134, "Divide by zero error encountered."},
        {"SELECT nocol FROM k", 207, "Invalid column name 'nocol'."},
        {"INSERT INTO k VALUES (5, NULL)", 515, "Cannot insert the value NULL into column 'v'"},
        {"SELECT CAST('abc' AS int)", 245, "Conversion failed when converting the varchar value 'abc' to data type int."},
        {"RAISERROR('custom %s %d', 16, 3, 'text', 42)", 50000, "custom text 42"},
        {"THROW 51000, 'thrown here', 1", 51000, "thrown here"},
        {"COMMIT", 3902, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION."},
        {"EXEC sp_nothing", 2812, "Could not find stored procedure 'sp_nothing'."},
        {"SELECT 'open", 105, "Unclosed quotation mark"},
    };
    for (const auto& c : cases) {
        const TOdbcBatch b = Run(p, c.Sql);
        EXPECT_FALSE(b.Ok) << c.Sql;
        ASSERT_TRUE(b.HasNative(c.Native)) << c.Sql << "\n" << b.DiagText();
        EXPECT_NE(b.DiagText().find(c.Text), std::string::npos) << c.Sql << "\n" << b.DiagText();
    }
    // Statement-level errors: the statements after the failing one still run.
    const TOdbcBatch b = Run(p, "INSERT INTO k VALUES (2, 2)\nINSERT INTO k VALUES (1, 1)\nINSERT INTO k VALUES (3, 3)");
    EXPECT_TRUE(b.HasNative(2627));
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM k"), "3");
    // RAISERROR up to severity 10 is a message, not an error.
    const TOdbcBatch info = Run(p, "RAISERROR('just saying', 10, 1) WITH NOWAIT; SELECT 1 AS one");
    EXPECT_TRUE(info.Ok) << info.DiagText();
    EXPECT_NE(info.DiagText().find("just saying"), std::string::npos);
}

TEST_F(SandboxOdbc, XactAbortEndsTheBatchAndRollsBack)
{
    TOdbcProbe p;
    Connect(p);
    ASSERT_TRUE(Run(p, "CREATE TABLE x (id int PRIMARY KEY)").Ok);
    const TOdbcBatch b = Run(p, "SET XACT_ABORT ON; BEGIN TRAN; INSERT INTO x VALUES (1); INSERT INTO x VALUES (1); INSERT INTO x VALUES (2)");
    EXPECT_TRUE(b.HasNative(2627));
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM x"), "0");
    EXPECT_EQ(Scalar(p, "SELECT @@TRANCOUNT"), "0");
    // Without XACT_ABORT the transaction stays open and the rest of the batch runs.
    const TOdbcBatch c = Run(p, "SET XACT_ABORT OFF; BEGIN TRAN; INSERT INTO x VALUES (1); INSERT INTO x VALUES (1); INSERT INTO x VALUES (2)");
    EXPECT_TRUE(c.HasNative(2627));
    EXPECT_EQ(Scalar(p, "SELECT @@TRANCOUNT"), "1");
    ASSERT_TRUE(Run(p, "COMMIT").Ok);
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM x"), "2");
}

struct TTypeCase {
    const char* Expr;
    SQLSMALLINT OdbcType;
    const char* Text;   // nullptr: NULL
};

TEST_F(SandboxOdbc, CastsGiveSqlServerTypesAndValues)
{
    TOdbcProbe p;
    Connect(p);
    const TTypeCase cases[] = {
        {"CAST(1 AS bit)", SQL_BIT, "1"},
        {"CAST(200 AS tinyint)", SQL_TINYINT, "200"},
        {"CAST(-300 AS smallint)", SQL_SMALLINT, "-300"},
        {"CAST(2147483647 AS int)", SQL_INTEGER, "2147483647"},
        {"CAST(9223372036854775807 AS bigint)", SQL_BIGINT, "9223372036854775807"},
        {"CAST(1.5 AS real)", SQL_REAL, "1.5"},
        {"CAST(2.25 AS float)", SQL_DOUBLE, "2.25"},
        {"CAST(1.5 AS decimal(18,2))", SQL_NUMERIC, "1.50"},
        {"CAST(-1.005 AS decimal(18,2))", SQL_NUMERIC, "-1.01"},
        {"CAST('123456789012345678.25' AS decimal(20,2))", SQL_NUMERIC, "123456789012345678.25"},
        {"CAST(1.1234567 AS decimal(10,6))", SQL_NUMERIC, "1.123457"},
        {"CAST(42 AS numeric(9,0))", SQL_NUMERIC, "42"},
        {"CAST(3.5 AS money)", SQL_DECIMAL, "3.5000"},
        {"CAST(-2.25 AS smallmoney)", SQL_DECIMAL, "-2.2500"},
        {"CAST('ab' AS char(4))", SQL_CHAR, "ab  "},
        {"CAST('abcdef' AS varchar(3))", SQL_VARCHAR, "abc"},
        {"CAST(N'h\xc3\xa9llo' AS nvarchar(10))", SQL_WVARCHAR, "h\xc3\xa9llo"},
        {"CAST(N'x' AS nchar(3))", SQL_WCHAR, "x  "},
        {"CAST('long' AS varchar(max))", SQL_VARCHAR, "long"},
        {"CAST(N'longer' AS nvarchar(max))", SQL_WVARCHAR, "longer"},
        {"CAST('old' AS text)", SQL_LONGVARCHAR, "old"},
        {"CAST(N'older' AS ntext)", SQL_WLONGVARCHAR, "older"},
        {"CAST(0x0102 AS binary(4))", SQL_BINARY, "01020000"},
        {"CAST(0xABCD AS varbinary(10))", SQL_VARBINARY, "abcd"},
        {"CAST(0xFF AS varbinary(max))", SQL_VARBINARY, "ff"},
        {"CAST('2024-02-29' AS date)", SQL_TYPE_DATE, "2024-02-29"},
        {"CAST('23:59:58.1234567' AS time)", -154, "23:59:58.1234567"},
        {"CAST('2024-01-02 03:04:05.678' AS datetime)", SQL_TYPE_TIMESTAMP, "2024-01-02 03:04:05.677"},
        {"CAST('2024-01-02T03:04:05.1234567' AS datetime2)", SQL_TYPE_TIMESTAMP, "2024-01-02 03:04:05.1234567"},
        {"CAST('2024-01-02 03:04:31' AS smalldatetime)", SQL_TYPE_TIMESTAMP, "2024-01-02 03:05:00"},
        {"CAST('6F9619FF-8B86-D011-B42D-00C04FC964FF' AS uniqueidentifier)", SQL_GUID, "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
        {"CONVERT(int, '17')", SQL_INTEGER, "17"},
        {"CONVERT(varchar(5), 12345678)", SQL_VARCHAR, "12345"},
        {"CAST(NULL AS bit)", SQL_BIT, nullptr},
        {"CAST(NULL AS decimal(18,2))", SQL_NUMERIC, nullptr},
        {"CAST(NULL AS nvarchar(max))", SQL_WVARCHAR, nullptr},
        {"CAST(NULL AS varbinary(max))", SQL_VARBINARY, nullptr},
        {"CAST(NULL AS datetime2)", SQL_TYPE_TIMESTAMP, nullptr},
        {"CAST(NULL AS uniqueidentifier)", SQL_GUID, nullptr},
        {"CAST(NULL AS date)", SQL_TYPE_DATE, nullptr},
        {"CAST(NULL AS money)", SQL_DECIMAL, nullptr},
    };
    for (const auto& c : cases) {
        const TOdbcBatch b = Run(p, std::string("SELECT ") + c.Expr + " AS v");
        const auto sets = b.Sets();
        ASSERT_EQ(sets.size(), 1u) << c.Expr << "\n" << b.DiagText();
        ASSERT_EQ(sets[0].Rows.size(), 1u) << c.Expr;
        EXPECT_EQ(sets[0].Columns[0].Type, c.OdbcType) << c.Expr;
        if (c.Text)
            EXPECT_EQ(sets[0].Rows[0][0].value_or("NULL"), c.Text) << c.Expr;
        else
            EXPECT_FALSE(sets[0].Rows[0][0].has_value()) << c.Expr;
    }
    // Precision and scale travel with decimals.
    const auto d = Run(p, "SELECT CAST(1 AS decimal(20,2)), CAST(1 AS decimal(10,6)), CAST(1 AS numeric(9,0))").Sets();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].Columns[0].Size, 20u);
    EXPECT_EQ(d[0].Columns[0].Digits, 2);
    EXPECT_EQ(d[0].Columns[1].Size, 10u);
    EXPECT_EQ(d[0].Columns[1].Digits, 6);
    EXPECT_EQ(d[0].Columns[2].Size, 9u);
    EXPECT_EQ(d[0].Columns[2].Digits, 0);
}

TEST_F(SandboxOdbc, TableColumnsKeepTheirDeclaredTypesWithNulls)
{
    TOdbcProbe p;
    Connect(p);
    const TOdbcBatch create = Run(p,
        "CREATE TABLE dbo.[All Types] (id int IDENTITY(1,1) PRIMARY KEY, ti tinyint, si smallint, bi bigint, b bit, r real, f float,"
        " d decimal(18,2), n numeric(9,0), m money, sm smallmoney, c char(3), vc varchar(10), nc nchar(2), nv nvarchar(40),"
        " vm varchar(max), nm nvarchar(max), tx text, ntx ntext, bn binary(2), vb varbinary(8), vbm varbinary(max), dt date,"
        " tm time(3), dtt datetime, dt2 datetime2(3), sdt smalldatetime, g uniqueidentifier)");
    ASSERT_TRUE(create.Ok) << create.DiagText();
    const TOdbcBatch ins = Run(p,
        "INSERT INTO [All Types] (ti, si, bi, b, r, f, d, n, m, sm, c, vc, nc, nv, vm, nm, tx, ntx, bn, vb, vbm, dt, tm, dtt, dt2, sdt, g)"
        " VALUES (1, 2, 3, 1, 1.5, 2.5, 12.345, 7, 9.99, 1.25, 'ab', 'varchar', N'n', N'nvarchar', 'vmax', N'nmax', 'text', N'ntext',"
        " 0x0A0B, 0x01, 0x0203, '2020-05-06', '01:02:03.456', '2020-05-06 07:08:09.123', '2020-05-06 07:08:09.1234', '2020-05-06 07:08:00',"
        " '6F9619FF-8B86-D011-B42D-00C04FC964FF');"
        "INSERT INTO [All Types] (ti) VALUES (NULL)");
    ASSERT_TRUE(ins.Ok) << ins.DiagText();
    const TOdbcBatch b = Run(p, "SELECT * FROM dbo.[All Types] ORDER BY id");
    const auto sets = b.Sets();
    ASSERT_EQ(sets.size(), 1u) << b.DiagText();
    const auto& cols = sets[0].Columns;
    const std::vector<SQLSMALLINT> expected = {SQL_INTEGER, SQL_TINYINT, SQL_SMALLINT, SQL_BIGINT, SQL_BIT, SQL_REAL, SQL_DOUBLE,
                                               SQL_NUMERIC, SQL_NUMERIC, SQL_DECIMAL, SQL_DECIMAL, SQL_CHAR, SQL_VARCHAR, SQL_WCHAR,
                                               SQL_WVARCHAR, SQL_VARCHAR, SQL_WVARCHAR, SQL_LONGVARCHAR, SQL_WLONGVARCHAR,
                                               SQL_BINARY, SQL_VARBINARY, SQL_VARBINARY, SQL_TYPE_DATE, -154, SQL_TYPE_TIMESTAMP,
                                               SQL_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, SQL_GUID};
    ASSERT_EQ(cols.size(), expected.size());
    for (size_t i = 0; i < cols.size(); ++i) EXPECT_EQ(cols[i].Type, expected[i]) << cols[i].Name;
    EXPECT_EQ(cols[14].Size, 40u);
    EXPECT_EQ(cols[15].Size, 0u);   // max types: no size limit
    ASSERT_EQ(sets[0].Rows.size(), 2u);
    const std::vector<std::string> values = {"1", "1", "2", "3", "1", "1.5", "2.5", "12.35", "7", "9.9900", "1.2500", "ab ", "varchar",
                                             "n ", "nvarchar", "vmax", "nmax", "text", "ntext", "0a0b", "01", "0203", "2020-05-06",
                                             "01:02:03.456", "2020-05-06 07:08:09.123", "2020-05-06 07:08:09.123", "2020-05-06 07:08:00",
                                             "6F9619FF-8B86-D011-B42D-00C04FC964FF"};
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(sets[0].Rows[0][i].value_or("NULL"), values[i]) << cols[i].Name;
    EXPECT_EQ(sets[0].Rows[1][0].value_or("NULL"), "2");
    for (size_t i = 1; i < cols.size(); ++i) EXPECT_FALSE(sets[0].Rows[1][i].has_value()) << cols[i].Name;
}

TEST_F(SandboxOdbc, SessionFunctionsAnswer)
{
    TOdbcProbe p;
    Connect(p);
    const auto sets = Run(p, "SELECT @@VERSION, DB_NAME(), @@SPID, @@ROWCOUNT, GETDATE(), NEWID(), @@TRANCOUNT").Sets();
    ASSERT_EQ(sets.size(), 1u);
    const auto& row = sets[0].Rows.at(0);   // sets is a local copy
    EXPECT_NE(row[0].value_or("").find("SQL Server"), std::string::npos);
    EXPECT_EQ(row[1].value_or(""), "master");
    EXPECT_GE(std::stoi(row[2].value_or("0")), 50);
    EXPECT_EQ(sets[0].Columns[4].Type, SQL_TYPE_TIMESTAMP);
    EXPECT_EQ(sets[0].Columns[5].Type, SQL_GUID);
    EXPECT_EQ(row[5].value_or("").size(), 36u);
    EXPECT_EQ(row[6].value_or(""), "0");
}

TEST_F(SandboxOdbc, OdbcTransactionsCommitAndRollBack)
{
    TOdbcProbe p;
    Connect(p);
    ASSERT_TRUE(Run(p, "CREATE TABLE tr (id int)").Ok);
    ASSERT_TRUE(p.SetAutocommit(false));
    ASSERT_TRUE(Run(p, "INSERT INTO tr VALUES (1)").Ok);
    EXPECT_EQ(Scalar(p, "SELECT @@TRANCOUNT"), "1");
    ASSERT_TRUE(p.EndTran(false));
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM tr"), "0");
    ASSERT_TRUE(Run(p, "INSERT INTO tr VALUES (2)").Ok);
    ASSERT_TRUE(p.EndTran(true));
    ASSERT_TRUE(p.SetAutocommit(true));

    TOdbcProbe other;
    Connect(other);
    EXPECT_EQ(Scalar(other, "SELECT COUNT(*) FROM tr"), "1");

    // T-SQL transactions, nesting and a connection that closes inside one.
    ASSERT_TRUE(Run(p, "BEGIN TRAN; BEGIN TRANSACTION; INSERT INTO tr VALUES (3); COMMIT; ROLLBACK").Ok);
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM tr"), "1");
    ASSERT_TRUE(Run(p, "SET IMPLICIT_TRANSACTIONS ON; INSERT INTO tr VALUES (4)").Ok);
    EXPECT_EQ(Scalar(p, "SELECT @@TRANCOUNT"), "1");
    p.Disconnect();
    EXPECT_EQ(Scalar(other, "SELECT COUNT(*) FROM tr"), "1");
}

TEST_F(SandboxOdbc, CancelEndsWaitforAndTheConnectionGoesOn)
{
    TOdbcProbe p;
    Connect(p);
    ASSERT_TRUE(Run(p, "CREATE TABLE after_wait (id int)").Ok);
    std::thread canceller([&p] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        p.Cancel();
    });
    // The statement after the wait never runs: the cancel ends the batch.
    const TOdbcBatch b = Run(p, "WAITFOR DELAY '00:01:00'; INSERT INTO after_wait VALUES (1)");
    canceller.join();
    EXPECT_FALSE(b.Ok);
    bool cancelled = false;
    for (const auto& d : b.Diags) cancelled = cancelled || d.State == "HY008";
    EXPECT_TRUE(cancelled) << b.DiagText();
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM after_wait"), "0");
    // A short delay simply runs out, and the connection goes on.
    EXPECT_TRUE(Run(p, "WAITFOR DELAY '00:00:00.100'; INSERT INTO after_wait VALUES (2)").Ok);
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM after_wait"), "1");
    EXPECT_TRUE(Run(p, "WAITFOR DELAY '25:00'").HasNative(148));
}

TEST_F(SandboxOdbc, CancelEndsALongRunningStatement)
{
    TOdbcProbe p;
    Connect(p);
    ASSERT_TRUE(Run(p, "CREATE TABLE endless (i int)").Ok);
    std::thread canceller([&p] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        p.Cancel();
    });
    // Far more rows than 300 ms can write: the cancel stops it first.
    const TOdbcBatch b = Run(p, "WITH n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000000) "
                                "INSERT INTO endless SELECT i FROM n");
    canceller.join();
    EXPECT_FALSE(b.Ok);
    bool cancelled = false;
    for (const auto& d : b.Diags) cancelled = cancelled || d.State == "HY008";
    EXPECT_TRUE(cancelled) << b.DiagText();
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM endless"), "0");
    EXPECT_EQ(Scalar(p, "SELECT 8"), "8");
}

TEST_F(SandboxOdbc, DatabasesUseCreateDropAndCatalogue)
{
    TOdbcProbe p;
    Connect(p);
    ASSERT_TRUE(Run(p, "CREATE DATABASE Sales").Ok);
    EXPECT_TRUE(Run(p, "CREATE DATABASE Sales").HasNative(1801));
    EXPECT_TRUE(QFile::exists(Server->DataDir() + "/Sales.db"));
    const TOdbcBatch use = Run(p, "USE Sales; SELECT DB_NAME()");
    ASSERT_TRUE(use.Ok) << use.DiagText();
    EXPECT_EQ(use.Sets().at(0).Rows.at(0).at(0).value_or(""), "Sales");
    EXPECT_TRUE(Run(p, "USE NoSuch").HasNative(911));

    const auto sets = Run(p, "exec sp_MShasdbaccess").Sets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].Columns.at(0).Name, "dbname");
    std::vector<std::string> names;
    for (const auto& r : sets[0].Rows) names.push_back(r[0].value_or(""));
    EXPECT_EQ(names, (std::vector<std::string>{"master", "Sales"}));

    TOdbcProbe direct;
    Connect(direct, "Sales");
    EXPECT_EQ(Scalar(direct, "SELECT DB_NAME()"), "Sales");
    EXPECT_TRUE(Run(p, "USE master; DROP DATABASE Sales").HasNative(3702));   // still in use by 'direct'
    direct.Disconnect();
    // The server ends the other session right after the client left; give it a moment.
    bool dropped = false;
    for (int i = 0; i < 100 && !dropped; ++i) {
        dropped = Run(p, "DROP DATABASE Sales").Ok;
        if (!dropped) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(dropped);
    EXPECT_FALSE(QFile::exists(Server->DataDir() + "/Sales.db"));
    EXPECT_TRUE(Run(p, "DROP DATABASE Sales").HasNative(3701));
}

TEST_F(SandboxOdbc, KillEndsAnotherConnectionAndRollsBack)
{
    TOdbcProbe victim, killer;
    Connect(victim);
    Connect(killer);
    ASSERT_TRUE(Run(victim, "CREATE TABLE kt (id int)").Ok);
    const std::string spid = Scalar(victim, "SELECT @@SPID");
    ASSERT_TRUE(Run(victim, "BEGIN TRAN; INSERT INTO kt VALUES (1)").Ok);
    const TOdbcBatch k = Run(killer, "KILL " + spid);
    EXPECT_TRUE(k.Ok) << k.DiagText();
    EXPECT_FALSE(Run(victim, "SELECT 1").Ok);
    EXPECT_EQ(Scalar(killer, "SELECT COUNT(*) FROM kt"), "0");
    EXPECT_TRUE(Run(killer, "KILL 30000").HasNative(6106));
}

TEST_F(SandboxOdbc, ParameterisedStatementsGetAClearError)
{
    TOdbcProbe p;
    Connect(p);
    // The driver turns bound parameters into sp_executesql with parameters, which the sandbox refuses plainly.
    const TOdbcBatch b = p.ExecWithParameter("SELECT ?", 5);
    EXPECT_FALSE(b.Ok);
    EXPECT_NE(b.DiagText().find("sp_executesql with parameters"), std::string::npos) << b.DiagText();
    // Without parameters, sp_executesql runs its text.
    const TOdbcBatch plain = Run(p, "EXEC sp_executesql N'SELECT 6 AS six'");
    ASSERT_EQ(plain.Sets().size(), 1u) << plain.DiagText();
    EXPECT_EQ(plain.Sets()[0].Rows.at(0).at(0).value_or(""), "6");
    EXPECT_EQ(Scalar(p, "SELECT 7"), "7");
}

TEST_F(SandboxOdbc, ManyConnectionsWriteConcurrently)
{
    {
        TOdbcProbe p;
        Connect(p);
        ASSERT_TRUE(Run(p, "CREATE TABLE c (worker int, n int)").Ok);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 8; ++w) {
        workers.emplace_back([&, w] {
            TOdbcProbe p;
            if (!p.Connect(Conn())) { ++failures; return; }
            for (int i = 0; i < 25; ++i)
                if (!p.Exec("INSERT INTO c VALUES (" + std::to_string(w) + ", " + std::to_string(i) + ")").Ok) ++failures;
        });
    }
    for (auto& t : workers) t.join();
    EXPECT_EQ(failures.load(), 0);
    TOdbcProbe p;
    Connect(p);
    EXPECT_EQ(Scalar(p, "SELECT COUNT(*) FROM c"), "200");
}

TEST_F(SandboxOdbc, LineBreaksBeforeStatementKeywordsSeparateStatements)
{
    TOdbcProbe p;
    Connect(p);
    // Each case: a batch and the first column of every result set, in order.
    struct TCase {
        const char* Sql;
        std::vector<std::string> Values;
    };
    const TCase cases[] = {
        {"SET NOCOUNT ON\nSELECT 1\nSET NOCOUNT OFF\nSELECT 2", {"1", "2"}},
        {"SELECT 1\nUNION ALL\nSELECT 2", {"1", "2"}},
        {"CREATE TABLE s1 (a int)\nINSERT INTO s1\nSELECT 5\nUPDATE s1\nSET a = 6\nSELECT a FROM s1", {"6"}},
        {"BEGIN TRAN\nSELECT @@TRANCOUNT\nROLLBACK\nSELECT @@TRANCOUNT", {"1", "0"}},
        {"IF 1 = 1\n  SELECT 'then'\nELSE\n  SELECT 'else'\nSELECT 'after'", {"then", "after"}},
        {"IF 1 = 0\nBEGIN\n  SELECT 'a'\n  SELECT 'b'\nEND\nELSE\nBEGIN\n  SELECT 'c'\nEND\nSELECT 'd'", {"c", "d"}},
        {"SELECT 1\nBEGIN\n  SELECT 2\nEND", {"1", "2"}},
        {"WITH c AS (SELECT 9 AS n)\nSELECT n FROM c", {"9"}},
        {"SELECT 'x;y'; SELECT 3 -- SELECT 4\n/* SELECT 5 */", {"x;y", "3"}},
    };
    for (const auto& c : cases) {
        const TOdbcBatch b = Run(p, c.Sql);
        EXPECT_TRUE(b.Ok) << c.Sql << "\n" << b.DiagText();
        std::vector<std::string> got;
        for (const auto& set : b.Sets())
            for (const auto& row : set.Rows) got.push_back(row.at(0).value_or("NULL"));
        EXPECT_EQ(got, c.Values) << c.Sql;
    }
}

TEST_F(SandboxOdbc, TryCatchHandsTheErrorToTheCatchBlock)
{
    TOdbcProbe p;
    Connect(p);
    const TOdbcBatch b = Run(p,
        "CREATE TABLE tc (id int PRIMARY KEY)\n"
        "BEGIN TRY\n"
        "  BEGIN TRAN\n"
        "  INSERT INTO tc VALUES (1)\n"
        "  INSERT INTO tc VALUES (1)\n"
        "  COMMIT\n"
        "END TRY\n"
        "BEGIN CATCH\n"
        "  IF @@TRANCOUNT > 0 ROLLBACK\n"
        "  PRINT 'caught ' + CAST(ERROR_NUMBER() AS varchar(10))\n"
        "  SELECT ERROR_LINE() AS line, ERROR_MESSAGE() AS msg\n"
        "END CATCH\n"
        "SELECT COUNT(*) FROM tc");
    EXPECT_TRUE(b.Ok) << b.DiagText();
    EXPECT_FALSE(b.HasNative(2627)) << b.DiagText();   // handled, not sent
    EXPECT_NE(b.DiagText().find("caught 2627"), std::string::npos) << b.DiagText();
    const auto sets = b.Sets();
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].Rows.at(0)[0].value_or(""), "5");
    EXPECT_NE(sets[0].Rows.at(0)[1].value_or("").find("Violation of PRIMARY KEY constraint"), std::string::npos);
    EXPECT_EQ(sets[1].Rows.at(0)[0].value_or(""), "0");
    // THROW; in the CATCH block passes the error on and ends the batch.
    const TOdbcBatch re = Run(p, "BEGIN TRY\n SELECT 1/0\nEND TRY\nBEGIN CATCH\n THROW\nEND CATCH\nSELECT 'not reached'");
    EXPECT_TRUE(re.HasNative(8134)) << re.DiagText();
    EXPECT_TRUE(re.Sets().empty());
}

TEST_F(SandboxOdbc, ScalarVariablesLiveForTheirBatch)
{
    TOdbcProbe p;
    Connect(p);
    const TOdbcBatch b = Run(p,
        "CREATE TABLE v (id int); INSERT INTO v VALUES (1), (2), (3)\n"
        "DECLARE @db sysname = DB_NAME(), @n int, @d decimal(10,2) = 2.5\n"
        "SET @n = (SELECT COUNT(*) FROM v)\n"
        "SET @n += 10\n"
        "PRINT 'Running on ' + @db + ', rows: ' + CAST(@n AS varchar(10))\n"
        "SELECT @d = MAX(id) * 1.25 FROM v\n"
        "SELECT @db AS db, @n AS n, @d AS d\n"
        "RAISERROR('count is %d', 10, 1, @n)");
    ASSERT_TRUE(b.Ok) << b.DiagText();
    EXPECT_NE(b.DiagText().find("Running on master, rows: 13"), std::string::npos) << b.DiagText();
    EXPECT_NE(b.DiagText().find("count is 13"), std::string::npos) << b.DiagText();
    const auto sets = b.Sets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].Rows.at(0)[0].value_or(""), "master");
    EXPECT_EQ(sets[0].Rows.at(0)[1].value_or(""), "13");
    EXPECT_EQ(sets[0].Rows.at(0)[2].value_or(""), "3.75");
    EXPECT_EQ(sets[0].Columns[2].Type, SQL_NUMERIC);
    EXPECT_EQ(sets[0].Columns[2].Digits, 2);
    // The next batch no longer knows them.
    EXPECT_TRUE(Run(p, "SELECT @n").HasNative(137));
    EXPECT_TRUE(Run(p, "DECLARE @x int; DECLARE @x int").HasNative(134));
}

TEST_F(SandboxOdbc, TsqlDialectIsTranslated)
{
    TOdbcProbe p;
    Connect(p);
    const TOdbcBatch b = Run(p,
        "CREATE TABLE [dbo].[Orders] ([Id] int NOT NULL, [Amount] decimal(10,2), CONSTRAINT PK_Orders PRIMARY KEY CLUSTERED ([Id]))\n"
        "INSERT INTO master.dbo.Orders VALUES (1, 10.5), (2, 20.25), (3, NULL)\n"
        "IF OBJECT_ID('Orders') IS NOT NULL PRINT 'exists'\n"
        "SELECT TOP 2 Total = ISNULL(Amount, 0), 'Id ' + CAST(Id AS varchar(5)) AS Label FROM Orders WITH (NOLOCK) ORDER BY Id DESC\n"
        "SELECT LEN('abc  '), DATEADD(day, 1, '2024-02-28'), DATEDIFF(month, '2024-01-31', '2024-03-01')");
    ASSERT_TRUE(b.Ok) << b.DiagText();
    EXPECT_NE(b.DiagText().find("exists"), std::string::npos);
    const auto sets = b.Sets();
    ASSERT_EQ(sets.size(), 2u);
    ASSERT_EQ(sets[0].Rows.size(), 2u);
    EXPECT_EQ(sets[0].Columns[0].Name, "Total");
    EXPECT_EQ(sets[0].Rows[0][0].value_or(""), "0");
    EXPECT_EQ(sets[0].Rows[1][1].value_or(""), "Id 2");
    EXPECT_EQ(sets[1].Rows[0][0].value_or(""), "3");
    EXPECT_EQ(sets[1].Rows[0][1].value_or(""), "2024-02-29 00:00:00.000");
    EXPECT_EQ(sets[1].Rows[0][2].value_or(""), "2");

    // Text compares without regard to case; OFFSET/FETCH pages; SELECT INTO copies.
    const TOdbcBatch more = Run(p,
        "CREATE TABLE ci (id int PRIMARY KEY, name nvarchar(20))\n"
        "INSERT INTO ci VALUES (1, N'Alpha'), (2, N'beta'), (3, N'Gamma')\n"
        "SELECT id FROM ci WHERE name = 'ALPHA'\n"
        "SELECT name FROM ci ORDER BY name OFFSET 1 ROWS FETCH NEXT 1 ROWS ONLY\n"
        "SELECT id, name INTO #copy FROM ci WHERE id > 1\n"
        "SELECT COUNT(*) FROM #copy");
    ASSERT_TRUE(more.Ok) << more.DiagText();
    const auto m = more.Sets();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].Rows.at(0)[0].value_or(""), "1");
    EXPECT_EQ(m[1].Rows.at(0)[0].value_or(""), "beta");
    EXPECT_EQ(m[2].Rows.at(0)[0].value_or(""), "2");

    // Defaults from functions, identities, server properties.
    const TOdbcBatch def = Run(p,
        "CREATE TABLE df (id int IDENTITY(1,1) PRIMARY KEY, created datetime NOT NULL DEFAULT GETDATE(), g uniqueidentifier DEFAULT NEWID(), n int)\n"
        "INSERT INTO df (n) VALUES (5)\n"
        "INSERT INTO df (n) VALUES (6)\n"
        "SELECT id, n, created, g, SCOPE_IDENTITY() AS last, SERVERPROPERTY('ProductVersion') AS v FROM df ORDER BY id");
    ASSERT_TRUE(def.Ok) << def.DiagText();
    ASSERT_EQ(def.Sets().size(), 1u);
    const auto defSets = def.Sets();
    const auto& rows = defSets[0].Rows;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0].value_or("NULL"), "1");
    EXPECT_EQ(rows[1][0].value_or("NULL"), "2");
    EXPECT_TRUE(rows[1][2].has_value());
    EXPECT_EQ(rows[1][3].value_or("").size(), 36u);
    EXPECT_NE(rows[0][3], rows[1][3]);
    EXPECT_EQ(rows[0][4].value_or(""), "2");
    EXPECT_EQ(rows[0][5].value_or(""), "15.0.2000.5");

    // The catalogue views DBA scripts look into.
    const TOdbcBatch cat = Run(p,
        "IF NOT EXISTS (SELECT * FROM sys.databases WHERE name = 'Demo') CREATE DATABASE Demo\n"
        "IF NOT EXISTS (SELECT * FROM sys.databases WHERE name = 'Demo') CREATE DATABASE Demo\n"
        "SELECT name FROM master.sys.databases ORDER BY name\n"
        "SELECT c.name FROM sys.columns c JOIN sys.tables t ON t.object_id = c.object_id WHERE t.name = 'Orders' ORDER BY c.column_id\n"
        "SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_NAME = 'Orders' AND TABLE_TYPE = 'BASE TABLE'");
    ASSERT_TRUE(cat.Ok) << cat.DiagText();
    const auto c = cat.Sets();
    ASSERT_EQ(c.size(), 3u);
    ASSERT_EQ(c[0].Rows.size(), 2u);
    EXPECT_EQ(c[0].Rows[0][0].value_or(""), "Demo");
    ASSERT_EQ(c[1].Rows.size(), 2u);
    EXPECT_EQ(c[1].Rows[1][0].value_or(""), "Amount");
    EXPECT_EQ(c[2].Rows[0][0].value_or(""), "1");
}

}  // namespace
