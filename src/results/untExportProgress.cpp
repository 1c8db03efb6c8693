#include "untExportProgress.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <exception>
#include <memory>

TMsgAnswer TGuiThreadMessageBox::Show(const QString& text, const QString& caption, TMsgIcon icon,
                                      TMsgButtons buttons)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        return FTarget.Show(text, caption, icon, buttons);
    TMsgAnswer answer = TMsgButton::None;
    QMetaObject::invokeMethod(
        app, [&] { answer = FTarget.Show(text, caption, icon, buttons); }, Qt::BlockingQueuedConnection);
    return answer;
}

bool RunWithProgress(QWidget* parent, const QString& label, const TExportJob& job)
{
    constexpr int steps = 1000;
    QProgressDialog dialog(label, QStringLiteral("Cancel"), 0, steps, parent);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setMinimumDuration(300);
    dialog.setValue(0);

    std::atomic<bool> cancelled{false};
    std::atomic<int> done{0};
    bool result = false;
    std::exception_ptr error;
    QObject::connect(&dialog, &QProgressDialog::canceled, &dialog, [&] { cancelled = true; });

    const TExportProgress progress = [&](qint64 rowsDone, qint64 rowsTotal) {
        done = rowsTotal > 0 ? int(qMin<qint64>(steps, rowsDone * steps / rowsTotal)) : 0;
        return !cancelled.load();
    };
    std::unique_ptr<QThread> worker(QThread::create([&] {
        try {
            result = job(progress);
        } catch (...) {
            error = std::current_exception();
        }
    }));

    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QTimer timer;
    timer.setInterval(100);
    QObject::connect(&timer, &QTimer::timeout, &dialog, [&] {
        // cancel() itself does not signal: the flag is read here too.
        if (dialog.wasCanceled())
            cancelled = true;
        if (!cancelled)
            dialog.setValue(qMin(done.load(), steps - 1));
    });
    worker->start();
    timer.start();
    loop.exec();
    worker->wait();
    timer.stop();
    dialog.close();
    if (error)
        std::rethrow_exception(error);
    return result;
}
