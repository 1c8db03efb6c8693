// The execution thread: one run of every script file against every target
// database, in list order, on a thread of its own.
//
// Use (GUI, headless runner, tests):
//   auto* t = new TExecThread(&receiver, filePaths, databases);
//   t->SetFreeOnTerminate(true);             // optional: deleted when done
//   QObject::connect(t, &QThread::finished, ...);  // the end callback
//   t->Start();
//   ...  t->Terminate();                     // Stop: honoured at the next check point
//   t->Wait();                               // or wait for `finished`
//
// The constructor runs on the creating thread and copies CurrentConfig (or
// the options given), so option changes never reach a run under way. The
// thread owns its connection, command, line buffers and result table; it
// reaches its receiver only through the notifications of untExecNotify.h.
// Terminate may be called from any thread; it is the only thing another
// thread does to a running TExecThread.
#pragma once

#include "untCommon.h"
#include "untDBAccess.h"
#include "untExecNotify.h"
#include "untResultCapture.h"
#include "untResultTable.h"
#include "untSQLFile.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

// Raised wherever the run notices a stop request or the user's refusal to go on.
class UserCancelException : public EOrvexaError {
public:
    UserCancelException();
    // The same text followed by a suffix (" transation rollback.").
    static UserCancelException WithSuffix(const QString& suffix);

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
    ~TExecThread() override;

    // Deletes the object (deleteLater) once the thread has finished; the
    // creating thread needs a running event loop for that.
    void SetFreeOnTerminate(bool value);
    void Start() { start(); }
    void Wait() { wait(); }

    // The stop flag: asks the run to stop before the next file split or the
    // next batch. A running batch is never interrupted.
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }

    // The thread body; run() calls it. Public so that a caller may also run
    // it on its own thread.
    void Execute();

    // Options of this run and the outcome (readable after the run).
    const TConfig& Config() const { return ThreadConfig; }
    bool Failed() const { return FFailed; }
    const std::vector<TErrorMsg>& Errors() const { return ErrorMsgs; }

protected:
    void run() override { Execute(); }

private:
    // Run loop (untThread.cpp).
    void SplitSQLFiles();
    void CheckUseAndGoN();
    void ExecuteAll();
    // One database and one file (untExecDatabase.cpp).
    void ExecuteOnDatabase(int index);
    void ExecuteSQLFile(TSQLFile& file);
    // Result capture into cdsResult (untResultCapture.h).
    void CreateResultFields(const TDBRecordset& recordset) { FCapture.CreateResultFields(recordset, cdsResult); }
    void FillResult(TDBRecordset& recordset) { FCapture.FillResult(recordset, cdsResult); }

    // Notifications (untThread.cpp).
    void NotifyRunStart();
    void FlushLogs();
    void FlushMsgs();
    void NotifyStatus(TStatusType status);
    void NotifyPercent();
    void AddResultPage(const QString& instanceName, const QString& databaseName);
    void SendResult();
    int AskUseGoN(const QString& text);

    QStringList Logs;
    QStringList Msgs;
    std::vector<TErrorMsg> ErrorMsgs;
    std::vector<std::unique_ptr<TSQLFile>> SQLFiles;
    TExecReceiver* FReceiver;
    TInstanceAndDBArr DBList;
    TConfig ThreadConfig;
    bool HasError = false;
    int DBCount = 0;
    IntPercent Percent = 0;
    TResultTable cdsResult;

    std::atomic<bool> FTerminated{false};
    bool FFailed = false;

    // Per run and per database.
    std::unique_ptr<TDBConnection> FConnection;
    std::unique_ptr<TDBCommand> FCommand;
    QString FCurrentFile;
    TResultCapture FCapture;
};

// The file name without its folder ('/' or '\' separated).
QString ExtractFileName(const QString& path);
// Removes characters of code 32 or less from both ends.
QString TrimBlanksAndControls(const QString& text);
// round(part / whole * 100), ties to the even neighbour.
IntPercent RoundPercent(int part, int whole);
