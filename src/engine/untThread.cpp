#include "untThread.h"

#include <algorithm>

namespace {

const char* const CancelText = "User has canceled current operation.";

QString ErrorText(const std::exception& e)
{
    if (const auto* own = dynamic_cast<const EOrvexaError*>(&e))
        return own->Message();
    return QString::fromLocal8Bit(e.what());
}

} // namespace

const char* ExecMessageName(TExecMessage message)
{
    switch (message) {
    case WM_EXEC_START: return "WM_EXEC_START";
    case WM_EXEC_LOGS: return "WM_EXEC_LOGS";
    case WM_EXEC_MSGS: return "WM_EXEC_MSGS";
    case WM_EXEC_STATUS: return "WM_EXEC_STATUS";
    case WM_EXEC_PERCENT: return "WM_EXEC_PERCENT";
    case WM_EXEC_NEWDB: return "WM_EXEC_NEWDB";
    case WM_EXEC_RESULT: return "WM_EXEC_RESULT";
    case WM_EXEC_WARN: return "WM_EXEC_WARN";
    }
    return "?";
}

UserCancelException::UserCancelException() : EOrvexaError(QString::fromLatin1(CancelText)) {}

UserCancelException::UserCancelException(const QString& message, int) : EOrvexaError(message) {}

UserCancelException UserCancelException::WithSuffix(const QString& suffix)
{
    return UserCancelException(QString::fromLatin1(CancelText) + suffix, 0);
}

QString ExtractFileName(const QString& path)
{
    const qsizetype at = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(at + 1);
}

QString TrimBlanksAndControls(const QString& text)
{
    qsizetype from = 0, to = text.size();
    while (from < to && text.at(from).unicode() <= 32)
        ++from;
    while (to > from && text.at(to - 1).unicode() <= 32)
        --to;
    return text.mid(from, to - from);
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
}

TExecThread::~TExecThread()
{
    // A thread object is only destroyed once its body has returned.
    wait();
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

void TExecThread::FlushMsgs()
{
    FReceiver->ExecMsgs(Msgs);
    Msgs.clear();
}

void TExecThread::NotifyStatus(TStatusType status)
{
    FReceiver->ExecStatus(status);
}

void TExecThread::NotifyPercent()
{
    FReceiver->ExecPercent(Percent);
}

void TExecThread::AddResultPage(const QString& instanceName, const QString& databaseName)
{
    if (FReceiver->ExecNewDB(instanceName, databaseName) != 0)
        throw EOrvexaError(QStringLiteral("Error: Can't append result page."));
}

void TExecThread::SendResult()
{
    const TResultSnapshot snapshot = cdsResult.Snapshot();
    FReceiver->ExecResult(snapshot);
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
            Logs << QString() << QStringLiteral("    ") + ErrorText(e) << QString()
                 << CenterTitle(QStringLiteral("Execution completed but errors occured"));
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
    FConnection = CreateDBConnection();
    FConnection->SetConnectionTimeout(30);
    FCommand = FConnection->CreateCommand();
    FCommand->SetCommandTimeout(0);
    // Rows always come forward-only in blocks (the server-side cursor of a
    // cache of 1,000 rows): there is no cursor location to set.

    struct TRelease {
        TExecThread* Self;
        ~TRelease()
        {
            Self->FCommand.reset();
            if (Self->FConnection && Self->FConnection->State() != adStateClosed)
                Self->FConnection->Close();
            Self->FConnection.reset();
        }
    } release{this};

    Percent = 0;
    NotifyPercent();
    for (int i = 0; i < DBCount; ++i) {
        ExecuteOnDatabase(i);
        Percent = RoundPercent(i + 1, DBCount);
        NotifyPercent();
    }
}
