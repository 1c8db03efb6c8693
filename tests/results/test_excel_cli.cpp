// orvexa-cli run --format xlsx end to end: a tds-sandbox of the test's own,
// the real binary, and the workbooks read back with openpyxl.
#include "CliProcess.h"
#include "TSandboxServer.h"
#include "test_excel_support.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

class ExcelCli : public ::testing::Test {
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

    TCliResult Run(const QStringList& databases, const QStringList& scripts, const QStringList& options)
    {
        QStringList args{QStringLiteral("run"), QStringLiteral("--user"), QStringLiteral("sa")};
        for (const QString& db : databases)
            args << QStringLiteral("--target") << FServer.Instance() + QLatin1Char('/') + db;
        return FCli.Run(args + options + scripts);
    }

    TSandboxServer FServer;
    QTemporaryDir FDir;
    TCli FCli;
};

// Three databases, the second without a result set: two workbooks, named
// and laid out as the desktop's "Export All Results" writes them.
TEST_F(ExcelCli, OneWorkbookPerDatabaseWithResults)
{
    ASSERT_EQ(Run({QStringLiteral("master")},
                  {Script(QStringLiteral("create.sql"), "CREATE DATABASE one\r\nGO\r\nCREATE DATABASE two\r\nGO\r\n"
                                                        "CREATE DATABASE three\r\nGO\r\n")},
                  {QStringLiteral("--no-transaction")})
                  .ExitCode,
              0);
    const QString script = Script(QStringLiteral("q.sql"),
                                  "IF DB_NAME() = 'two'\r\n  PRINT 'nothing here'\r\nELSE\r\nBEGIN\r\n"
                                  "  SELECT CAST('00123' AS varchar(10)) AS code, CAST(1234567890123456 AS bigint) AS k16,"
                                  " CAST(42 AS int) AS n,"
                                  " CAST('1234567890123456789012345678.1234567891' AS decimal(38,10)) AS d38,"
                                  " CAST('2024-02-29 13:14:15' AS datetime) AS stamp, NULL AS nothing\r\n"
                                  "  SELECT DB_NAME() AS db\r\nEND\r\n");
    const QString out = FDir.filePath(QStringLiteral("out"));
    const TCliResult r = Run({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}, {script},
                             {QStringLiteral("--results"), QStringLiteral("--output-dir"), out,
                              QStringLiteral("--format"), QStringLiteral("xlsx")});
    ASSERT_EQ(r.ExitCode, 0) << r.Out.toStdString() << r.Err.toStdString();

    const QRegularExpression name(QStringLiteral("^(one|three)ExportResult\\d{16}\\.xlsx$"));
    const QStringList workbooks[] = {
        QDir(out + QStringLiteral("/1")).entryList({QStringLiteral("*.xlsx")}, QDir::Files),
        QDir(out + QStringLiteral("/2")).entryList({QStringLiteral("*.xlsx")}, QDir::Files),
        QDir(out + QStringLiteral("/3")).entryList({QStringLiteral("*.xlsx")}, QDir::Files),
    };
    ASSERT_EQ(workbooks[0].size(), 1);
    EXPECT_TRUE(workbooks[0][0].startsWith(QStringLiteral("oneExportResult"))) << workbooks[0][0].toStdString();
    EXPECT_TRUE(name.match(workbooks[0][0]).hasMatch());
    EXPECT_TRUE(workbooks[1].isEmpty());
    ASSERT_EQ(workbooks[2].size(), 1);
    EXPECT_TRUE(workbooks[2][0].startsWith(QStringLiteral("threeExportResult"))) << workbooks[2][0].toStdString();
    EXPECT_TRUE(QDir(out + QStringLiteral("/1")).entryList({QStringLiteral("*.csv")}, QDir::Files).isEmpty());

    const auto sheets = ReadWorkbook(out + QStringLiteral("/3/") + workbooks[2][0]);
    ASSERT_EQ(SheetNames(sheets), (QStringList{"Result1", "Result2"}));
    const QString instance = QStringLiteral("s:") + FServer.Instance();
    EXPECT_EQ(sheets[0].Rows,
              (QList<QStringList>{
                  {"s:Instance", "s:Database", "s:code", "s:k16", "s:n", "s:d38", "s:stamp", "s:nothing"},
                  {instance, "s:three", "s:00123", "s:1234567890123456", "n:42",
                   "s:1234567890123456789012345678.1234567891", "d:2024-02-29T13:14:15", ""},
              }));
    EXPECT_EQ(sheets[1].Rows, (QList<QStringList>{{"s:Instance", "s:Database", "s:db"}, {instance, "s:three", "s:three"}}));
}

TEST_F(ExcelCli, FormatIsCheckedBeforeTheRun)
{
    const QString script = Script(QStringLiteral("q.sql"), "SELECT 1 AS one\r\n");
    const struct {
        QStringList Options;
        const char* Error;
    } cases[] = {
        {{QStringLiteral("--format"), QStringLiteral("ods"), QStringLiteral("--output-dir"), FDir.path()},
         "--format 'ods' is neither csv nor xlsx"},
        {{QStringLiteral("--format"), QStringLiteral("xlsx")}, "--format goes with --output-dir"},
    };
    for (const auto& c : cases) {
        const TCliResult r = Run({QStringLiteral("master")}, {script}, c.Options);
        EXPECT_EQ(r.ExitCode, 2) << r.Err.toStdString();
        EXPECT_TRUE(r.Err.contains(QLatin1String(c.Error))) << r.Err.toStdString();
    }
}

} // namespace
