// The options row and its edit buffer dsOptions, as the options dialog uses
// them: edit, OK (post, then RefreshOptions) and Cancel.
#include "StoreTestSupport.h"

namespace {

class StoreOptions : public TStoreTest {
protected:
    TConfig StoredRow()
    {
        auto c = OpenDirect();
        TStoreQuery q(*c, QStringLiteral("select * from Options where Id = 1"));
        TConfig row;
        if (q.Step())
            for (const TOptionColumn& o : OptionColumns) {
                const int col = q.ColumnIndex(QLatin1String(o.Column));
                o.Set(row, o.IsBool ? int(q.Bool(col)) : int(q.Int(col)));
            }
        return row;
    }
    void SetStored(const QString& sql)
    {
        auto c = OpenDirect();
        c->ExecScript(sql);
    }
    static TConfig Defaults()
    {
        TConfig c;
        for (const TOptionColumn& o : OptionColumns)
            o.Set(c, o.NewStore);
        return c;
    }
    void NewStore()
    {
        TdmMain dm;
        dm.DataModuleCreate();
    }
};

TEST_F(StoreOptions, OkWithoutChangeSavesNothingAndStillReloads)
{
    NewStore();
    const QByteArray before = ReadAll(StoreFile());
    TdmMain dm;
    dm.DataModuleCreate();
    CurrentConfig = {};  // stands for values that differ from the row
    ASSERT_FALSE(dm.dsOptions.IsEditing());
    dm.dsOptions.Post();
    dm.RefreshOptions();
    EXPECT_EQ(CurrentConfig, Defaults());
    dm.DataModuleDestroy();
    EXPECT_EQ(ReadAll(StoreFile()), before);
}

TEST_F(StoreOptions, EachEditedOptionIsSavedAndReloaded)
{
    NewStore();
    for (const TOptionColumn& o : OptionColumns) {
        if (!o.Edited)
            continue;
        SCOPED_TRACE(o.Column);
        TdmMain dm;
        dm.DataModuleCreate();
        const TConfig was = CurrentConfig;
        // A truth value flips; an integer goes to its far end.
        const int value = o.IsBool ? 1 - o.Get(was) : (o.Get(was) == o.Max ? o.Min : o.Max);
        dm.dsOptions.SetIntValue(o.Field, value);
        EXPECT_TRUE(dm.dsOptions.IsEditing());
        EXPECT_EQ(dm.dsOptions.IntValue(o.Field), value);
        // Until OK reloads it, the options in force stay as they were.
        EXPECT_EQ(CurrentConfig, was);
        dm.dsOptions.Post();
        EXPECT_FALSE(dm.dsOptions.IsEditing());
        dm.RefreshOptions();
        TConfig expected = was;
        o.Set(expected, value);
        EXPECT_EQ(CurrentConfig, expected);
        dm.DataModuleDestroy();
        EXPECT_EQ(StoredRow(), expected);
    }
}

TEST_F(StoreOptions, DatabasesAtATimeTakesOneToSixtyFour)
{
    NewStore();
    TdmMain dm;
    dm.DataModuleCreate();
    EXPECT_EQ(dm.dsOptions.Parallelism(), 1);
    EXPECT_EQ(CurrentConfig.Parallelism, 1);
    for (const int bad : {0, -1, 65})
        EXPECT_THROW(dm.dsOptions.SetParallelism(bad), EOrvexaError) << bad;
    EXPECT_FALSE(dm.dsOptions.IsEditing());
    dm.dsOptions.SetParallelism(64);
    EXPECT_THROW(dm.dsOptions.SetParallelism(65), EOrvexaError);
    EXPECT_EQ(dm.dsOptions.Parallelism(), 64);
    dm.dsOptions.Post();
    dm.RefreshOptions();
    EXPECT_EQ(CurrentConfig.Parallelism, 64);
    dm.DataModuleDestroy();
    // A value written by hand outside the range is brought into it.
    SetStored(QStringLiteral("update Options set Parallelism = 500 where Id = 1;"));
    dm.DataModuleCreate();
    EXPECT_EQ(CurrentConfig.Parallelism, 64);
    dm.DataModuleDestroy();
    SetStored(QStringLiteral("update Options set Parallelism = NULL where Id = 1;"));
    dm.DataModuleCreate();
    EXPECT_EQ(CurrentConfig.Parallelism, 1);
}

TEST_F(StoreOptions, AStoreMadeBeforeTheOptionGetsItsColumnWhenOpened)
{
    // The first store layout, with its lists and its options as a user left them.
    QDir().mkpath(StoreFolder());
    {
        TStoreConnection c;
        c.Open(StoreFile(), QLatin1String(TdmMain::StorePassword));
        c.ExecScript(QStringLiteral(
            "create table System( SystemID int primary key, MajorVer int,MinorVer int,ReleaseVer int);\n"
            "Insert into System values(1,1,5,2);\n"
            "create table Instances( InstanceID int primary key,InstanceName nvarchar(255),UserName nvarchar(255),"
            "UserPWD nvarchar(255),NT Boolean);\n"
            "create table Databases(DataBaseID int primary key,InstanceID int,DataBaseName nvarchar(255),"
            "foreign key(InstanceID) references Instances(InstanceID));\n"
            "create table Options(Id int primary key,ReceiveResults boolean default true,ContinueOnError boolean "
            "default true,SaveList boolean default true,MergeResults boolean default false,TransExecution boolean "
            "default true,CopyTitle boolean default true );\n"
            "Insert into Options values(1,0,1,1,1,0,1);\n"
            "create table InstanceHist(ID int primary key,InstanceName nvarchar(255));\n"
            "insert into Instances values(1,'srv',NULL,NULL,1);\n"
            "insert into Databases values(1,1,'db1');\n"
            "insert into InstanceHist values(1,'srv');"));
    }
    const auto dump = [&](const char* sql) {
        auto c = OpenDirect();
        TStoreQuery q(*c, QLatin1String(sql));
        QStringList rows;
        while (q.Step()) {
            QStringList cells;
            for (int i = 0; i < q.ColumnCount(); ++i)
                cells << q.Text(i);
            rows << cells.join(QLatin1Char('|'));
        }
        return rows;
    };
    const char* const others[] = {"select * from System", "select * from Instances", "select * from Databases",
                                  "select * from InstanceHist",
                                  "select name, sql from sqlite_master where name <> 'Options' order by name"};
    QList<QStringList> before;
    for (const char* sql : others)
        before << dump(sql);

    TdmMain dm;
    dm.DataModuleCreate();
    EXPECT_EQ(CurrentConfig.Parallelism, 1);
    EXPECT_FALSE(CurrentConfig.ReceiveResults);
    EXPECT_TRUE(CurrentConfig.MergeResults);
    EXPECT_FALSE(CurrentConfig.TransExecution);
    dm.DataModuleDestroy();

    EXPECT_EQ(dump("select * from Options"), QStringList{QStringLiteral("1|0|1|1|1|0|1|1")});
    for (size_t i = 0; i < std::size(others); ++i)
        EXPECT_EQ(dump(others[i]), before[qsizetype(i)]) << others[i];

    // Opened again, nothing changes; the new option saves like any other.
    const QByteArray migrated = ReadAll(StoreFile());
    dm.DataModuleCreate();
    dm.DataModuleDestroy();
    EXPECT_EQ(ReadAll(StoreFile()), migrated);
    dm.DataModuleCreate();
    dm.dsOptions.SetParallelism(8);
    dm.dsOptions.Post();
    dm.DataModuleDestroy();
    EXPECT_EQ(dump("select * from Options"), QStringList{QStringLiteral("1|0|1|1|1|0|1|8")});
}

TEST_F(StoreOptions, CancelDropsTheEdit)
{
    NewStore();
    const QByteArray before = ReadAll(StoreFile());
    TdmMain dm;
    dm.DataModuleCreate();
    dm.dsOptions.SetValue(TOptionField::SaveList, false);
    dm.dsOptions.SetValue(TOptionField::TransExecution, false);
    EXPECT_FALSE(dm.dsOptions.Value(TOptionField::SaveList));
    dm.dsOptions.Cancel();
    EXPECT_FALSE(dm.dsOptions.IsEditing());
    EXPECT_TRUE(dm.dsOptions.Value(TOptionField::SaveList));
    EXPECT_EQ(dm.dsOptions.Values(), Defaults());
    EXPECT_EQ(CurrentConfig, Defaults());
    // A later OK without a change saves nothing either.
    dm.dsOptions.Post();
    dm.DataModuleDestroy();
    EXPECT_EQ(ReadAll(StoreFile()), before);
}

TEST_F(StoreOptions, MergeResultsKeepsItsStoredValue)
{
    NewStore();
    SetStored(QStringLiteral("update Options set MergeResults = 1 where Id = 1;"));
    TdmMain dm;
    dm.DataModuleCreate();
    EXPECT_TRUE(CurrentConfig.MergeResults);
    EXPECT_THROW(dm.dsOptions.SetValue(TOptionField::MergeResults, false), EOrvexaError);
    dm.dsOptions.SetValue(TOptionField::CopyTitle, false);
    dm.dsOptions.Post();
    dm.RefreshOptions();
    EXPECT_TRUE(CurrentConfig.MergeResults);
    EXPECT_FALSE(CurrentConfig.CopyTitle);
    dm.DataModuleDestroy();
    EXPECT_TRUE(StoredRow().MergeResults);
}

TEST_F(StoreOptions, FailedSaveStaysInEditingAndTriesAgain)
{
    NewStore();
    TdmMain dm;
    dm.DataModuleCreate();
    dm.dsOptions.SetValue(TOptionField::ContinueOnError, false);
    {
        // Another writer holds the file: the save cannot take its lock.
        auto other = OpenDirect();
        other->Begin();
        EXPECT_THROW(dm.dsOptions.Post(), EOrvexaError);
        other->Rollback();
    }
    EXPECT_TRUE(dm.dsOptions.IsEditing());
    EXPECT_FALSE(dm.dsOptions.Value(TOptionField::ContinueOnError));
    EXPECT_EQ(CurrentConfig, Defaults());
    dm.dsOptions.Post();
    dm.RefreshOptions();
    EXPECT_FALSE(CurrentConfig.ContinueOnError);
    dm.DataModuleDestroy();
    EXPECT_FALSE(StoredRow().ContinueOnError);
}

TEST_F(StoreOptions, MissingValuesReadAsFalse)
{
    NewStore();
    SetStored(QStringLiteral("update Options set ReceiveResults = NULL, CopyTitle = 'true', SaveList = 'false' "
                             "where Id = 1;"));
    TdmMain dm;
    dm.DataModuleCreate();
    EXPECT_FALSE(CurrentConfig.ReceiveResults);
    EXPECT_TRUE(CurrentConfig.CopyTitle);
    EXPECT_FALSE(CurrentConfig.SaveList);
    EXPECT_TRUE(CurrentConfig.ContinueOnError);
    dm.DataModuleDestroy();

    // Without the row every option reads false; saving an edit creates it.
    SetStored(QStringLiteral("delete from Options;"));
    TdmMain dm2;
    dm2.DataModuleCreate();
    EXPECT_EQ(CurrentConfig, TConfig{});
    dm2.dsOptions.SetValue(TOptionField::SaveList, true);
    dm2.dsOptions.Post();
    dm2.RefreshOptions();
    TConfig expected;
    expected.SaveList = true;
    EXPECT_EQ(CurrentConfig, expected);
    dm2.DataModuleDestroy();
    EXPECT_EQ(StoredRow(), expected);
}

} // namespace
