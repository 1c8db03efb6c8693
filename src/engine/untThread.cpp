#include "untThread.h"

#include "untExecDatabase.h"

#include <algorithm>

namespace {

const char* const CancelText = "User has canceled current operation.";

} // namespace

UserCancelException::UserCancelException() : EOrvexaError(QString::fromLatin1(CancelText)) {}

UserCancelException::UserCancelException(const QString& message, int) : EOrvexaError(message) {}

UserCancelException UserCancelException::WithSuffix(const QString& suffix)
{
    return UserCancelException(QString::fromLatin1(CancelText) + suffix, 0);
}

UserCancelException UserCancelException::WithSuffix(const QString& message, const QString& suffix)
{
    return UserCancelException(message + suffix, 0);
}

UserCancelException UserCancelException::BatchCancelled(const QString& fileName)
{
    return UserCancelException(
        QString::fromLatin1(CancelText) + QStringLiteral(" The running batch of %1 was cancelled.").arg(fileName), 0);
}

IntPercent RoundPercent(int part, int whole)
{
    if (whole <= 0)
        return 0;
    const qint64 numerator = qint64(part) * 100;
    qint64 q = numerator / whole;
    const qint64 twice = (numerator % whole) * 2;
    if (twice > whole || (twice == whole && (q % 2) != 0))
        ++q;
    return IntPercent(std::clamp<qint64>(q, 0, 100));
}

// ---------------------------------------------------------------------------

TExecThread::TExecThread(TExecReceiver* aReceiver, const QStringList& aFileList, const TInstanceAndDBArr& aDBList)
    : TExecThread(aReceiver, aFileList, aDBList, CurrentConfig)
{
}

TExecThread::TExecThread(TExecReceiver* aReceiver, const QStringList& aFileList, const TInstanceAndDBArr& aDBList,
                         const TConfig& aConfig)
    : FReceiver(aReceiver), DBList(aDBList), ThreadConfig(aConfig)
{
    Q_ASSERT(FReceiver);
    for (const QString& path : aFileList)
        SQLFiles.push_back(std::make_unique<TSQLFile>(path));
    DBCount = int(DBList.size());
#if defined(ORVEXA_TSAN)
    // Handlers of `finished` on the creating thread run after this one,
    // which takes over the run's end (run() releases it). The second handler
    // runs on the thread itself, after the first has posted its event: an
    // object destroyed before that event is delivered deletes it, after
    // wait(), and the destructor's acquire must cover the event too.
    connect(this, &QThread::finished, this, [this] { TsanAcquire(this); }, Qt::QueuedConnection);
    connect(this, &QThread::finished, this, [this] { TsanRelease(this); }, Qt::DirectConnection);
#endif
}

TExecThread::~TExecThread()
{
    // A thread object is only destroyed once its body has returned; a run
    // still under way is told to end now rather than after its batch.
    if (isRunning())
        Cancel();
    wait();
    TsanAcquire(this);
}

int TExecThread::Parallelism() const
{
    return std::clamp(ThreadConfig.Parallelism, 1, 64);
}

void TExecThread::Cancel()
{
    FTerminated.store(true);
    FCancelled.store(true);
    const std::lock_guard lock(FConnectionsLock);
    for (TDBConnection* connection : FConnections)
        connection->Cancel();
}

std::unique_ptr<TDBConnection> TExecThread::NewConnection()
{
    auto connection = CreateDBConnection();
    const std::lock_guard lock(FConnectionsLock);
    FConnections.push_back(connection.get());
    return connection;
}

void TExecThread::DropConnection(std::unique_ptr<TDBConnection>& connection)
{
    if (!connection)
        return;
    {
        const std::lock_guard lock(FConnectionsLock);
        std::erase(FConnections, connection.get());
    }
    connection.reset();
}

void TExecThread::SetFreeOnTerminate(bool value)
{
    if (value)
        connect(this, &QThread::finished, this, &QObject::deleteLater, Qt::UniqueConnection);
    else
        disconnect(this, &QThread::finished, this, &QObject::deleteLater);
}

// --- notifications ----------------------------------------------------------

void TExecThread::NotifyRunStart()
{
    FReceiver->ExecStart();
}

void TExecThread::FlushLogs()
{
    FReceiver->ExecLogs(Logs);
    Logs.clear();
}

void TExecThread::NotifyStatus(TStatusType status)
{
    FReceiver->ExecStatus(status);
}

void TExecThread::NotifyPercent()
{
    FReceiver->ExecPercent(Percent);
}

int TExecThread::AskUseGoN(const QString& text)
{
    return FReceiver->ExecWarn(text);
}

// --- run loop ---------------------------------------------------------------

void TExecThread::Execute()
{
    // ODBC needs no per-thread set-up (the place where COM was initialised).
    if (SQLFiles.empty())
        return;
    try {
        NotifyRunStart();
    } catch (...) {
        // A receiver that cannot even start the run gets nothing more.
        FFailed = true;
        return;
    }
    try {
        Logs << QString() << CenterTitle(QStringLiteral("Begin to split SQL statments"));
        FlushLogs();
        NotifyStatus(stConstruct);

        SplitSQLFiles();
        Logs << CenterTitle(QStringLiteral("Split SQL statments successfully"));
        FlushLogs();

        CheckUseAndGoN();

        Logs << QString() << CenterTitle(QStringLiteral("Begin to execute SQL statments"));
        FlushLogs();
        NotifyStatus(stExec);

        ExecuteAll();

        Logs << QString();
        if (!HasError) {
            Logs << CenterTitle(QStringLiteral("Execution completed successfully"));
            FlushLogs();
            NotifyStatus(stOK);
            return;
        }
        Logs << CenterTitle(QStringLiteral("Execution completed but errors occured")) << QString()
             << CenterTitle(QStringLiteral("Error list begin"));
        for (const TErrorMsg& e : ErrorMsgs) {
            Logs << QString() << QStringLiteral("Instance:") + e.InstanceName << QStringLiteral("Database:") + e.DBName;
            if (!e.SQLFile.isEmpty())
                Logs << QStringLiteral("SQL File:") + e.SQLFile;
            Logs << QStringLiteral("Error Message:") + e.Msg;
        }
        Logs << QString() << CenterTitle(QStringLiteral("Error list end"));
        FFailed = true;
        FlushLogs();
        NotifyStatus(stFail);
    } catch (const std::exception& e) {
        FFailed = true;
        // Whatever reaches this level ends the run; the receiver may itself
        // be what failed, so it is told at most once more.
        try {
            Logs << QString() << QStringLiteral("    ") + ErrorText(e);
            if (!FAlongside.isEmpty())
                Logs << QString() << FAlongside;
            Logs << QString() << CenterTitle(QStringLiteral("Execution completed but errors occured"));
            FlushLogs();
            NotifyStatus(stFail);
        } catch (...) {
        }
    } catch (...) {
        FFailed = true;
        try {
            Logs << QString() << QStringLiteral("    Unknown error.") << QString()
                 << CenterTitle(QStringLiteral("Execution completed but errors occured"));
            FlushLogs();
            NotifyStatus(stFail);
        } catch (...) {
        }
    }
}

void TExecThread::SplitSQLFiles()
{
    for (auto& file : SQLFiles) {
        if (Terminated())
            throw UserCancelException();
        file->SplitSQL();
        Logs << ExtractFileName(file->SQLName()) + QStringLiteral(" is split successfully.");
        FlushLogs();
    }
}

void TExecThread::CheckUseAndGoN()
{
    QString text;
    for (const auto& file : SQLFiles)
        if (file->UseDBWarn || file->GoNWarn)
            text += QStringLiteral("\r\n") + file->SQLName();
    if (text.isEmpty())
        return;
    Logs << QStringLiteral("Warning: the following SQL files use \"use\" or \"go N\" statements:") << text;
    FlushLogs();
    if (AskUseGoN(text) == 1)
        throw UserCancelException();
}

void TExecThread::ExecuteAll()
{
    ErrorMsgs.clear();
    if (Parallelism() > 1 && DBCount > 1)
        ExecuteAllParallel();
    else
        ExecuteAllSequential();
}

void TExecThread::ExecuteAllSequential()
{
    // One connection and one command for the whole run.
    std::unique_ptr<TDBConnection> connection = NewConnection();
    TExecDatabase database(ThreadConfig, SQLFiles, Logs);
    struct TRelease {
        TExecThread* Self;
        TExecDatabase& Database;
        std::unique_ptr<TDBConnection>& Connection;
        ~TRelease()
        {
            Database.Release();
            Self->DropConnection(Connection);
        }
    } release{this, database, connection};
    database.SetReceiver(FReceiver);
    database.SetStopChecks([this] { return Terminated(); }, [this] { return Cancelled(); });
    database.Attach(connection.get());

    Percent = 0;
    NotifyPercent();
    for (int i = 0; i < DBCount; ++i) {
        if (auto absorbed = database.ExecuteOnDatabase(DBList.at(i))) {
            HasError = true;
            ErrorMsgs.push_back(std::move(*absorbed));
        }
        Percent = RoundPercent(i + 1, DBCount);
        NotifyPercent();
    }
}
