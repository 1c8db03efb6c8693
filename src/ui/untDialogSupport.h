// Small pieces the dialogs share: server work on a worker thread with its
// result handed back to the GUI thread, and centring on the screen. (The
// standard error report is ShowErrorReport, untPrompt.h.)
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>
#include <utility>

class QWidget;

// Runs work on a thread of its own and then done(result) on the GUI thread,
// through context's event loop. When context is destroyed before the work
// ends, done is never called. work must not touch widgets, the data module or
// anything else that belongs to the GUI thread, and must not throw.
// The returned thread deletes itself after it has finished; an owner that
// must outlive its work keeps it in a TBackgroundTasks.
template <class TResult>
QThread* RunInBackground(QObject* context, std::function<TResult()> work, std::function<void(TResult)> done)
{
    auto result = std::make_shared<TResult>();
    QThread* thread = QThread::create([result, work = std::move(work)] { *result = work(); });
    QObject::connect(thread, &QThread::finished, context,
                     [result, done = std::move(done)] { done(std::move(*result)); });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    return thread;
}

// The worker threads an object started. Its destructor waits for those still
// running, so that none outlives the program's shutdown; their results are
// dropped. GUI thread only.
class TBackgroundTasks {
public:
    TBackgroundTasks() = default;
    TBackgroundTasks(const TBackgroundTasks&) = delete;
    TBackgroundTasks& operator=(const TBackgroundTasks&) = delete;
    ~TBackgroundTasks() { WaitForAll(); }

    void Add(QThread* thread);
    // True while one of them runs.
    bool IsRunning() const;
    void WaitForAll();

private:
    QList<QPointer<QThread>> FThreads;
};

// Moves a top-level window to the middle of its screen.
void CenterOnScreen(QWidget* window);
