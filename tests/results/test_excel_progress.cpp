// RunWithProgress and TGuiThreadMessageBox with real widgets on the
// offscreen platform: an export on a worker thread, its messages on the GUI
// thread, its errors back on the GUI thread, and Cancel.
#include "TestApp.h"
#include "test_excel_support.h"

#include "untExcelUtils.h"
#include "untExportProgress.h"
#include "untThread.h"

#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <atomic>

namespace {

// Records the thread each box was shown on.
class TThreadRecordingBox : public TRecordingMessageBox {
public:
    QList<QThread*> Threads;
    TMsgAnswer Show(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons) override
    {
        Threads.append(QThread::currentThread());
        return TRecordingMessageBox::Show(text, caption, icon, buttons);
    }
};

class ProgressTest : public ::testing::Test {
protected:
    QApplication& App = TestApp();  // before the widgets
    QWidget Window;
    QTemporaryDir Dir;
    TThreadRecordingBox Shown;
};

TEST_F(ProgressTest, AnExportOnTheWorkerShowsItsMessagesOnTheGuiThread)
{
    TGuiThreadMessageBox messages(Shown);
    QThread* jobThread = nullptr;
    const QString base = Dir.path() + QStringLiteral("/Sales");
    // A conflict shows its box from the worker; a proper export then writes.
    TVariantArr two{QVariant::fromValue(SmallResult(1)), QVariant::fromValue(SmallResult(2))};
    EXPECT_FALSE(RunWithProgress(&Window, QStringLiteral("Exporting"), [&](const TExportProgress& progress) {
        jobThread = QThread::currentThread();
        return ExportToExcel(base, QStringLiteral("SRV1"), QStringLiteral("Sales"), two, 1, messages, progress);
    }));
    EXPECT_NE(jobThread, QThread::currentThread());
    ASSERT_EQ(Shown.Shown.size(), 1);
    EXPECT_EQ(Shown.Shown[0].Text, QStringLiteral("The parameter is conflict."));
    EXPECT_EQ(Shown.Threads, QList<QThread*>{QThread::currentThread()});

    EXPECT_TRUE(RunWithProgress(&Window, QStringLiteral("Exporting"), [&](const TExportProgress& progress) {
        return ExportToExcel(base, QStringLiteral("SRV1"), QStringLiteral("Sales"), two, -1, messages, progress);
    }));
    EXPECT_EQ(SheetNames(ReadWorkbook(base + QStringLiteral(".xlsx"))), (QStringList{"Result1", "Result2"}));
}

TEST_F(ProgressTest, TheJobsErrorReachesTheGuiThread)
{
    try {
        RunWithProgress(&Window, QStringLiteral("Exporting"), [&](const TExportProgress&) -> bool {
            throw EOrvexaError(QStringLiteral("Cannot write X: disk full"));
        });
        FAIL() << "no error";
    } catch (const EOrvexaError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot write X: disk full"));
    }
}

TEST_F(ProgressTest, CancelEndsTheExportAndLeavesNoFile)
{
    const TResultSnapshot big = SmallResult(400000);
    std::atomic<bool> started{false};
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!started)
            return;
        // The dialog's own Cancel button, as the user presses it.
        if (auto* dialog = Window.findChild<QProgressDialog*>())
            if (auto* button = dialog->findChild<QPushButton*>()) {
                button->click();
                poll.stop();
            }
    });
    poll.start();
    TRecordingMessageBox direct;
    EXPECT_THROW(RunWithProgress(&Window, QStringLiteral("Exporting"),
                                 [&](const TExportProgress& progress) {
                                     return ExportToExcel(Dir.path() + QStringLiteral("/Big"), QStringLiteral("S"),
                                                          QStringLiteral("D"), {QVariant::fromValue(big)}, -1, direct,
                                                          [&](qint64 done, qint64 total) {
                                                              started = true;
                                                              return progress(done, total);
                                                          });
                                 }),
                 UserCancelException);
    EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());
}

} // namespace
