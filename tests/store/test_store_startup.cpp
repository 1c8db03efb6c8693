// Start-up and shutdown of the data module on real store files.
#include "StoreTestSupport.h"

#include <QFileInfo>

namespace {

class StoreStartup : public TStoreTest {};

QStringList TableNames(TStoreConnection& c)
{
    QStringList names;
    TStoreQuery q(c, QStringLiteral("select name from sqlite_master where type = 'table' order by name"));
    while (q.Step())
        names << q.Text(0);
    return names;
}

QString RowText(TStoreConnection& c, const QString& sql)
{
    TStoreQuery q(c, sql);
    QStringList rows;
    while (q.Step()) {
        QStringList cols;
        for (int i = 0; i < q.ColumnCount(); ++i)
            cols << q.Text(i);
        rows << cols.join(QLatin1Char('|'));
    }
    return rows.join(QLatin1Char('\n'));
}

TEST_F(StoreStartup, FirstStartCreatesFolderFileTablesAndDefaults)
{
    ASSERT_FALSE(QFileInfo::exists(StoreFolder()));
    TdmMain dm(&FBoxes);
    dm.DataModuleCreate();
    EXPECT_TRUE(dm.IsStoreOpen());
    EXPECT_EQ(dm.StorePath(), StoreFile());
    EXPECT_TRUE(QFileInfo(StoreFile()).isFile());

    TConfig expected;
    expected.ReceiveResults = expected.ContinueOnError = expected.SaveList = expected.TransExecution =
        expected.CopyTitle = true;
    EXPECT_EQ(CurrentConfig, expected);
    EXPECT_EQ(dm.GetNextInstanceID(), 1);
    EXPECT_EQ(dm.GetNextDatabaseID(), 1);
    EXPECT_TRUE(dm.GetDBList().isEmpty());
    EXPECT_EQ(dm.GetInstanceHist(), QString());
    dm.DataModuleDestroy();

    auto c = OpenDirect();
    EXPECT_EQ(TableNames(*c), (QStringList{"Databases", "InstanceHist", "Instances", "Options", "System"}));
    EXPECT_EQ(RowText(*c, "select * from Options"), QStringLiteral("1|1|1|1|0|1|1|1"));
    EXPECT_EQ(RowText(*c, "select * from System"), QStringLiteral("1|1|5|2"));
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
}

TEST_F(StoreStartup, FileIsEncryptedForPlainSQLiteAndReadableWithThePassword)
{
    {
        TdmMain dm;
        dm.DataModuleCreate();
    }
    const QByteArray bytes = ReadAll(StoreFile());
    ASSERT_GT(bytes.size(), 0);
    EXPECT_FALSE(bytes.startsWith("SQLite format 3"));
    EXPECT_FALSE(bytes.contains("CopyTitle"));

    const auto plain = RunTool(QStringLiteral("sqlite3"), {StoreFile(), QStringLiteral("select * from Options;")});
    EXPECT_NE(plain.ExitCode, 0) << plain.Out.toStdString();
    EXPECT_TRUE(plain.Err.contains(QLatin1String("not a database"))) << plain.Err.toStdString();

    const QByteArray script = QByteArray("PRAGMA key = '") + TdmMain::StorePassword + "';\nselect * from Options;\n";
    const auto cipher = RunTool(QStringLiteral("sqlcipher"), {StoreFile()}, script);
    EXPECT_EQ(cipher.ExitCode, 0) << cipher.Err.toStdString();
    EXPECT_TRUE(cipher.Out.contains(QLatin1String("1|1|1|1|0|1|1"))) << cipher.Out.toStdString();

    const auto wrong = RunTool(QStringLiteral("sqlcipher"), {StoreFile()}, "PRAGMA key = 'other';\nselect * from Options;\n");
    EXPECT_FALSE(wrong.Out.contains(QLatin1String("1|1|1|1|0|1|1")));
}

TEST_F(StoreStartup, SecondStartKeepsTheFileAndReadsTheSavedOptions)
{
    {
        TdmMain dm(&FBoxes);
        dm.DataModuleCreate();
        dm.dsOptions.SetValue(TOptionField::SaveList, false);
        dm.dsOptions.SetValue(TOptionField::CopyTitle, false);
        dm.dsOptions.Post();
        dm.RefreshOptions();
        ASSERT_TRUE(dm.UpdateDBListData({{MakeInstance(3, "SRV\\A", "sa", "pw", false, {{5, "Sales"}})}}));
        dm.UpdateInstanceHist(QStringLiteral("SRV\\A|"));
    }
    const QByteArray before = ReadAll(StoreFile());
    CurrentConfig = {};
    {
        TdmMain dm(&FBoxes);
        dm.DataModuleCreate();
        TConfig expected;
        expected.ReceiveResults = expected.ContinueOnError = expected.TransExecution = true;
        EXPECT_EQ(CurrentConfig, expected);
        EXPECT_EQ(dm.GetDBList(), (TInstanceAndDBArr{{"SRV\\A", "sa", "pw", false, "Sales"}}));
        EXPECT_EQ(dm.GetInstanceHist(), QStringLiteral("SRV\\A|"));
        EXPECT_EQ(dm.GetNextInstanceID(), 4);
        EXPECT_EQ(dm.GetNextDatabaseID(), 6);
    }
    EXPECT_EQ(ReadAll(StoreFile()), before);
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
}

// Files that cannot serve as a store: the error names the file and the fault,
// the module goes on without a store, and the file is left as it was.
TEST_F(StoreStartup, UnusableFilesAreReportedAndLeftAlone)
{
    struct TCase {
        const char* Name;
        std::function<void()> Make;
        const char* Reason;
    };
    const TCase cases[] = {
        {"empty file", [&] { WriteAll(StoreFile(), {}); }, "empty file without tables"},
        {"damaged file",
         [&] {
             QByteArray junk;
             for (int i = 0; i < 8192; ++i)
                 junk += char((i * 7919) % 251);
             WriteAll(StoreFile(), junk);
         },
         "damaged"},
        {"another password",
         [&] {
             TStoreConnection c;
             c.Open(StoreFile(), QStringLiteral("not-the-password"));
             c.ExecScript(QStringLiteral("create table Options(Id int primary key, SaveList boolean);"
                                         "insert into Options values(1, 1);"));
         },
         "another password"},
        {"plain SQLite file",
         [&] {
             const auto r = RunTool(QStringLiteral("sqlite3"),
                                    {StoreFile(), QStringLiteral("create table Options(Id int); insert into Options values(1);")});
             ASSERT_EQ(r.ExitCode, 0) << r.Err.toStdString();
         },
         "not a store of this program"},
        {"damaged page of a real store",
         [&] {
             {
                 TdmMain dm;
                 dm.DataModuleCreate();
             }
             QByteArray bytes = ReadAll(StoreFile());
             bytes[100] = char(bytes[100] ^ 0x5A);
             WriteAll(StoreFile(), bytes);
         },
         "damaged"},
    };
    for (const TCase& tc : cases) {
        SCOPED_TRACE(tc.Name);
        QFile::remove(StoreFile());
        QDir().mkpath(StoreFolder());
        tc.Make();
        const QByteArray before = ReadAll(StoreFile());
        CurrentConfig = {};

        TdmMain dm(&FBoxes);
        QString message;
        try {
            dm.DataModuleCreate();
        } catch (const EOrvexaError& e) {
            message = e.Message();
        }
        EXPECT_TRUE(message.contains(StoreFile())) << message.toStdString();
        EXPECT_TRUE(message.contains(QLatin1String(tc.Reason))) << message.toStdString();
        EXPECT_FALSE(dm.IsStoreOpen());
        EXPECT_EQ(dm.StartupError(), message);
        EXPECT_EQ(CurrentConfig, TConfig{});
        // Later operations fail with their own error, which says why.
        try {
            dm.GetDBList();
            ADD_FAILURE() << "GetDBList worked without a store";
        } catch (const EOrvexaError& e) {
            EXPECT_TRUE(e.Message().contains(message)) << e.Message().toStdString();
        }
        EXPECT_THROW(dm.dsOptions.SetValue(TOptionField::SaveList, true), EOrvexaError);
        dm.DataModuleDestroy();
        EXPECT_EQ(ReadAll(StoreFile()), before);
    }
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
}

TEST_F(StoreStartup, UnwritableFolderIsReported)
{
    // A file where the maker folder should be: the folder cannot be created.
    WriteAll(StoreFolder(), "not a folder");
    TdmMain dm;
    try {
        dm.DataModuleCreate();
        FAIL() << "start-up worked";
    } catch (const EOrvexaError& e) {
        EXPECT_TRUE(e.Message().contains(StoreFile())) << e.Message().toStdString();
    }
    EXPECT_FALSE(dm.IsStoreOpen());
}

TEST_F(StoreStartup, ShutdownIsRepeatableAndStartupCanRetry)
{
    WriteAll(DataHome() + "/x", {});
    QDir().mkpath(StoreFolder());
    WriteAll(StoreFile(), {});
    TdmMain dm;
    EXPECT_THROW(dm.DataModuleCreate(), EOrvexaError);
    QFile::remove(StoreFile());
    dm.DataModuleCreate();
    EXPECT_TRUE(dm.IsStoreOpen());
    EXPECT_TRUE(dm.StartupError().isEmpty());
    dm.DataModuleDestroy();
    dm.DataModuleDestroy();
    EXPECT_FALSE(dm.IsStoreOpen());
}

} // namespace
