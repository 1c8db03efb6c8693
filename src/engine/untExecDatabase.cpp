// One database of a run, and one script file on it.
#include "untExecDatabase.h"

#include "untThread.h"

TExecDatabase::TExecDatabase(const TConfig& config, const std::vector<std::unique_ptr<TSQLFile>>& files,
                             QStringList& logs)
    : ThreadConfig(config), SQLFiles(files), Logs(logs)
{
}

TExecDatabase::~TExecDatabase()
{
    Release();
}

void TExecDatabase::SetStopChecks(std::function<bool()> stop, std::function<bool()> cancelled)
{
    FStop = std::move(stop);
    FCancelled = std::move(cancelled);
}

void TExecDatabase::Attach(TDBConnection* connection)
{
    Release();
    FConnection = connection;
    FConnection->SetConnectionTimeout(30);
    FCommand = FConnection->CreateCommand();
    FCommand->SetCommandTimeout(0);
    // Rows always come forward-only in blocks (the server-side cursor of a
    // cache of 1,000 rows): there is no cursor location to set.
}

void TExecDatabase::Release()
{
    FCommand.reset();
    if (FConnection && FConnection->State() != adStateClosed)
        FConnection->Close();
    FConnection = nullptr;
}

void TExecDatabase::FlushLogs()
{
    FReceiver->ExecLogs(Logs);
    Logs.clear();
}

void TExecDatabase::FlushMsgs()
{
    FReceiver->ExecMsgs(Msgs);
    Msgs.clear();
}

void TExecDatabase::AddResultPage(const QString& instanceName, const QString& databaseName)
{
    if (FReceiver->ExecNewDB(instanceName, databaseName) != 0)
        throw EOrvexaError(QStringLiteral("Error: Can't append result page."));
}

void TExecDatabase::SendResult()
{
    const TResultSnapshot snapshot = cdsResult.Snapshot();
    FReceiver->ExecResult(snapshot);
}

std::optional<TErrorMsg> TExecDatabase::ExecuteOnDatabase(const TInstanceAndDBInfo& D)
{
    FCurrentFile.clear();
    FFilesDone.clear();
    Logs << QString() << QStringLiteral("[") + D.InstanceName + QStringLiteral("].[") + D.DatabaseName
                             + QStringLiteral("] begin to execute ...");
    FlushLogs();

    // Outside the database's error handling: a refused page ends the run.
    AddResultPage(D.InstanceName, D.DatabaseName);

    try {
        if (FConnection->State() != adStateClosed)
            FConnection->Close();
        FConnection->Open(TDBConnectionData::From(D));
        for (auto& file : SQLFiles) {
            FCurrentFile = ExtractFileName(file->SQLName());
            ExecuteSQLFile(*file);
            FFilesDone << FCurrentFile;
        }
        FCurrentFile.clear();
    } catch (const UserCancelException& e) {
        if (ThreadConfig.TransExecution)
            throw UserCancelException::WithSuffix(e.Message(), QStringLiteral(" transation rollback."));
        throw;
    } catch (const std::exception& e) {
        if (!FCurrentFile.isEmpty())
            Logs << QStringLiteral("    ") + FCurrentFile
                        + (ThreadConfig.TransExecution ? QStringLiteral(" Error occurred and transation rollback.")
                                                       : QStringLiteral(" Error occurred."));
        if (!ThreadConfig.ContinueOnError)
            throw;
        const QString message = ErrorText(e);
        Logs << QString() << QStringLiteral("    ") + message;
        FlushLogs();
        return TErrorMsg{D.InstanceName, D.DatabaseName, FCurrentFile, message};
    }
    return std::nullopt;
}

void TExecDatabase::ExecuteSQLFile(TSQLFile& file)
{
    Msgs << QStringLiteral("------") + file.SQLName() + QStringLiteral("------");
    FlushMsgs();

    if (ThreadConfig.TransExecution)
        FConnection->BeginTrans();

    std::unique_ptr<TDBRecordset> recordset;
    try {
        for (qsizetype b = 0; b < file.BatchCount(); ++b) {
            if (FStop && FStop())
                throw UserCancelException();
            FCommand->SetCommandText(file.BatchText(b));
            if (TrimBlanksAndControls(FCommand->CommandText()).isEmpty())
                continue;
            qint64 affected = -1;
            recordset = FCommand->Execute(affected);
            if (!recordset)
                continue;
            do {
                for (const TDBMessage& m : FConnection->Errors())
                    Msgs << m.Description;
                if (affected != -1)
                    Msgs << QStringLiteral("( %1 rows were affected.)").arg(affected);
                FlushMsgs();
                if (ThreadConfig.ReceiveResults && recordset->State() == adStateOpen) {
                    recordset->SetCacheSize(1000);
                    FCapture.CreateResultFields(*recordset, cdsResult);
                    FCapture.FillResult(*recordset, cdsResult);
                    SendResult();
                    Msgs << QStringLiteral("(retrieved %1 rows)").arg(cdsResult.RowCount());
                    FlushMsgs();
                }
            } while (recordset->NextRecordset(affected));
            recordset.reset();
        }
        if (ThreadConfig.TransExecution)
            FConnection->CommitTrans();
    } catch (...) {
        // A batch that failed because it was cancelled on the server is a
        // stop, not an error of the script.
        const bool cancelled = FCancelled && FCancelled();
        for (const TDBMessage& m : FConnection->Errors())
            Msgs << QString() << m.Description;
        FlushMsgs();
        recordset.reset();
        cdsResult.Close();
        if (ThreadConfig.TransExecution && FConnection->InTransaction()) {
            // A rollback that fails (the session is gone) must not hide the
            // error that brought us here; the server rolls back a session
            // that ends inside a transaction.
            try {
                FConnection->RollbackTrans();
            } catch (const std::exception&) {
            }
        }
        if (cancelled) {
            try {
                throw;
            } catch (const UserCancelException&) {
                throw;
            } catch (...) {
                throw UserCancelException::BatchCancelled(ExtractFileName(file.SQLName()));
            }
        }
        throw;
    }
    Logs << QStringLiteral("    ") + ExtractFileName(file.SQLName()) + QStringLiteral(" was executed successfully.");
    FlushLogs();
}
