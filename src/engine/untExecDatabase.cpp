// One database of a run, and one script file on it.
#include "untThread.h"

namespace {

QString ErrorText(const std::exception& e)
{
    if (const auto* own = dynamic_cast<const EOrvexaError*>(&e))
        return own->Message();
    return QString::fromLocal8Bit(e.what());
}

} // namespace

void TExecThread::ExecuteOnDatabase(int index)
{
    const TInstanceAndDBInfo& D = DBList[index];
    FCurrentFile.clear();
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
        }
    } catch (const UserCancelException&) {
        if (ThreadConfig.TransExecution)
            throw UserCancelException::WithSuffix(QStringLiteral(" transation rollback."));
        throw;
    } catch (const std::exception& e) {
        HasError = true;
        if (!FCurrentFile.isEmpty())
            Logs << QStringLiteral("    ") + FCurrentFile
                        + (ThreadConfig.TransExecution ? QStringLiteral(" Error occurred and transation rollback.")
                                                       : QStringLiteral(" Error occurred."));
        if (!ThreadConfig.ContinueOnError)
            throw;
        const QString message = ErrorText(e);
        Logs << QString() << QStringLiteral("    ") + message;
        FlushLogs();
        ErrorMsgs.push_back(TErrorMsg{D.InstanceName, D.DatabaseName, FCurrentFile, message});
    }
}

void TExecThread::ExecuteSQLFile(TSQLFile& file)
{
    Msgs << QStringLiteral("------") + file.SQLName() + QStringLiteral("------");
    FlushMsgs();

    if (ThreadConfig.TransExecution)
        FConnection->BeginTrans();

    std::unique_ptr<TDBRecordset> recordset;
    try {
        for (qsizetype b = 0; b < file.BatchCount(); ++b) {
            if (Terminated())
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
                    CreateResultFields(*recordset);
                    FillResult(*recordset);
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
        throw;
    }
    Logs << QStringLiteral("    ") + ExtractFileName(file.SQLName()) + QStringLiteral(" was executed successfully.");
    FlushLogs();
}
