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
        if (q.Step()) {
            row.ReceiveResults = q.Bool(q.ColumnIndex("ReceiveResults"));
            row.MergeResults = q.Bool(q.ColumnIndex("MergeResults"));
            row.ContinueOnError = q.Bool(q.ColumnIndex("ContinueOnError"));
            row.SaveList = q.Bool(q.ColumnIndex("SaveList"));
            row.TransExecution = q.Bool(q.ColumnIndex("TransExecution"));
            row.CopyTitle = q.Bool(q.ColumnIndex("CopyTitle"));
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
        c.ReceiveResults = c.ContinueOnError = c.SaveList = c.TransExecution = c.CopyTitle = true;
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

TEST_F(StoreOptions, EachCheckBoxIsSavedAndReloaded)
{
    NewStore();
    const TOptionField edited[] = {TOptionField::SaveList, TOptionField::CopyTitle, TOptionField::ReceiveResults,
                                   TOptionField::ContinueOnError, TOptionField::TransExecution};
    for (TOptionField f : edited) {
        SCOPED_TRACE(TOptionsSource::ColumnName(f));
        TdmMain dm;
        dm.DataModuleCreate();
        const TConfig was = CurrentConfig;
        dm.dsOptions.SetValue(f, !dm.dsOptions.Value(f));
        EXPECT_TRUE(dm.dsOptions.IsEditing());
        // Until OK reloads it, the options in force stay as they were.
        EXPECT_EQ(CurrentConfig, was);
        dm.dsOptions.Post();
        EXPECT_FALSE(dm.dsOptions.IsEditing());
        dm.RefreshOptions();
        TConfig expected = was;
        switch (f) {
        case TOptionField::SaveList: expected.SaveList = !was.SaveList; break;
        case TOptionField::CopyTitle: expected.CopyTitle = !was.CopyTitle; break;
        case TOptionField::ReceiveResults: expected.ReceiveResults = !was.ReceiveResults; break;
        case TOptionField::ContinueOnError: expected.ContinueOnError = !was.ContinueOnError; break;
        case TOptionField::TransExecution: expected.TransExecution = !was.TransExecution; break;
        case TOptionField::MergeResults: break;
        }
        EXPECT_EQ(CurrentConfig, expected);
        dm.DataModuleDestroy();
        EXPECT_EQ(StoredRow(), expected);
    }
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
