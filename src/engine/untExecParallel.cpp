// Databases in parallel: up to Parallelism() databases run at a time, each on
// a worker thread with its own connection, while the run's own thread hands
// their notifications to the receiver in run order, database after database,
// exactly as a sequential run sends them.
#include "untThread.h"

#include "untExecDatabase.h"

#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>

namespace {

// One recorded notification of a database.
struct TRecorded {
    TExecMessage Id;
    QStringList Lines;          // WM_EXEC_LOGS, WM_EXEC_MSGS
    QString Instance, Database; // WM_EXEC_NEWDB
    TResultSnapshot Snapshot;   // WM_EXEC_RESULT
};

} // namespace

// What the workers and the delivering thread share; every field below the
// lock is guarded by it.
struct TExecThread::TParallelRun {
    // One database of the run, from its start until it is delivered.
    struct TSlot final : public TExecReceiver {
        TParallelRun* Run = nullptr;
        int Index = 0;
        // Guarded by Run->Lock:
        bool Started = false;
        bool Finished = false;
        std::vector<TRecorded> Events;  // recorded, not yet delivered
        // Written by the worker before Finished, read after it:
        std::optional<TErrorMsg> Absorbed;
        std::exception_ptr Error;       // the error that ended the run from this database
        bool ErrorIsCancel = false;
        QStringList PendingLogs;        // log lines of the failure, not yet flushed
        QStringList FilesDone;
        QString CurrentFile;
        // Set by the delivering thread: this database is to stop.
        std::atomic<bool> Stop{false};

        void Add(TRecorded e)
        {
            {
                const std::lock_guard lock(Run->Lock);
                Events.push_back(std::move(e));
            }
            Run->Changed.notify_all();
        }
        void ExecStart() override {}
        void ExecLogs(const QStringList& lines) override { Add({WM_EXEC_LOGS, lines, {}, {}, {}}); }
        void ExecMsgs(const QStringList& lines) override { Add({WM_EXEC_MSGS, lines, {}, {}, {}}); }
        void ExecStatus(TStatusType) override {}
        void ExecPercent(IntPercent) override {}
        int ExecNewDB(const QString& instanceName, const QString& databaseName) override
        {
            // The receiver's reply comes when the database is delivered.
            Add({WM_EXEC_NEWDB, {}, instanceName, databaseName, {}});
            return 0;
        }
        void ExecResult(const TResultSnapshot& snapshot) override { Add({WM_EXEC_RESULT, {}, {}, {}, snapshot}); }
        int ExecWarn(const QString&) override { return 0; }
    };

    int Width = 1;  // databases at a time
    std::vector<std::unique_ptr<TSlot>> Slots;

    std::mutex Lock;
    std::condition_variable Changed;
    int NextStart = 0;       // the next database to start
    int Head = 0;            // the next database to deliver
    bool NoMoreStarts = false;
    // Earliest database whose error ends the run (no ContinueOnError), -1
    // while none; read by the workers' stop checks without the lock.
    std::atomic<int> FailedAt{-1};

    // Waits on Changed for pred, looking again at least every 50 ms: a stop
    // request sets a flag and notifies nobody.
    template <typename P> void WaitFor(std::unique_lock<std::mutex>& lock, P pred)
    {
        while (!pred())
            Changed.wait_for(lock, std::chrono::milliseconds(50));
    }
};

void TExecThread::ParallelWorker(TParallelRun& run)
{
    std::unique_ptr<TDBConnection> connection;
    QStringList logs;
    TExecDatabase database(ThreadConfig, SQLFiles, logs);
    for (;;) {
        TParallelRun::TSlot* slot = nullptr;
        {
            std::unique_lock lock(run.Lock);
            run.WaitFor(lock, [&] {
                return run.NoMoreStarts || Terminated() || run.NextStart >= DBCount
                    || run.NextStart < run.Head + run.Width;
            });
            if (run.NoMoreStarts || Terminated() || run.NextStart >= DBCount)
                break;
            slot = run.Slots[size_t(run.NextStart++)].get();
            slot->Started = true;
        }
        const int index = slot->Index;
        database.SetReceiver(slot);
        database.SetStopChecks(
            [this, &run, slot, index] {
                if (Terminated() || slot->Stop.load())
                    return true;
                const int failedAt = run.FailedAt.load();
                return failedAt >= 0 && index > failedAt;
            },
            [this] { return Cancelled(); });
        try {
            if (!connection) {
                connection = NewConnection();
                database.Attach(connection.get());
            }
            slot->Absorbed = database.ExecuteOnDatabase(DBList.at(index));
        } catch (...) {
            slot->Error = std::current_exception();
            try {
                throw;
            } catch (const UserCancelException&) {
                slot->ErrorIsCancel = true;
            } catch (...) {
            }
            slot->PendingLogs = logs;
            logs.clear();
        }
        slot->FilesDone = database.FilesDone();
        slot->CurrentFile = database.CurrentFile();
        {
            const std::lock_guard lock(run.Lock);
            slot->Finished = true;
            if (slot->Error && !slot->ErrorIsCancel) {
                // A sequential run would end here: nothing after it starts,
                // and what runs after it stops at its next batch.
                if (run.FailedAt.load() < 0 || index < run.FailedAt.load())
                    run.FailedAt.store(index);
                run.NoMoreStarts = true;
            }
        }
        run.Changed.notify_all();
    }
    database.Release();
    DropConnection(connection);
}

void TExecThread::ExecuteAllParallel()
{
    TParallelRun run;
    run.Width = std::min(Parallelism(), DBCount);
    run.Slots.reserve(size_t(DBCount));
    for (int i = 0; i < DBCount; ++i) {
        auto slot = std::make_unique<TParallelRun::TSlot>();
        slot->Run = &run;
        slot->Index = i;
        run.Slots.push_back(std::move(slot));
    }

    Percent = 0;
    NotifyPercent();

    std::vector<std::thread> workers;
    const auto stopAndJoin = [&] {
        {
            const std::lock_guard lock(run.Lock);
            run.NoMoreStarts = true;
        }
        run.Changed.notify_all();
        for (std::thread& w : workers)
            if (w.joinable())
                w.join();
    };
    struct TJoin {
        const decltype(stopAndJoin)& Stop;
        ~TJoin() { Stop(); }
    } join{stopAndJoin};
    for (int i = 0; i < run.Width; ++i)
        workers.emplace_back([this, &run] { ParallelWorker(run); });

    int head = 0;
    bool headRan = true;  // the database that ends the run went on past that point
    try {
        for (; head < DBCount; ++head) {
            TParallelRun::TSlot& slot = *run.Slots[size_t(head)];
            for (;;) {
                std::vector<TRecorded> events;
                bool finished = false;
                {
                    std::unique_lock lock(run.Lock);
                    run.WaitFor(lock, [&] {
                        return !slot.Events.empty() || slot.Finished
                            || (!slot.Started && (run.NoMoreStarts || Terminated()));
                    });
                    if (!slot.Started && slot.Events.empty()) {
                        // Stopped before this database could start: nothing of it ran.
                        run.NoMoreStarts = true;
                        headRan = false;
                        throw UserCancelException();
                    }
                    events.swap(slot.Events);
                    finished = slot.Finished;
                }
                for (TRecorded& e : events) {
                    switch (e.Id) {
                    case WM_EXEC_LOGS: FReceiver->ExecLogs(e.Lines); break;
                    case WM_EXEC_MSGS: FReceiver->ExecMsgs(e.Lines); break;
                    case WM_EXEC_RESULT: FReceiver->ExecResult(e.Snapshot); break;
                    case WM_EXEC_NEWDB:
                        if (FReceiver->ExecNewDB(e.Instance, e.Database) != 0) {
                            slot.Stop.store(true);
                            throw EOrvexaError(QStringLiteral("Error: Can't append result page."));
                        }
                        break;
                    default: break;
                    }
                }
                if (finished) {
                    const std::lock_guard lock(run.Lock);
                    if (slot.Events.empty())
                        break;
                }
            }
            if (slot.Error) {
                headRan = false;  // its lines tell what became of it
                Logs += slot.PendingLogs;
                std::rethrow_exception(slot.Error);
            }
            if (slot.Absorbed) {
                HasError = true;
                ErrorMsgs.push_back(std::move(*slot.Absorbed));
            }
            Percent = RoundPercent(head + 1, DBCount);
            NotifyPercent();
            {
                const std::lock_guard lock(run.Lock);
                run.Head = head + 1;
            }
            run.Slots[size_t(head)].reset();
            run.Changed.notify_all();
        }
    } catch (...) {
        // Everything after the database that ends the run stops at its next
        // batch; then say what became of each that had started.
        for (int i = head; i < DBCount; ++i)
            if (run.Slots[size_t(i)])
                run.Slots[size_t(i)]->Stop.store(true);
        stopAndJoin();
        FAlongside.clear();
        for (int i = headRan ? head : head + 1; i < DBCount; ++i) {
            const TParallelRun::TSlot* s = run.Slots[size_t(i)].get();
            if (!s || !s->Started)
                continue;
            const TInstanceAndDBInfo& D = DBList.at(i);
            QString line = QStringLiteral("    [") + D.InstanceName + QStringLiteral("].[") + D.DatabaseName
                         + QStringLiteral("] ran alongside and ");
            QString failedIn;
            if (s->Error && s->ErrorIsCancel) {
                line += QStringLiteral("was stopped.");
            } else if (s->Error || s->Absorbed) {
                try {
                    if (s->Error)
                        std::rethrow_exception(s->Error);
                    line += QStringLiteral("failed: ") + s->Absorbed->Msg;
                } catch (const std::exception& e) {
                    line += QStringLiteral("failed: ") + ErrorText(e);
                } catch (...) {
                    line += QStringLiteral("failed.");
                }
            } else {
                line += QStringLiteral("was executed successfully.");
            }
            if (!s->FilesDone.isEmpty() && (s->Error || s->Absorbed))
                line += QStringLiteral(" Executed: ") + s->FilesDone.join(QStringLiteral(", ")) + QLatin1Char('.');
            if (!s->CurrentFile.isEmpty())
                line += (ThreadConfig.TransExecution ? QStringLiteral(" Rolled back: ") : QStringLiteral(" Ended in: "))
                      + s->CurrentFile + QLatin1Char('.');
            FAlongside << line;
        }
        throw;
    }
}
