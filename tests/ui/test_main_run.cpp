// Runs from the main window against a real server: Run, the notifications
// on the GUI thread, the status texts and locks, the result list and pages,
// Stop, the USE / GO N question, a second run, and closing during a run.
#include "EngineServer.h"
#include "ExpectedRunLog.h"
#include "test_excel_support.h"
#include "PromptRecorder.h"
#include "UiTestSupport.h"
#include "untDmMain.h"
#include "untMain.h"
#include "untResultPageControl.h"

#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <thread>

namespace {

class MainRun : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        if (IsSkipped())
            return;
        TestApp();
        qputenv("XDG_DATA_HOME", FDir.path().toUtf8());
        FDm = std::make_unique<TdmMain>(&FPrompt);
        FDm->DataModuleCreate();
        dmMain = FDm.get();
        CurrentConfig.TransExecution = true;
        CurrentConfig.ContinueOnError = true;
        CurrentConfig.ReceiveResults = true;
    }
    void TearDown() override
    {
        FWindow.reset();
        dmMain = nullptr;
        FDm.reset();
        ServerTest::TearDown();
    }

    // Stores the databases (on the test server, with its login) as the list.
    void StoreDatabases(const QStringList& names)
    {
        const TInstanceInfo login = Server->Login();
        const qint32 id = FDm->GetNextInstanceID();
        TPacketInstance inst{id, login.InstanceName, login.UserName, login.UserPWD, login.NT, {}};
        for (const QString& name : names)
            inst.Databases.append({FDm->GetNextDatabaseID(), id, name});
        TDBListPacket packet;
        packet.Instances.append(inst);
        ASSERT_TRUE(FDm->UpdateDBListData(packet));
    }

    TfrmMain& Window()
    {
        if (!FWindow) {
            FWindow = std::make_unique<TfrmMain>();
            QObject::connect(FWindow.get(), &TfrmMain::StatusTextChanged, [this](const QString& text) {
                FStatusTexts << text;
                if (text == QStringLiteral("Executing..."))
                    FLockedWhileExecuting = !FWindow->lvDatabases->isEnabled() && !FWindow->lvSQLFiles->isEnabled()
                                            && !FWindow->actRun->isEnabled() && FWindow->actStop->isEnabled()
                                            && !FWindow->actAddSQLFile->isEnabled()
                                            && !FWindow->actExportAllResults->isEnabled();
            });
            FWindow->show();
            QCoreApplication::processEvents();
        }
        return *FWindow;
    }

    void AddFiles(const QStringList& paths)
    {
        FPrompt.Files.enqueue(paths);
        Window().actAddSQLFile->trigger();
    }

    // Presses Run and lets the event loop run until the thread has ended.
    void RunToEnd()
    {
        TfrmMain& w = Window();
        ASSERT_TRUE(w.actRun->isEnabled());
        w.actRun->trigger();
        ASSERT_TRUE(PumpUntil([&] { return !w.ExecThread; }, 60000)) << "the run did not end";
    }

    QStringList LogLines() const
    {
        QStringList lines = FWindow->mmLog->toPlainText().split(QLatin1Char('\n'));
        // The log pane starts with the run's first line; appendPlainText adds
        // no trailing line.
        return lines;
    }

    QStringList ResultColumn(int column) const
    {
        QStringList texts;
        for (int i = 0; i < FWindow->lvResults->topLevelItemCount(); ++i)
            texts << FWindow->lvResults->topLevelItem(i)->text(column);
        return texts;
    }

    TPromptRecorder FPrompt;
    std::unique_ptr<TdmMain> FDm;
    std::unique_ptr<TfrmMain> FWindow;
    QStringList FStatusTexts;
    bool FLockedWhileExecuting = false;
};

TEST_P(MainRun, AWholeRunOverThreeDatabasesOneFailing)
{
    const QString db1 = Server->CreateDatabase(QStringLiteral("first"));
    const QString db2 = Server->CreateDatabase(QStringLiteral("second"));
    Server->Exec(db1, QStringLiteral("CREATE TABLE only_here (a int)"));
    Server->Exec(db2, QStringLiteral("CREATE TABLE marks (a int)"));
    StoreDatabases({db1, db2});
    TfrmMain& w = Window();
    AddFiles({WriteScript(QStringLiteral("01.sql"), QStringLiteral("SELECT 1 AS one\r\n")),
              WriteScript(QStringLiteral("02.sql"), QStringLiteral("SELECT a FROM only_here\r\n"))});
    // Only one database selected: the run still uses all of them.
    w.lvDatabases->topLevelItem(1)->setSelected(true);
    RunToEnd();

    const QString error = QStringLiteral("Invalid object name 'only_here'.");
    EXPECT_EQ(LogLines(), TwoDatabaseRunLog(Server->Instance(), db1, db2, error, true));
    EXPECT_EQ(FStatusTexts, (QStringList{"Ready", "Constructing task list...", "Executing...",
                                         "Execution failed. Please check the detailed log."}));
    EXPECT_TRUE(FLockedWhileExecuting);
    EXPECT_EQ(w.Status(), stFail);
    EXPECT_EQ(w.ExecPercent, 100);
    // Unlocked afterwards, by the rules of the lists.
    EXPECT_TRUE(w.lvDatabases->isEnabled());
    EXPECT_TRUE(w.actRun->isEnabled());
    EXPECT_FALSE(w.actStop->isEnabled());
    EXPECT_TRUE(w.actDelDB->isEnabled());  // the selection is still there
    EXPECT_FALSE(w.actMoveUp->isEnabled());
    EXPECT_TRUE(w.actExportAllResults->isEnabled());

    // One entry and page per database, keys from 1, the first page shown.
    EXPECT_EQ(ResultColumn(1), (QStringList{db1, db2}));
    ASSERT_EQ(w.PageControls.size(), 2u);
    EXPECT_EQ(w.PageControls[0]->Tag, 1);
    EXPECT_EQ(w.PageControls[1]->Tag, 2);
    EXPECT_EQ(w.VisiblePageControl(), w.PageControls[0].get());
    EXPECT_TRUE(w.pnlBottom->isVisible());
    EXPECT_FALSE(w.lblNoResult->isVisible());
    EXPECT_EQ(w.pnlBottomTitle->text(), QStringLiteral("Execution Result   [ Instance:") + Server->Instance()
                                            + QStringLiteral("   Database:") + db1 + QStringLiteral(" ]"));
    EXPECT_EQ(w.PageControls[0]->ResultCount(), 2);  // both files returned a result set on the first
    EXPECT_EQ(w.PageControls[1]->ResultCount(), 1);
    EXPECT_EQ(w.PageControls[0]->tabText(0), QStringLiteral("Message"));
    EXPECT_EQ(w.PageControls[0]->tabText(2), QStringLiteral("Result2"));
    // Each entry tells how its database ended.
    EXPECT_EQ(w.lvResults->topLevelItem(0)->data(1, Qt::UserRole).toInt(), int(TDBOutcome::Succeeded));
    EXPECT_EQ(w.lvResults->topLevelItem(1)->data(1, Qt::UserRole).toInt(), int(TDBOutcome::RolledBack));
    EXPECT_TRUE(w.lvResults->topLevelItem(1)->toolTip(0).contains(error));

    // Selecting the second entry shows its page only.
    w.lvResults->setCurrentItem(w.lvResults->topLevelItem(1));
    EXPECT_EQ(w.VisiblePageControl(), w.PageControls[1].get());
    EXPECT_FALSE(w.PageControls[0]->isVisibleTo(w.pnlBottomClient));

    // A second run starts over: entries and pages of the first go at once,
    // keys from 1 again.
    FStatusTexts.clear();
    RunToEnd();
    EXPECT_EQ(ResultColumn(1), (QStringList{db1, db2}));
    ASSERT_EQ(w.PageControls.size(), 2u);
    EXPECT_EQ(w.PageControls[0]->Tag, 1);
    EXPECT_EQ(FStatusTexts.value(0), QStringLiteral("Ready"));
    EXPECT_EQ(LogLines(), TwoDatabaseRunLog(Server->Instance(), db1, db2, error, true));
}

TEST_P(MainRun, StopDuringALongBatchThenASecondStopCancelsIt)
{
    const QString db = Server->CreateDatabase(QStringLiteral("stopped"));
    Server->Exec(db, QStringLiteral("CREATE TABLE t (a int)"));
    StoreDatabases({db});
    TfrmMain& w = Window();
    AddFiles({WriteScript(QStringLiteral("slow.sql"),
                          QStringLiteral("INSERT INTO t VALUES (1)\r\nGO\r\nWAITFOR DELAY '00:01:00'\r\nGO\r\n"
                                         "INSERT INTO t VALUES (2)\r\n"))});
    w.actRun->trigger();
    ASSERT_TRUE(PumpUntil([&] { return w.Status() == stExec; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    w.actStop->trigger();
    EXPECT_EQ(w.StatusPanel1->text(), QStringLiteral("Stoping ..."));
    // The minute-long batch is not waited for: the second Stop cancels it.
    QCoreApplication::processEvents();
    w.actStop->trigger();
    ASSERT_TRUE(PumpUntil([&] { return !w.ExecThread; }, 20000)) << "the cancel did not end the batch";
    EXPECT_EQ(w.StatusPanel1->text(), QStringLiteral("Execution failed. Please check the detailed log."));
    EXPECT_EQ(Server->Query(db, QStringLiteral("SELECT a FROM t")), QStringList{});  // rolled back
    EXPECT_EQ(w.lvResults->topLevelItem(0)->data(1, Qt::UserRole).toInt(), int(TDBOutcome::Stopped));
}

TEST_P(MainRun, TheUseAndGoNQuestion)
{
    const QString db = Server->CreateDatabase(QStringLiteral("warned"));
    Server->Exec(db, QStringLiteral("CREATE TABLE t (a int)"));
    StoreDatabases({db});
    TfrmMain& w = Window();
    const QString flagged =
        WriteScript(QStringLiteral("flagged.sql"), QStringLiteral("use ") + db + QStringLiteral("\r\nINSERT INTO t VALUES (2)\r\n"));
    AddFiles({flagged});
    for (const bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        FPrompt.Shown.clear();
        FPrompt.Answers.enqueue(yes ? TMsgButton::Yes : TMsgButton::No);
        RunToEnd();
        ASSERT_EQ(FPrompt.Shown.size(), 1);
        EXPECT_EQ(FPrompt.Shown[0].Caption, QStringLiteral("Warn"));
        EXPECT_EQ(FPrompt.Shown[0].Icon, TMsgIcon::Warning);
        EXPECT_EQ(FPrompt.Shown[0].Buttons, TMsgButton::Yes | TMsgButton::No);
        EXPECT_TRUE(FPrompt.Shown[0].Text.startsWith(QStringLiteral(
            "There are some SQL files includes \"use\" or \"go N\" statements. \"use\" statement may cause "
            "unpredictable results and \"go N\" statement could only be correctly recognized by SQL Server "
            "Management Studio. \r\nIt is highly recommend that modifying scripts before proceed. Do you want "
            "to proceed anyway?\r\n\r\n")));
        EXPECT_TRUE(FPrompt.Shown[0].Text.endsWith(flagged));
        EXPECT_EQ(w.Status(), yes ? stOK : stFail);
        EXPECT_EQ(w.lvResults->topLevelItemCount(), yes ? 1 : 0);
    }
    EXPECT_EQ(Server->Query(db, QStringLiteral("SELECT a FROM t")), QStringList{"2"});
}

TEST_P(MainRun, ClosingDuringARunStopsItAndRollsBack)
{
    const QString db = Server->CreateDatabase(QStringLiteral("closing"));
    Server->Exec(db, QStringLiteral("CREATE TABLE t (a int)"));
    StoreDatabases({db});
    TfrmMain& w = Window();
    AddFiles({WriteScript(QStringLiteral("slow.sql"),
                          QStringLiteral("INSERT INTO t VALUES (1)\r\nGO\r\nWAITFOR DELAY '00:01:00'\r\nGO\r\n"))});
    w.actRun->trigger();
    ASSERT_TRUE(PumpUntil([&] { return w.Status() == stExec; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // No at the question: the window stays, the run goes on.
    FPrompt.Answers.enqueue(TMsgButton::No);
    w.close();
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.ExecThread);
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_EQ(FPrompt.Shown[0].Text, TfrmMain::CloseDuringRunText());

    // Yes: the batch is cancelled, the file rolled back, and the window
    // closes once the thread has ended; the event loop never stops.
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    w.close();
    EXPECT_TRUE(w.isVisible());
    ASSERT_TRUE(PumpUntil([&] { return !w.isVisible(); }, 20000)) << "the window did not close";
    EXPECT_FALSE(w.ExecThread);
    EXPECT_EQ(Server->Query(db, QStringLiteral("SELECT a FROM t")), QStringList{});
}

TEST_P(MainRun, AWindowFreedDuringARunCancelsItAndTheRunEndsOnItsOwn)
{
    const QString db = Server->CreateDatabase(QStringLiteral("freed"));
    Server->Exec(db, QStringLiteral("CREATE TABLE t (a int)"));
    StoreDatabases({db});
    TfrmMain& w = Window();
    AddFiles({WriteScript(QStringLiteral("slow.sql"),
                          QStringLiteral("INSERT INTO t VALUES (1)\r\nGO\r\nWAITFOR DELAY '00:01:00'\r\nGO\r\n"))});
    w.actRun->trigger();
    ASSERT_TRUE(PumpUntil([&] { return w.Status() == stExec; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const QPointer<TExecThread> thread = w.ExecThread;
    ASSERT_TRUE(thread);

    // The thread outlives the window; the notifications still under way are
    // answered without it, and the thread (with what it used) is freed when
    // the cancelled batch has ended, not a minute later.
    FWindow.reset();
    ASSERT_TRUE(PumpUntil([&] { return !thread; }, 20000)) << "the run did not end";
    EXPECT_EQ(Server->Query(db, QStringLiteral("SELECT a FROM t")), QStringList{});
}

TEST_P(MainRun, TheThreeExportCommands)
{
    // Three databases; the second returns no result set.
    const QStringList dbs = {Server->CreateDatabase(QStringLiteral("ex1")), Server->CreateDatabase(QStringLiteral("ex2")),
                             Server->CreateDatabase(QStringLiteral("ex3"))};
    for (const QString& db : dbs)
        Server->Exec(db, QStringLiteral("CREATE TABLE t (code varchar(10), n int NULL)"));
    Server->Exec(dbs[0], QStringLiteral("INSERT INTO t VALUES ('00123', NULL)"));
    Server->Exec(dbs[2], QStringLiteral("INSERT INTO t VALUES ('x', 5)"));
    StoreDatabases(dbs);
    TfrmMain& w = Window();
    AddFiles({WriteScript(QStringLiteral("r.sql"),
                          QStringLiteral("IF DB_NAME() <> '") + dbs[1]
                              + QStringLiteral("' SELECT code, n FROM t\r\nGO\r\nIF DB_NAME() <> '") + dbs[1]
                              + QStringLiteral("' SELECT n FROM t\r\n"))});
    RunToEnd();
    ASSERT_EQ(w.PageControls.size(), 3u);
    ASSERT_EQ(w.PageControls[0]->ResultCount(), 2);
    ASSERT_EQ(w.PageControls[1]->ResultCount(), 0);
    FPrompt.DialogCaptions.clear();
    const QString out = FDir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));
    const auto files = [&] { return QDir(out).entryList({QStringLiteral("*.xlsx")}, QDir::Files, QDir::Name); };
    const auto lastText = [&] { return FPrompt.Shown.isEmpty() ? QString() : FPrompt.Shown.last().Text; };

    // The first page is shown with its message tab selected: nothing to
    // export, and no folder is asked for.
    w.actExportCurrentTabResult->trigger();
    EXPECT_EQ(lastText(), QStringLiteral("Current tab is message tab or has no results."));
    EXPECT_EQ(FPrompt.Shown.last().Caption, QStringLiteral("Information"));
    EXPECT_TRUE(FPrompt.DialogCaptions.isEmpty());

    // Result2 of the first database.
    w.PageControls[0]->setCurrentIndex(2);
    FPrompt.Files.enqueue({out});
    w.actExportCurrentTabResult->trigger();
    EXPECT_EQ(lastText(), QStringLiteral("Export successfully completed."));
    EXPECT_EQ(FPrompt.DialogCaptions.value(0), QStringLiteral("Select a directory"));
    ASSERT_EQ(files().size(), 1);
    EXPECT_TRUE(files()[0].startsWith(dbs[0] + QStringLiteral("ExportResult")));
    QList<TSheetReadBack> sheets = ReadWorkbook(out + QLatin1Char('/') + files()[0]);
    ASSERT_EQ(sheets.size(), 1);
    EXPECT_EQ(sheets[0].Name, QStringLiteral("Result2"));
    EXPECT_EQ(w.SaveDestDir, out + QLatin1Char('/'));

    // The database shown: two sheets, in order, no Sheet1.
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    FPrompt.Files.enqueue({out});
    w.actExportCurrentDBResults->trigger();
    ASSERT_EQ(files().size(), 1);
    sheets = ReadWorkbook(out + QLatin1Char('/') + files()[0]);
    ASSERT_EQ(sheets.size(), 2);
    EXPECT_EQ(sheets[0].Name, QStringLiteral("Result1"));
    EXPECT_EQ(sheets[1].Name, QStringLiteral("Result2"));
    ASSERT_EQ(sheets[0].Rows.size(), 2);
    EXPECT_EQ(sheets[0].Rows[1], (QStringList{"s:" + Server->Instance(), "s:" + dbs[0], "s:00123", ""}));

    // Everything: two workbooks, the database without results left out.
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    FPrompt.Files.enqueue({out});
    w.actExportAllResults->trigger();
    EXPECT_EQ(lastText(), QStringLiteral("Export successfully completed."));
    const QStringList all = files();
    ASSERT_EQ(all.size(), 2);
    EXPECT_EQ(all.filter(dbs[1] + QStringLiteral("ExportResult")).size(), 0);

    // No page shown: nothing to export from the shown page.
    w.lvResults->clearSelection();
    for (const auto& page : w.PageControls)
        page->hide();
    w.actExportCurrentDBResults->trigger();
    EXPECT_EQ(lastText(), QStringLiteral("There are no database results."));

    // A folder that cannot be written, then Cancel: SaveDestDir unchanged.
    w.lvResults->setCurrentItem(w.lvResults->topLevelItem(0));
    const QString before = w.SaveDestDir;
    FPrompt.Shown.clear();
    FPrompt.Files.enqueue({QStringLiteral("/proc")});
    w.actExportCurrentDBResults->trigger();
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_EQ(FPrompt.Shown[0].Text, QStringLiteral("This directory is not writable, please select another one."));
    EXPECT_EQ(FPrompt.Shown[0].Caption, QStringLiteral("Error"));
    EXPECT_EQ(w.SaveDestDir, before);
}

INSTANTIATE_TEST_SUITE_P(Servers, MainRun, ORVEXA_SERVER_KINDS);

} // namespace
