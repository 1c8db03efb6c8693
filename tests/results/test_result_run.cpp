// A real run against a real server filling a result page the way the main
// window does: one page for the database, its message lines, one tab per
// result set, and the grid's copy of what the server sent.
#include "EngineServer.h"
#include "ExecRecorder.h"
#include "ResultGridSupport.h"

#include "untResultPageControl.h"

#include <QClipboard>
#include <QPlainTextEdit>

#include <memory>

namespace {

class ResultRun : public ServerTest {
protected:
    void SetUp() override
    {
        TestApp();
        ServerTest::SetUp();
    }
};

TEST_P(ResultRun, ServerResultsBecomeTabsWithGrids)
{
    const QString db = Server->CreateDatabase(QStringLiteral("pages"));
    Server->Exec(db, QStringLiteral("CREATE TABLE t (id int, name nvarchar(40), amount decimal(18,2), flag bit)"));
    Server->Exec(db, QStringLiteral("INSERT INTO t VALUES (1, N'one', 12.50, 1), (2, NULL, NULL, 0), "
                                    "(3, N'three  ', -0.05, NULL)"));
    const QString script = WriteScript(QStringLiteral("q.sql"), QStringLiteral(
        "PRINT 'before'\r\n"
        "SELECT id, name, amount, flag FROM t ORDER BY id\r\n"
        "SELECT id FROM t WHERE id > 10\r\n"
        "GO\r\n"
        "SELECT N'x' AS only\r\n"));

    TExecRecorder r;
    RunToEnd(r, {script}, {Server->Database(db)}, RunConfig(false, true));

    // The window's handling of the notifications, on this (GUI) thread.
    QWidget window;
    std::unique_ptr<TResultPageControl> page;
    for (const TExecEvent& e : r.Events) {
        switch (e.Id) {
        case WM_EXEC_NEWDB:
            ASSERT_FALSE(page) << "one database, one page";
            page = std::make_unique<TResultPageControl>(&window, &window);
            page->FInstanceName = e.First;
            page->FDBName = e.Second;
            break;
        case WM_EXEC_MSGS: ASSERT_TRUE(page); page->AddMsgs(e.Lines); break;
        case WM_EXEC_RESULT: ASSERT_TRUE(page); page->AddResult(e.Snapshot); break;
        default: break;
        }
    }
    ASSERT_TRUE(page);
    EXPECT_EQ(page->FDBName, db);
    ASSERT_EQ(page->count(), 4);
    EXPECT_EQ(page->tabText(3), QStringLiteral("Result3"));
    EXPECT_TRUE(page->MsgTab()->MsgLog->toPlainText().contains(QStringLiteral("before")));

    TResultStringGrid* grid = page->ResultTab(1)->ResultGrid();
    grid->SelectAll();
    grid->CopySelection(true);
    EXPECT_EQ(QApplication::clipboard()->text(),
              QStringLiteral("id\tname\tamount\tflag\r\n"
                             "1\tone\t12.50\t1\r\n"
                             "2\t\t\t0\r\n"
                             "3\tthree  \t-0.05\r\n"));  // only the line end is trimmed
    EXPECT_TRUE(grid->model()->index(1, 1).data(Qt::BackgroundRole).isValid());  // Null name

    TResultStringGrid* empty = page->ResultTab(2)->ResultGrid();
    EXPECT_EQ(empty->model()->rowCount(), 0);
    EXPECT_EQ(empty->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("id"));

    const TVariantArr all = page->GetCurrentDBDataArr();
    page.reset();
    ASSERT_EQ(all.size(), 3);
    EXPECT_EQ(all[2].value<TResultSnapshot>().DisplayText(0, 0), QStringLiteral("x"));
}

INSTANTIATE_TEST_SUITE_P(Servers, ResultRun, ORVEXA_SERVER_KINDS);

}  // namespace
