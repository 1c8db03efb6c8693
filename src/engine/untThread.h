// The execution thread: one run of every script file against every target
// database, in list order, on a thread of its own.
//
// Use (headless runner, tests):
//   auto* t = new TExecThread(&receiver, filePaths, databases, config);
//   t->SetFreeOnTerminate(true);             // optional: deleted when done
//   QObject::connect(t, &QThread::finished, ...);  // the end callback
//   t->Start();
//   ...  t->Terminate();                     // Stop: honoured at the next check point
//   ...  t->Cancel();                        // Stop now: also cancels the running batch
//   t->Wait();                               // or wait for `finished`
//
// The window's protocol (its receiver hands every notification over to the
// GUI thread through a TExecReceiverBridge, untExecBridge.h):
//   - Stop pressed once: Terminate(). The run ends before its next batch.
//   - Stop pressed again, or the window closes during a run: Cancel().
//   - Closing: Detach() the bridge (every notification, also one already
//     queued, then returns at once with a "stop" reply), Cancel(), let the
//     event loop run until `finished` (deleteLater, or delete then). Never
//     wait for the thread, nor delete it, on the GUI thread while the bridge
//     is attached: the thread may be waiting in a notification for that very
//     thread. With the bridge detached and the run cancelled, the thread
//     reaches its end without the GUI thread: at most the login under way
//     (30 seconds) or a rollback on a server that does not answer remains.
//
// The constructor runs on the creating thread and copies CurrentConfig (or
// the options given), so option changes never reach a run under way. The
// thread owns its connections, commands, line buffers and result tables; it
// reaches its receiver only through the notifications of untExecNotify.h,
// always from the run's own thread, also when databases run in parallel.
// Terminate and Cancel may be called from any thread; they are the only
// things another thread does to a running TExecThread. QThread::terminate,
// which kills a thread wherever it stands, is not reachable through it.
//
// Parallel runs (Parallelism > 1): up to that many databases run at a time,
// each on a worker thread with its own connection, while the receiver gets
// exactly the notifications of a sequential run, database after database in
// run order. A database's notifications are held until the databases before
// it are delivered; a database starts only while fewer than Parallelism
// databases are started and not yet delivered, so at most Parallelism - 1
// databases' output is held at any time. When the run ends early (an error
// without ContinueOnError, a stop, a refused page), databases after the one
// that ended it that had started are stopped at their next batch boundary
// and listed, with their outcome, before the closing banner.
#pragma once

#include "untCommon.h"
#include "untDBAccess.h"
#include "untExecNotify.h"
#include "untSQLFile.h"
#include "untTsan.h"

#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class TExecDatabase;

// Raised wherever the run notices a stop request or the user's refusal to go on.
class UserCancelException : public EOrvexaError {
public:
    UserCancelException();
    // The same text followed by a suffix (" transation rollback.").
    static UserCancelException WithSuffix(const QString& suffix);
    // Another cancel text followed by a suffix.
    static UserCancelException WithSuffix(const QString& message, const QString& suffix);
    // A batch of the file that was cancelled on the server while it ran:
    // "User has canceled current operation. The running batch of 02.sql was cancelled."
    static UserCancelException BatchCancelled(const QString& fileName);

private:
    explicit UserCancelException(const QString& message, int);
};

// One error absorbed under ContinueOnError, listed at the end of the run.
class TErrorMsg {
public:
    QString InstanceName;
    QString DBName;
    QString SQLFile;  // file name without folder; empty when no file had started
    QString Msg;
};

class TExecThread : public QThread {
public:
    // aReceiver: gets every notification; it must outlive the thread.
    // aFileList: full script paths in run order. aDBList: the targets, in run
    // order. The options are a copy of CurrentConfig.
    TExecThread(TExecReceiver* aReceiver, const QStringList& aFileList, const TInstanceAndDBArr& aDBList);
    // The same with the options given explicitly (headless runner, tests).
    TExecThread(TExecReceiver* aReceiver, const QStringList& aFileList, const TInstanceAndDBArr& aDBList,
                const TConfig& aConfig);
    // Waits for the thread body; a run still under way is cancelled first
    // (Cancel). See the window's protocol above: never on a thread that the
    // run may be waiting for.
    ~TExecThread() override;

    // Deletes the object (deleteLater) once the thread has finished; the
    // creating thread needs a running event loop for that.
    void SetFreeOnTerminate(bool value);
    void Start() { start(); }
    void Wait()
    {
        wait();
        TsanAcquire(this);  // the run's end, ordered by wait() (see run())
    }

    // The stop flag: asks the run to stop before the next file split or the
    // next batch. A running batch is not interrupted.
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }
    // Sets the stop flag and cancels the running batches on the server at
    // once. The file is rolled back (TransExecution) and the run ends as a
    // stopped run does, its error line reading "User has canceled current
    // operation. The running batch of NAME was cancelled." (followed by
    // " transation rollback." with TransExecution). Between two batches it
    // is the same as Terminate. Never waits; callable from any thread.
    void Cancel();
    bool Cancelled() const { return FCancelled.load(); }

    // QThread::terminate kills the thread wherever it stands (inside the
    // driver, holding locks): Terminate() is the way to stop a run.
    void terminate() = delete;

    // The thread body; run() calls it. Public so that a caller may also run
    // it on its own thread.
    void Execute();

    // Options of this run and the outcome (readable after the run).
    const TConfig& Config() const { return ThreadConfig; }
    // Databases at a time: ThreadConfig.Parallelism within 1..64.
    int Parallelism() const;
    bool Failed() const { return FFailed; }
    const std::vector<TErrorMsg>& Errors() const { return ErrorMsgs; }

protected:
    // The run's writes (its outcome, the receiver's data) reach whoever
    // waits for the thread or handles `finished`; see untTsan.h.
    void run() override
    {
        Execute();
        TsanRelease(this);
    }

private:
    struct TParallelRun;

    // Run loop (untThread.cpp).
    void SplitSQLFiles();
    void CheckUseAndGoN();
    void ExecuteAll();
    void ExecuteAllSequential();
    // Databases in parallel, delivered in run order (untExecParallel.cpp).
    void ExecuteAllParallel();
    void ParallelWorker(TParallelRun& run);

    // Connections of the run, known to Cancel while they live.
    std::unique_ptr<TDBConnection> NewConnection();
    void DropConnection(std::unique_ptr<TDBConnection>& connection);

    // Notifications (untThread.cpp).
    void NotifyRunStart();
    void FlushLogs();
    void NotifyStatus(TStatusType status);
    void NotifyPercent();
    int AskUseGoN(const QString& text);

    QStringList Logs;
    std::vector<TErrorMsg> ErrorMsgs;
    std::vector<std::unique_ptr<TSQLFile>> SQLFiles;
    TExecReceiver* FReceiver;
    TInstanceAndDBArr DBList;
    TConfig ThreadConfig;
    bool HasError = false;
    int DBCount = 0;
    IntPercent Percent = 0;

    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FCancelled{false};
    bool FFailed = false;
    // Lines about databases that ran alongside the one that ended the run,
    // printed after its error (parallel runs only).
    QStringList FAlongside;

    std::mutex FConnectionsLock;
    std::vector<TDBConnection*> FConnections;
};

// round(part / whole * 100), ties to the even neighbour.
IntPercent RoundPercent(int part, int whole);
