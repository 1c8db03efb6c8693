#include "untExecBridge.h"

#include "untTsan.h"

#include <QThread>

#include <condition_variable>
#include <exception>
#include <mutex>

struct TExecReceiverBridge::TCall {
    enum TState { Pending, Running, Done, Dropped };
    TState State = Pending;
    int Reply = 0;
    std::exception_ptr Error;
};

struct TExecReceiverBridge::TShared {
    std::mutex Lock;
    std::condition_variable Changed;
    std::shared_ptr<TCall> Pending;  // the call queued and not yet begun, if any

    // Marks the call dropped if it has not begun; wakes its caller.
    void Drop(const std::shared_ptr<TCall>& call)
    {
        {
            const std::lock_guard lock(Lock);
            if (call->State == TCall::Pending)
                call->State = TCall::Dropped;
            if (Pending == call)
                Pending.reset();
        }
        Changed.notify_all();
    }
};

// The queued invocation: runs the call on the context's thread unless it was
// dropped first. It is built on the calling thread and run or destroyed on
// the context's thread, handed over through Qt's event queue; the copy that
// Qt keeps releases what the calling thread wrote (the call, its arguments,
// this object), and running or destroying it acquires that.
struct TExecReceiverBridge::TQueued {
    std::shared_ptr<TShared> Shared;
    std::shared_ptr<TCall> Call;
    std::shared_ptr<void> DropWhenGone;
    const std::function<int()>* Handler;
    TTsanHandOver HandOver;

    TQueued(std::shared_ptr<TShared> shared, std::shared_ptr<TCall> call, std::shared_ptr<void> dropWhenGone,
            const std::function<int()>* handler)
        : Shared(std::move(shared)), Call(std::move(call)), DropWhenGone(std::move(dropWhenGone)), Handler(handler)
    {
        HandOver.Release();
    }
    TQueued(TQueued&& other) noexcept
        : Shared(std::move(other.Shared)), Call(std::move(other.Call)),
          DropWhenGone(std::move(other.DropWhenGone)), Handler(other.Handler)
    {
        HandOver.Release();
    }
    TQueued(const TQueued&) = delete;
    TQueued& operator=(const TQueued&) = delete;
    TQueued& operator=(TQueued&&) = delete;
    ~TQueued() { HandOver.Acquire(); }

    void operator()()
    {
        HandOver.Acquire();
        {
            const std::lock_guard lock(Shared->Lock);
            if (Call->State != TCall::Pending)
                return;  // dropped: the caller has gone on, the handler is gone too
            Call->State = TCall::Running;
            Shared->Pending.reset();
        }
        int reply = 0;
        std::exception_ptr error;
        try {
            reply = (*Handler)();
        } catch (...) {
            error = std::current_exception();
        }
        {
            const std::lock_guard lock(Shared->Lock);
            Call->Reply = reply;
            Call->Error = error;
            Call->State = TCall::Done;
        }
        Shared->Changed.notify_all();
    }
};

TExecReceiverBridge::TExecReceiverBridge(TExecReceiver* target, QObject* context)
    : FTarget(target), FContext(context), FShared(std::make_shared<TShared>())
{
    Q_ASSERT(target && context);
}

TExecReceiverBridge::~TExecReceiverBridge()
{
    Detach();
}

void TExecReceiverBridge::Detach()
{
    FDetached.store(true);
    std::shared_ptr<TCall> pending;
    {
        const std::lock_guard lock(FShared->Lock);
        pending = FShared->Pending;
    }
    if (pending)
        FShared->Drop(pending);
}

int TExecReceiverBridge::Forward(const std::function<int()>& call, int stopReply)
{
    if (FDetached.load())
        return stopReply;
    QObject* const context = FContext.data();
    if (!context)
        return stopReply;
    if (QThread::currentThread() == context->thread())
        throw EOrvexaError(QStringLiteral("A run's notification was made on the thread that handles it; it "
                                          "would wait for itself."));

    const auto c = std::make_shared<TCall>();
    const std::shared_ptr<TShared> shared = FShared;
    {
        const std::lock_guard lock(shared->Lock);
        if (FDetached.load())
            return stopReply;
        shared->Pending = c;
    }
    // When the queued invocation is destroyed without having run (its
    // context went away), the call is dropped and its caller released: only
    // the invocation holds dropWhenGone.
    const bool queued = QMetaObject::invokeMethod(
        context,
        TQueued{shared, c, std::shared_ptr<void>(nullptr, [shared, c](void*) { shared->Drop(c); }), &call},
        Qt::QueuedConnection);
    if (!queued)
        shared->Drop(c);

    std::unique_lock lock(shared->Lock);
    shared->Changed.wait(lock, [&] { return c->State == TCall::Done || c->State == TCall::Dropped; });
    if (c->State == TCall::Dropped)
        return stopReply;
    if (c->Error)
        std::rethrow_exception(c->Error);
    return c->Reply;
}

void TExecReceiverBridge::ExecStart()
{
    Forward([&] { FTarget->ExecStart(); return 0; }, 0);
}

void TExecReceiverBridge::ExecLogs(const QStringList& lines)
{
    Forward([&] { FTarget->ExecLogs(lines); return 0; }, 0);
}

void TExecReceiverBridge::ExecMsgs(const QStringList& lines)
{
    Forward([&] { FTarget->ExecMsgs(lines); return 0; }, 0);
}

void TExecReceiverBridge::ExecStatus(TStatusType status)
{
    Forward([&] { FTarget->ExecStatus(status); return 0; }, 0);
}

void TExecReceiverBridge::ExecPercent(IntPercent percent)
{
    Forward([&] { FTarget->ExecPercent(percent); return 0; }, 0);
}

int TExecReceiverBridge::ExecNewDB(const QString& instanceName, const QString& databaseName)
{
    return Forward([&] { return FTarget->ExecNewDB(instanceName, databaseName); }, 1);
}

void TExecReceiverBridge::ExecResult(const TResultSnapshot& snapshot)
{
    Forward([&] { FTarget->ExecResult(snapshot); return 0; }, 0);
}

int TExecReceiverBridge::ExecWarn(const QString& fileList)
{
    return Forward([&] { return FTarget->ExecWarn(fileList); }, 1);
}
