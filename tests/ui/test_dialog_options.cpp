// The options dialog on the offscreen platform with a real store: the row is
// edited in place, saved on OK, dropped on Cancel and Esc, and what OK saves
// is what the next grid copy uses.
#include "DialogTestSupport.h"

#include "untOptions.h"
#include "untResultStringGrid.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QPushButton>
#include <QSpinBox>

namespace {

class OptionsDialog : public TDialogTest {
protected:
    void SetUp() override
    {
        TDialogTest::SetUp();
        Options = std::make_unique<TfrmOptions>();
    }
    void TearDown() override
    {
        Options.reset();
        TDialogTest::TearDown();
    }

    void Show()
    {
        Options->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Options.get()));
    }

    // The stored row, read past the data module.
    QString StoredRow() const
    {
        auto conn = OpenDirect();
        TStoreQuery q(*conn, QStringLiteral("select ReceiveResults, MergeResults, ContinueOnError, SaveList, "
                                            "TransExecution, CopyTitle, Parallelism from Options"));
        QStringList values;
        if (q.Step())
            for (int i = 0; i < q.ColumnCount(); ++i)
                values << q.Text(i);
        return values.join(QLatin1Char(','));
    }

    // What Ctrl+C in a result grid puts on the clipboard for a one-cell result.
    static QString GridCopy()
    {
        TResultTable table;
        table.DefineColumns({{QStringLiteral("name"), ftWideString, 100, 0, false}});
        table.AppendText(u"value");
        table.Post();
        TResultStringGrid grid;
        grid.FillData(table.Snapshot());
        grid.show();
        grid.SelectAll();
        QApplication::clipboard()->clear();
        QTest::keySequence(&grid, QKeySequence::Copy);
        return QApplication::clipboard()->text();
    }

    std::unique_ptr<TfrmOptions> Options;
};

TEST_F(OptionsDialog, OKSavesCancelAndEscapeDropAndTheNextCopyFollows)
{
    struct TCase {
        const char* Title;
        const char* Close;  // "OK", "Cancel", "Esc", "Enter"
        bool Saved;
    };
    const TCase cases[] = {
        {"Cancel", "Cancel", false},
        {"Esc", "Esc", false},
        {"OK", "OK", true},
        {"Enter", "Enter", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Title);
        // A new store's row has titles on and one database at a time.
        Dm().dsOptions.SetValue(TOptionField::CopyTitle, true);
        Dm().dsOptions.SetParallelism(1);
        Dm().dsOptions.Post();
        Dm().RefreshOptions();
        const QString before = StoredRow();
        EXPECT_EQ(GridCopy(), "name\r\nvalue\r\n");

        Show();
        EXPECT_TRUE(Options->ckbCopyTitle->isChecked());
        QTest::mouseClick(Options->ckbCopyTitle, Qt::LeftButton);
        EXPECT_FALSE(Options->ckbCopyTitle->isChecked());
        Options->spnParallelism->setValue(8);
        EXPECT_TRUE(Dm().dsOptions.IsEditing());
        EXPECT_EQ(StoredRow(), before);  // edited in place, not saved yet

        const QString close = QLatin1String(c.Close);
        if (close == "OK")
            QTest::mouseClick(Options->btnOK, Qt::LeftButton);
        else if (close == "Cancel")
            QTest::mouseClick(Options->btnCancel, Qt::LeftButton);
        else
            QTest::keyClick(Options->ckbSaveList, close == "Esc" ? Qt::Key_Escape : Qt::Key_Return);
        EXPECT_FALSE(Options->isVisible());
        EXPECT_EQ(Options->result(), c.Saved ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_FALSE(Dm().dsOptions.IsEditing());
        EXPECT_EQ(CurrentConfig.CopyTitle, !c.Saved);
        EXPECT_EQ(CurrentConfig.Parallelism, c.Saved ? 8 : 1);
        EXPECT_EQ(GridCopy(), c.Saved ? "value\r\n" : "name\r\nvalue\r\n");
        if (!c.Saved)
            EXPECT_EQ(StoredRow(), before);
        else
            EXPECT_NE(StoredRow(), before);
        EXPECT_TRUE(FPrompt.Shown.isEmpty());
    }
}

TEST_F(OptionsDialog, ShowsTheRowAndOKWithoutChangesLeavesItAlone)
{
    Dm().dsOptions.SetValue(TOptionField::SaveList, true);
    Dm().dsOptions.SetValue(TOptionField::ReceiveResults, false);
    Dm().dsOptions.SetValue(TOptionField::ContinueOnError, true);
    Dm().dsOptions.SetValue(TOptionField::TransExecution, false);
    Dm().dsOptions.SetValue(TOptionField::CopyTitle, true);
    Dm().dsOptions.SetParallelism(64);
    Dm().dsOptions.Post();
    CurrentConfig = {};
    const QString before = StoredRow();

    Show();
    EXPECT_TRUE(Options->ckbSaveList->isChecked());
    EXPECT_FALSE(Options->ckbReceiveResults->isChecked());
    EXPECT_TRUE(Options->ckbContinueOnError->isChecked());
    EXPECT_FALSE(Options->ckbTransExecution->isChecked());
    EXPECT_TRUE(Options->ckbCopyTitle->isChecked());
    EXPECT_EQ(Options->spnParallelism->value(), 64);
    EXPECT_EQ(Options->spnParallelism->minimum(), 1);
    EXPECT_EQ(Options->spnParallelism->maximum(), 64);
    QTest::mouseClick(Options->btnOK, Qt::LeftButton);
    EXPECT_EQ(StoredRow(), before);
    // OK reloads the options in force all the same.
    EXPECT_TRUE(CurrentConfig.SaveList);
    EXPECT_TRUE(CurrentConfig.ContinueOnError);
    EXPECT_EQ(CurrentConfig.Parallelism, 64);
}

TEST_F(OptionsDialog, AFailedSaveIsReportedAndTriedAgainNextTime)
{
    Dm().dsOptions.SetValue(TOptionField::CopyTitle, true);
    Dm().dsOptions.Post();
    Dm().RefreshOptions();
    OpenDirect()->ExecScript("create trigger refuse before update on Options "
                             "begin select raise(abort, 'options refused'); end;");
    Show();
    QTest::mouseClick(Options->ckbCopyTitle, Qt::LeftButton);
    QTest::mouseClick(Options->btnOK, Qt::LeftButton);
    // The dialog closed with OK; the error was shown; the options in force stay.
    EXPECT_FALSE(Options->isVisible());
    EXPECT_EQ(Options->result(), QDialog::Accepted);
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_TRUE(FPrompt.Shown[0].Text.contains("options refused")) << FPrompt.Shown[0].Text.toStdString();
    EXPECT_EQ(FPrompt.Shown[0].Icon, TMsgIcon::Error);
    EXPECT_TRUE(CurrentConfig.CopyTitle);
    EXPECT_TRUE(Dm().dsOptions.IsEditing());

    // The next showing presents the pending edit, and its OK saves it.
    OpenDirect()->ExecScript("drop trigger refuse;");
    Show();
    EXPECT_FALSE(Options->ckbCopyTitle->isChecked());
    QTest::mouseClick(Options->btnOK, Qt::LeftButton);
    EXPECT_FALSE(CurrentConfig.CopyTitle);
    EXPECT_FALSE(Dm().dsOptions.IsEditing());
    EXPECT_EQ(FPrompt.Shown.size(), 1);
}

TEST_F(OptionsDialog, LayoutKeyboardAndNoCloseBox)
{
    Show();
    EXPECT_EQ(Options->windowTitle(), "Options");
    EXPECT_FALSE(Options->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(Options->windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_TRUE(Options->btnOK->isDefault());
    EXPECT_EQ(Options->GroupBox->title(), "Regular");
    EXPECT_EQ(Options->GroupBox1->title(), "Execution");
    EXPECT_EQ(Options->ckbContinueOnError->text(), "Skip to next database when  error occurs");
    EXPECT_EQ(Options->ckbTransExecution->text(), "Auto begin transaction for each fille");
    EXPECT_EQ(Options->ckbReceiveResults->text(), "Retrieve the result set");
    EXPECT_EQ(Options->ckbSaveList->text(), "Auto save database list");
    EXPECT_EQ(Options->ckbCopyTitle->text(), "Include titles when copy results");
    // "Regular" above "Execution" at the left, OK above Cancel at the right.
    EXPECT_LT(Options->GroupBox->geometry().bottom(), Options->GroupBox1->geometry().top());
    EXPECT_LT(Options->GroupBox->geometry().right(), Options->btnOK->geometry().left());
    EXPECT_LT(Options->btnOK->geometry().bottom(), Options->btnCancel->geometry().top());
    const QList<QWidget*> order{Options->ckbSaveList, Options->ckbCopyTitle, Options->ckbReceiveResults,
                                Options->ckbContinueOnError, Options->ckbTransExecution,
                                Options->spnParallelism, Options->btnOK, Options->btnCancel};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        while (next && (next->focusPolicy() == Qt::NoFocus || order[i]->isAncestorOf(next)))
            next = next->nextInFocusChain();
        EXPECT_EQ(next, order[i + 1]) << i;
    }
    // Space on a focused check box edits the row like a click.
    Options->ckbSaveList->setFocus();
    const bool saveList = Options->ckbSaveList->isChecked();
    QTest::keyClick(Options->ckbSaveList, Qt::Key_Space);
    EXPECT_EQ(Dm().dsOptions.Value(TOptionField::SaveList), !saveList);
    QTest::keyClick(Options->ckbSaveList, Qt::Key_Escape);
    EXPECT_EQ(Dm().dsOptions.Value(TOptionField::SaveList), saveList);
}

} // namespace
