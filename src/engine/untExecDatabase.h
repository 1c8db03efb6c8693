// One database of a run, and one script file on it: announce the database,
// connect, run every file's batches (each file in a transaction of its own
// when TransExecution is set), pass messages and result sets on, and apply
// the ContinueOnError policy.
//
// A sequential run uses one TExecDatabase for all its databases, with the
// run's receiver and the run's log buffer. A parallel run gives each worker
// thread its own, with a receiver that records a database's notifications
// until their turn comes. Either way the notifications and log lines of a
// database are the same.
//
// Threads: an object belongs to the thread that calls ExecuteOnDatabase; the
// stop checks it is given are called on that thread and must be thread-safe.
#pragma once

#include "untCommon.h"
#include "untDBAccess.h"
#include "untExecNotify.h"
#include "untResultCapture.h"
#include "untResultTable.h"
#include "untSQLFile.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class TErrorMsg;

class TExecDatabase {
public:
    // files: the run's split script files (read only; may be shared between
    // workers). logs: the log buffer lines are added to and flushed from.
    TExecDatabase(const TConfig& config, const std::vector<std::unique_ptr<TSQLFile>>& files, QStringList& logs);
    ~TExecDatabase();

    // Where the database's notifications go from now on.
    void SetReceiver(TExecReceiver* receiver) { FReceiver = receiver; }
    // stop: true when the run (or this database) is asked to stop; checked
    // before every batch. cancelled: true when running statements are being
    // cancelled on the server, so that the error a cancelled batch raises
    // reads as the cancel it is.
    void SetStopChecks(std::function<bool()> stop, std::function<bool()> cancelled);

    // The connection to work on (owned by the caller; it must stay until
    // Release): sets the time-outs and makes the command.
    void Attach(TDBConnection* connection);
    // Releases the command and closes the connection.
    void Release();

    // Runs every file on the database. Returns the error absorbed under
    // ContinueOnError, if any; raises every other error (a refused result
    // page, an error without ContinueOnError, a stop) with the log lines of
    // the failure left in the log buffer, unflushed.
    std::optional<TErrorMsg> ExecuteOnDatabase(const TInstanceAndDBInfo& D);

    // Of the last database: the files that completed, and the file that was
    // running when it ended early (empty when none).
    const QStringList& FilesDone() const { return FFilesDone; }
    const QString& CurrentFile() const { return FCurrentFile; }

private:
    void ExecuteSQLFile(TSQLFile& file);
    void FlushLogs();
    void FlushMsgs();
    void AddResultPage(const QString& instanceName, const QString& databaseName);
    void SendResult();

    const TConfig& ThreadConfig;
    const std::vector<std::unique_ptr<TSQLFile>>& SQLFiles;
    QStringList& Logs;
    QStringList Msgs;
    TExecReceiver* FReceiver = nullptr;
    std::function<bool()> FStop;
    std::function<bool()> FCancelled;
    TDBConnection* FConnection = nullptr;
    std::unique_ptr<TDBCommand> FCommand;
    TResultTable cdsResult;
    TResultCapture FCapture;
    QString FCurrentFile;
    QStringList FFilesDone;
};
