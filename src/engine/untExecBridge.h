// The window's side of the notifications: hands each of the run's
// notifications over to an object on the GUI thread and waits there for its
// reply, so that the window's handlers run on the GUI thread, one at a time,
// in the order sent, while the run waits, as the receiver contract asks.
//
//   TExecReceiverBridge bridge(&window, &window);   // target, GUI-thread context
//   auto* thread = new TExecThread(&bridge, files, databases);
//   ...
//   // closing during a run:
//   bridge.Detach(); thread->Cancel(); ... event loop until `finished` ...
//
// Threads: the notifications are called on the execution thread; calling one
// on the context's own thread throws EOrvexaError (it would wait for itself).
// Detach may be called on any thread, also from inside a handler; the target
// is then never called again. The bridge must outlive the run's last
// notification (keep it until `finished`).
#pragma once

#include "untExecNotify.h"

#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>

class TExecReceiverBridge final : public TExecReceiver {
public:
    // target: the receiver whose methods run on the context's thread.
    // context: an object living on the GUI thread (normally the window).
    TExecReceiverBridge(TExecReceiver* target, QObject* context);
    ~TExecReceiverBridge() override;
    TExecReceiverBridge(const TExecReceiverBridge&) = delete;
    TExecReceiverBridge& operator=(const TExecReceiverBridge&) = delete;

    // From now on every notification returns at once without touching the
    // target, with the "stop" reply where there is one (ExecNewDB 1, which
    // ends the run with "Error: Can't append result page.", ExecWarn 1).
    // Calls already queued but not yet begun are released the same way; a
    // handler that is running finishes first (it reads the run's payloads),
    // so its caller returns when it does.
    void Detach();
    bool Detached() const { return FDetached.load(); }

    void ExecStart() override;
    void ExecLogs(const QStringList& lines) override;
    void ExecMsgs(const QStringList& lines) override;
    void ExecStatus(TStatusType status) override;
    void ExecPercent(IntPercent percent) override;
    int ExecNewDB(const QString& instanceName, const QString& databaseName) override;
    void ExecResult(const TResultSnapshot& snapshot) override;
    int ExecWarn(const QString& fileList) override;

private:
    struct TCall;
    struct TShared;
    struct TQueued;
    // Runs call on the context's thread and waits until it has run, or has
    // been dropped (detached, or the context is gone). Returns its reply, or
    // stopReply when it did not run. An exception of the handler is raised
    // again here, on the calling thread.
    int Forward(const std::function<int()>& call, int stopReply);

    TExecReceiver* const FTarget;
    const QPointer<QObject> FContext;
    std::atomic<bool> FDetached{false};
    // The call in flight, shared with the queued invocation, which may
    // outlive the bridge once dropped.
    const std::shared_ptr<TShared> FShared;
};
