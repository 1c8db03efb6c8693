// The main window's lists, commands, enabling rules, keys, status bar and
// closing, with real widgets on the offscreen platform and a real store in a
// temporary folder.
#include "PromptRecorder.h"
#include "StoreTestSupport.h"
#include "UiTestSupport.h"
#include "untDmMain.h"
#include "untMain.h"
#include "untProgressPanel.h"
#include "untResultPageControl.h"

#include <QClipboard>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>

namespace {

class MainWindowTest : public TStoreTest {
protected:
    void SetUp() override
    {
        TStoreTest::SetUp();
        TestApp();
        FDm = std::make_unique<TdmMain>(&FPrompt);
        FDm->DataModuleCreate();
        dmMain = FDm.get();
    }
    void TearDown() override
    {
        FWindow.reset();
        dmMain = nullptr;
        FDm.reset();
    }

    // Stores databases on one instance: names in order.
    void StoreDatabases(const QStringList& names, const QString& instance = QStringLiteral("SRV1"))
    {
        TDBListPacket packet = FDm->GetDBListData();
        const qint32 id = FDm->GetNextInstanceID();
        TPacketInstance inst{id, instance, QStringLiteral("sa"), QStringLiteral("pw"), false, {}};
        for (const QString& name : names)
            inst.Databases.append({FDm->GetNextDatabaseID(), id, name});
        packet.Instances.append(inst);
        ASSERT_TRUE(FDm->UpdateDBListData(packet));
    }

    TfrmMain& Window()
    {
        if (!FWindow) {
            FWindow = std::make_unique<TfrmMain>();
            FWindow->SetDialogs({[this] { ++FAddDatabasesShown; return FAddDatabasesAnswer; }, [] {}, [] {}});
            FWindow->show();
            QCoreApplication::processEvents();
        }
        return *FWindow;
    }

    // Adds script files through the command, as the open dialog returns them.
    void AddFiles(const QStringList& names)
    {
        QStringList paths;
        for (const QString& n : names)
            paths << TempFile(n);
        FPrompt.Files.enqueue(paths);
        Window().actAddSQLFile->trigger();
    }

    QStringList Column(QTreeWidget* list, int column) const
    {
        QStringList texts;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            texts << list->topLevelItem(i)->text(column);
        return texts;
    }

    void Select(QTreeWidget* list, const QList<int>& rows)
    {
        list->clearSelection();
        for (int r : rows)
            list->topLevelItem(r)->setSelected(true);
    }

    TPromptRecorder FPrompt;
    std::unique_ptr<TdmMain> FDm;
    std::unique_ptr<TfrmMain> FWindow;
    int FAddDatabasesShown = 0;
    bool FAddDatabasesAnswer = true;
};

TEST_F(MainWindowTest, StatusBarTextsBeforeAndAfterTheFirstShowing)
{
    StoreDatabases({QStringLiteral("A"), QStringLiteral("B")});
    TfrmMain window;
    EXPECT_EQ(window.StatusPanel0->text(), QStringLiteral("0 database(s)"));
    EXPECT_EQ(window.StatusPanel1->text(), QStringLiteral("Ready"));
    EXPECT_EQ(window.StatusPanel3->text(), QStringLiteral("0 SQL file(s)"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Orvexa"));
    window.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(window.StatusPanel0->text(), QStringLiteral(" 2 database(s)"));
    EXPECT_EQ(window.StatusPanel3->text(), QStringLiteral("0 SQL file(s)"));
    EXPECT_EQ(window.Status(), stReady);
    EXPECT_EQ(window.lvDatabases->topLevelItemCount(), 2);
    EXPECT_EQ(window.lvDatabases->topLevelItem(0)->text(0), QStringLiteral("SRV1"));
    EXPECT_EQ(window.lvDatabases->topLevelItem(1)->text(1), QStringLiteral("B"));
    EXPECT_FALSE(window.pnlBottom->isVisible());
    EXPECT_EQ(window.StatusPanel0->width(), 180);
    EXPECT_EQ(window.StatusPanel1->width(), 280);
    EXPECT_EQ(window.StatusPanel2->width(), 100);
    EXPECT_EQ(window.StatusPanel3->width(), 180);
}

TEST_F(MainWindowTest, EnablingRulesFollowTheListsAndSelections)
{
    struct TState {
        const char* Moment;
        bool ClearDB, ExportDBList, Run, DelDB, MoveUp, RemoveSQL, EditSQL;
    };
    TfrmMain& w = Window();
    auto check = [&](const TState& s) {
        SCOPED_TRACE(s.Moment);
        EXPECT_EQ(w.actClearDB->isEnabled(), s.ClearDB);
        EXPECT_EQ(w.actExportDBList->isEnabled(), s.ExportDBList);
        EXPECT_EQ(w.actRun->isEnabled(), s.Run);
        EXPECT_EQ(w.actDelDB->isEnabled(), s.DelDB);
        EXPECT_EQ(w.actMoveUp->isEnabled(), s.MoveUp);
        EXPECT_EQ(w.actMoveDown->isEnabled(), s.MoveUp);
        EXPECT_EQ(w.actRemoveSQLFile->isEnabled(), s.RemoveSQL);
        EXPECT_EQ(w.actEditSQLFile->isEnabled(), s.EditSQL);
        EXPECT_FALSE(w.actStop->isEnabled());
        EXPECT_TRUE(w.actAddDB->isEnabled());
        EXPECT_TRUE(w.actAddSQLFile->isEnabled());
        EXPECT_TRUE(w.actImportDBList->isEnabled());
    };
    check({"empty lists", false, false, false, false, false, false, false});
    AddFiles({QStringLiteral("a.sql")});
    check({"files but no databases", false, false, false, false, false, false, false});
    StoreDatabases({QStringLiteral("A")});
    w.actAddDB->trigger();  // the dialog "closes with OK": the list is reloaded
    EXPECT_EQ(FAddDatabasesShown, 1);
    check({"both lists", true, true, true, false, false, false, false});
    Select(w.lvSQLFiles, {0});
    check({"a file selected", true, true, true, false, true, true, true});
    Select(w.lvDatabases, {0});
    check({"a database selected too", true, true, true, true, true, true, true});
    w.actClearDB->trigger();
    check({"database list cleared", false, false, false, false, true, true, true});
}

TEST_F(MainWindowTest, AddingAFileTwiceListsItTwice)
{
    TfrmMain& w = Window();
    AddFiles({QStringLiteral("a.sql"), QStringLiteral("b.txt")});
    AddFiles({QStringLiteral("a.sql")});
    EXPECT_EQ(Column(w.lvSQLFiles, 0), (QStringList{"a.sql", "b.txt", "a.sql"}));
    EXPECT_EQ(Column(w.lvSQLFiles, 1), (QStringList{"1", "2", "3"}));
    const QString folder = QDir::toNativeSeparators(FTemp.path()) + QDir::separator();
    EXPECT_EQ(Column(w.lvSQLFiles, 2), (QStringList{folder, folder, folder}));
    EXPECT_EQ(w.SQLFilePaths(), (QStringList{TempFile("a.sql"), TempFile("b.txt"), TempFile("a.sql")}));
    EXPECT_EQ(w.StatusPanel3->text(), QStringLiteral(" 3 SQL file(s)"));
    EXPECT_EQ(FPrompt.DialogCaptions.value(0), QStringLiteral("Select SQL Files"));

    // Cancel in the dialog changes nothing at all.
    w.actAddSQLFile->trigger();
    EXPECT_EQ(w.lvSQLFiles->topLevelItemCount(), 3);
}

TEST_F(MainWindowTest, MoveUpAndDown)
{
    struct TCase {
        const char* Name;
        QList<int> Selected;
        bool Up;
        QStringList Order;
        QList<int> SelectedAfter;
    };
    const QList<TCase> cases = {
        {"up on the first entry", {0}, true, {"1", "2", "3", "4", "5"}, {0}},
        {"down on the last entry", {4}, false, {"1", "2", "3", "4", "5"}, {4}},
        {"up with 2 and 4 selected", {1, 3}, true, {"2", "1", "3", "4", "5"}, {0, 3}},
        {"down with 2 and 4 selected", {1, 3}, false, {"1", "3", "2", "4", "5"}, {2, 3}},
        {"down on the first entry", {0}, false, {"2", "1", "3", "4", "5"}, {1}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        FWindow.reset();
        TfrmMain& w = Window();
        AddFiles({"1", "2", "3", "4", "5"});
        Select(w.lvSQLFiles, c.Selected);
        (c.Up ? w.actMoveUp : w.actMoveDown)->trigger();
        EXPECT_EQ(Column(w.lvSQLFiles, 0), c.Order);
        EXPECT_EQ(Column(w.lvSQLFiles, 1), (QStringList{"1", "2", "3", "4", "5"}));
        QList<int> selected;
        for (int i = 0; i < 5; ++i)
            if (w.lvSQLFiles->topLevelItem(i)->isSelected())
                selected << i;
        EXPECT_EQ(selected, c.SelectedAfter);
    }
}

TEST_F(MainWindowTest, RemovingThreeOfFiveRenumbers)
{
    TfrmMain& w = Window();
    AddFiles({"1", "2", "3", "4", "5"});
    Select(w.lvSQLFiles, {0, 2, 4});
    w.actRemoveSQLFile->trigger();
    EXPECT_EQ(Column(w.lvSQLFiles, 0), (QStringList{"2", "4"}));
    EXPECT_EQ(Column(w.lvSQLFiles, 1), (QStringList{"1", "2"}));
    EXPECT_EQ(w.StatusPanel3->text(), QStringLiteral(" 2 SQL file(s)"));
}

TEST_F(MainWindowTest, DeleteKeyActsOnTheFocusedList)
{
    StoreDatabases({"A", "B", "C"});
    TfrmMain& w = Window();
    AddFiles({"1", "2", "3"});
    QApplication::setActiveWindow(&w);

    Select(w.lvDatabases, {1});
    w.lvDatabases->setFocus();
    QTest::keyClick(w.lvDatabases, Qt::Key_Delete);
    EXPECT_EQ(Column(w.lvDatabases, 1), (QStringList{"A", "C"}));
    EXPECT_EQ(w.StatusPanel0->text(), QStringLiteral(" 2 database(s)"));
    EXPECT_EQ(w.lvSQLFiles->topLevelItemCount(), 3);
    EXPECT_TRUE(FPrompt.Shown.isEmpty());  // no question

    Select(w.lvSQLFiles, {0});
    w.lvSQLFiles->setFocus();
    QTest::keyClick(w.lvSQLFiles, Qt::Key_Delete);
    EXPECT_EQ(Column(w.lvSQLFiles, 0), (QStringList{"2", "3"}));
    EXPECT_EQ(w.lvDatabases->topLevelItemCount(), 2);
}

TEST_F(MainWindowTest, DeleteDatabasesRemovesEmptiedInstances)
{
    StoreDatabases({"A"}, QStringLiteral("SRV1"));
    StoreDatabases({"B", "C"}, QStringLiteral("SRV2"));
    TfrmMain& w = Window();
    Select(w.lvDatabases, {0, 2});
    w.actDelDB->trigger();
    EXPECT_EQ(Column(w.lvDatabases, 0), (QStringList{"SRV2"}));
    EXPECT_EQ(Column(w.lvDatabases, 1), (QStringList{"B"}));
    EXPECT_EQ(FDm->GetDBListData().Instances.size(), 1);
}

TEST_F(MainWindowTest, SaveListDecidesWhetherTheListSurvivesAClose)
{
    for (bool saveList : {true, false}) {
        SCOPED_TRACE(saveList ? "SaveList on" : "SaveList off");
        FDm->ClearDBList();
        StoreDatabases({"A", "B"});
        CurrentConfig.SaveList = saveList;
        Window().close();
        FWindow.reset();
        // A new start of the application on the same store.
        dmMain = nullptr;
        FDm.reset();
        FDm = std::make_unique<TdmMain>(&FPrompt);
        FDm->DataModuleCreate();
        dmMain = FDm.get();
        EXPECT_EQ(Window().lvDatabases->topLevelItemCount(), saveList ? 2 : 0);
        EXPECT_EQ(FDm->GetDBListData().Instances.size(), saveList ? 1 : 0);
        FWindow.reset();
    }
}

TEST_F(MainWindowTest, AStoreErrorInACommandIsShownAndTheListKept)
{
    StoreDatabases({"A", "B"});
    TfrmMain& w = Window();
    FDm->DataModuleDestroy();  // the store goes away under the window
    Select(w.lvDatabases, {0});
    w.actClearDB->trigger();
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_EQ(FPrompt.Shown[0].Icon, TMsgIcon::Error);
    EXPECT_FALSE(FPrompt.Shown[0].Text.isEmpty());
    EXPECT_EQ(w.lvDatabases->topLevelItemCount(), 2);  // not rebuilt
}

TEST_F(MainWindowTest, AFailedStartUpStillOpensTheWindow)
{
    FDm->DataModuleDestroy();
    WriteAll(StoreFile(), QByteArray("this is not a database file at all, not even close......"));
    FDm = std::make_unique<TdmMain>(&FPrompt);
    dmMain = FDm.get();
    EXPECT_THROW(FDm->DataModuleCreate(), EOrvexaError);
    TfrmMain& w = Window();
    EXPECT_TRUE(w.isVisible());
    // The first list load said why; every list command says why again.
    const int before = FPrompt.Shown.size();
    EXPECT_GE(before, 1);
    w.actImportDBList->trigger();  // answered Yes by default? no: OK is not Yes, so it stops
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    FPrompt.Files.enqueue({TempFile("list.dat")});
    WriteAll(TempFile("list.dat"), "x");
    w.actImportDBList->trigger();
    EXPECT_GT(FPrompt.Shown.size(), before + 1);
    EXPECT_EQ(FPrompt.Shown.last().Icon, TMsgIcon::Error);
}

TEST_F(MainWindowTest, ImportOfAFileThatIsNotAListKeepsTheList)
{
    StoreDatabases({"A", "B"});
    TfrmMain& w = Window();
    WriteAll(TempFile("notalist.xml"), "<html><body>hello</body></html>");
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    FPrompt.Files.enqueue({TempFile("notalist.xml")});
    w.actImportDBList->trigger();
    ASSERT_GE(FPrompt.Shown.size(), 2);
    EXPECT_EQ(FPrompt.Shown[0].Text,
              QStringLiteral("Importing databse list will cause the existing list to be lost. Continue?"));
    EXPECT_EQ(FPrompt.Shown[0].Caption, QStringLiteral("Hint"));
    EXPECT_TRUE(FPrompt.Shown.last().Text.contains(QStringLiteral("notalist.xml")));
    EXPECT_EQ(w.lvDatabases->topLevelItemCount(), 2);
    EXPECT_EQ(FPrompt.DialogCaptions.value(0), QStringLiteral("Import database list"));

    // No at the question: no dialog at all.
    FPrompt.Answers.enqueue(TMsgButton::No);
    w.actImportDBList->trigger();
    EXPECT_EQ(FPrompt.DialogCaptions.size(), 1);
}

TEST_F(MainWindowTest, ExportAndImportRoundTrip)
{
    StoreDatabases({"A", "B"});
    TfrmMain& w = Window();
    FPrompt.Files.enqueue({TempFile("list.dat")});
    w.actExportDBList->trigger();
    EXPECT_EQ(FPrompt.DialogCaptions.value(0), QStringLiteral("Export database list"));
    ASSERT_TRUE(QFile::exists(TempFile("list.dat")));
    w.actClearDB->trigger();
    EXPECT_EQ(w.lvDatabases->topLevelItemCount(), 0);
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    FPrompt.Files.enqueue({TempFile("list.dat")});
    w.actImportDBList->trigger();
    EXPECT_EQ(Column(w.lvDatabases, 1), (QStringList{"A", "B"}));
    EXPECT_TRUE(w.actRun->isEnabled() == false);  // still no script files
    EXPECT_TRUE(w.actClearDB->isEnabled());
}

TEST_F(MainWindowTest, ExportToAFolderThatCannotBeWrittenSaysSo)
{
    StoreDatabases({"A"});
    TfrmMain& w = Window();
    FPrompt.Files.enqueue({QStringLiteral("/proc/orvexa-cannot-write-here/list.dat")});
    w.actExportDBList->trigger();
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_EQ(FPrompt.Shown[0].Icon, TMsgIcon::Error);
    EXPECT_TRUE(FPrompt.Shown[0].Text.contains(QStringLiteral("list.dat")));
    EXPECT_FALSE(QFile::exists(QStringLiteral("/proc/orvexa-cannot-write-here/list.dat")));
}

TEST_F(MainWindowTest, EmptyListExportSaysSoInAHint)
{
    TfrmMain& w = Window();
    // The command is disabled on an empty list; the handler's own check is
    // the one that answers when it is reached anyway (a list emptied by
    // another program).
    StoreDatabases({"A"});
    w.LoadDBList();
    w.WMUpdateListActions();
    FDm->ClearDBList();
    w.lvDatabases->clear();
    w.actExportDBList->trigger();
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_EQ(FPrompt.Shown[0].Text, QStringLiteral("List of database is empty."));
    EXPECT_EQ(FPrompt.Shown[0].Caption, QStringLiteral("Hint"));
    EXPECT_EQ(FPrompt.Shown[0].Icon, TMsgIcon::Information);
}

TEST_F(MainWindowTest, ADisabledCommandDoesNothing)
{
    StoreDatabases({"A"});
    TfrmMain& w = Window();
    ASSERT_FALSE(w.actDelDB->isEnabled());
    w.actDelDB->trigger();
    w.lvDatabases->topLevelItem(0)->setSelected(false);
    EXPECT_EQ(w.lvDatabases->topLevelItemCount(), 1);
    ASSERT_FALSE(w.actRun->isEnabled());
    w.actRun->trigger();
    EXPECT_FALSE(w.ExecThread);
}

TEST_F(MainWindowTest, MenusToolBarAndPopupsShareTheActions)
{
    TfrmMain& w = Window();
    QStringList menus;
    for (QAction* a : w.menuBar()->actions())
        menus << a->text();
    EXPECT_EQ(menus, (QStringList{"&Databases", "&SQL", "&Execute", "&Results", "&Help"}));
    QStringList tools;
    for (QAction* a : w.ToolBar->actions())
        tools << (a->isSeparator() ? QStringLiteral("|") : a->toolTip().isEmpty() ? QStringLiteral("_") : a->toolTip());
    EXPECT_EQ(tools, (QStringList{"Add Databases...", "Delete Databases", "Import Database List...",
                                  "Export Database List...", "Clear Database List", "|", "Run", "Stop", "Options...",
                                  "|", "Add SQL Files...", "Remove SQL Files", "Move Up", "Move Down", "_",
                                  "Export Current Result", "Export All Results of Current Database",
                                  "Export All Results", "|", "Help", "About...", "_"}));
    QStringList sqlPopup;
    for (QAction* a : w.pmSQLPopup->actions())
        sqlPopup << a->toolTip();
    EXPECT_EQ(sqlPopup,
              (QStringList{"Add SQL Files...", "Remove SQL Files", "Move Up", "Move Down", "Edit SQL File"}));
    EXPECT_EQ(w.pmGrid->actions().value(0)->text(), QStringLiteral("Copy"));
    for (QAction* a : w.ToolBar->actions()) {
        if (!a->isSeparator() && !a->toolTip().isEmpty()) {
            EXPECT_FALSE(a->icon().isNull()) << a->toolTip().toStdString();
        }
    }
}

TEST_F(MainWindowTest, PopupDeleteFollowsTheSelection)
{
    StoreDatabases({"A"});
    TfrmMain& w = Window();
    emit w.pmDBPopup->aboutToShow();
    EXPECT_FALSE(w.pmnDelDB->isEnabled());
    Select(w.lvDatabases, {0});
    emit w.pmDBPopup->aboutToShow();
    EXPECT_TRUE(w.pmnDelDB->isEnabled());
    w.pmnDelDB->trigger();
    EXPECT_EQ(w.lvDatabases->topLevelItemCount(), 0);
}

TEST_F(MainWindowTest, CtrlCAndCtrlAOnAResultGrid)
{
    TfrmMain& w = Window();
    // A page with one result set, as a run's notifications make it.
    TResultTable table;
    table.DefineColumns({{QStringLiteral("id"), ftInteger, 0, 0, false}, {QStringLiteral("name"), ftWideString, 20, 0, false}});
    table.AppendInteger(1);
    table.AppendText(u"one");
    table.Post();
    table.AppendInteger(2);
    table.AppendNull();
    table.Post();
    w.SetStatus(stConstruct);
    ASSERT_EQ(w.WMExecNewDB(QStringLiteral("SRV"), QStringLiteral("DB")), 0);
    w.WMExecResult(table.Snapshot());
    w.SetStatus(stOK);
    TResultPageControl* page = w.VisiblePageControl();
    ASSERT_NE(page, nullptr);
    page->setCurrentIndex(1);
    TResultStringGrid* grid = page->ResultTab(1)->ResultGrid();
    QCoreApplication::processEvents();
    QApplication::setActiveWindow(&w);
    grid->setFocus();

    struct TCase {
        const char* Name;
        bool CopyTitle;
        Qt::KeyboardModifiers Modifiers;
        QString Clipboard;
    };
    const QList<TCase> cases = {
        {"Ctrl+C with titles", true, Qt::ControlModifier, "id\tname\r\n1\tone\r\n2\r\n"},
        {"Ctrl+C without titles", false, Qt::ControlModifier, "1\tone\r\n2\r\n"},
        {"Ctrl+Shift+C acts like Ctrl+C", true, Qt::ControlModifier | Qt::ShiftModifier,
         "id\tname\r\n1\tone\r\n2\r\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        grid->clearSelection();
        QApplication::clipboard()->setText(QStringLiteral("before"));
        QTest::keyClick(grid, Qt::Key_A, Qt::ControlModifier);
        CurrentConfig.CopyTitle = c.CopyTitle;
        QTest::keyClick(grid, Qt::Key_C, c.Modifiers);
        EXPECT_EQ(QApplication::clipboard()->text(), c.Clipboard);
    }

    // The grid menu's Copy acts on the grid it was opened on.
    CurrentConfig.CopyTitle = false;
    QApplication::clipboard()->setText(QStringLiteral("before"));
    w.setFocus();
    grid->SelectRow(1);
    grid->setFocus();
    w.pmnCopy->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("1\tone\r\n"));
}

TEST(ProgressPanel, FillWidthRoundsHalvesToEven)
{
    struct TCase {
        int Width;
        int Percent;
        int Fill;
    };
    for (const TCase& c : std::initializer_list<TCase>{
             {100, 0, 0}, {100, 100, 100}, {98, 50, 49}, {5, 50, 2}, {7, 50, 4}, {3, 50, 2}, {101, 33, 33}}) {
        EXPECT_EQ(TProgressPanel::FillWidth(c.Width, IntPercent(c.Percent)), c.Fill)
            << c.Width << " x " << c.Percent;
    }
}

TEST(DbOutcome, ReadFromTheLogLinesOfOneDatabase)
{
    struct TCase {
        const char* Name;
        QStringList Lines;
        bool RunEnded;
        TDBOutcome Outcome;
        QString FirstError;
    };
    const QString begin = QStringLiteral("[S].[D] begin to execute ...");
    const QList<TCase> cases = {
        {"two files", {"", begin, "    a.sql was executed successfully.", "    b.sql was executed successfully."},
         false, TDBOutcome::Succeeded, ""},
        {"rolled back",
         {"", begin, "    a.sql Error occurred and transation rollback.", "", "    Invalid object name 'x'."},
         false, TDBOutcome::RolledBack, "Invalid object name 'x'."},
        {"failed without transaction", {"", begin, "    a.sql Error occurred.", "", "    Boom"}, false,
         TDBOutcome::Failed, "Boom"},
        {"connection failed", {"", begin, "", "    Login failed for user 'x'."}, false, TDBOutcome::Failed,
         "Login failed for user 'x'."},
        {"stopped",
         {"", begin, "    a.sql was executed successfully.", "", "    User has canceled current operation.", "",
          "=====Execution completed but errors occured====="},
         true, TDBOutcome::Stopped, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TDbOutcome o = ParseDbOutcome(c.Lines, c.RunEnded);
        EXPECT_EQ(o.Outcome, c.Outcome);
        EXPECT_EQ(o.FirstError, c.FirstError);
    }
}

} // namespace
