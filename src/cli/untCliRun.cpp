// orvexa-cli run: one run of the engine, without a window. The execution log
// goes to stdout line for line as the desktop application's log pane shows
// it; a progress bar goes to stderr when that is a terminal.
#include "untCliCommon.h"
#include "untCliOutput.h"
#include "untCliStore.h"
#include "untCliTerminal.h"
#include "untDBListFile.h"
#include "untThread.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

// Ctrl-C asks the run to stop at the next batch; a second one also cancels
// the running batch on the server (its file is rolled back and the run ends
// as a stopped one). Only a third ends the process at once, for a run that
// waits on something no cancel reaches (a login under way).
volatile std::sig_atomic_t gInterrupts = 0;

extern "C" void OnInterrupt(int)
{
    gInterrupts = gInterrupts + 1;
    if (gInterrupts > 2)
        ::_exit(exitInterrupted);
}

// Receives the run's notifications on the execution thread.
class TCliReceiver : public TExecReceiver {
public:
    TCliReceiver(bool assumeYes, TRunOutput* output, int databaseCount)
        : FAssumeYes(assumeYes), FOutput(output), FCount(databaseCount), FBar(StderrIsTerminal())
    {
    }

    void SetThread(TExecThread* thread) { FThread = thread; }
    TStatusType Status() const { return FStatus; }
    const QString& OutputError() const { return FOutputError; }

    void ExecStart() override {}

    void ExecLogs(const QStringList& lines) override
    {
        QString text;
        static const QRegularExpression lineBreak(QStringLiteral("\r\n|\n|\r"));
        for (const QString& entry : lines)
            text += entry.split(lineBreak).join(QLatin1Char('\n')) + QLatin1Char('\n');
        ClearBar();
        WriteOut(text);
        DrawBar();
    }

    void ExecMsgs(const QStringList& lines) override
    {
        Guard([&] { FOutput->AddMessages(lines); });
    }

    void ExecStatus(TStatusType status) override
    {
        FStatus = status;
        if (status == stOK || status == stFail)
            ClearBar();
    }

    void ExecPercent(IntPercent percent) override
    {
        FPercent = percent;
        DrawBar();
    }

    int ExecNewDB(const QString& instanceName, const QString& databaseName) override
    {
        ++FCurrent;
        FCurrentName = instanceName + QLatin1Char('.') + databaseName;
        DrawBar();
        Guard([&] { FOutput->NewDatabase(instanceName, databaseName); });
        return 0;
    }

    void ExecResult(const TResultSnapshot& snapshot) override
    {
        Guard([&] { FOutput->AddResult(snapshot); });
    }

    int ExecWarn(const QString& fileList) override
    {
        if (FAssumeYes)
            return 0;
        ClearBar();
        // The desktop's question: its two lines, then the flagged files.
        QString question = UseGoNQuestion(fileList);
        question.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        const bool yes = AskYesNo(question + QStringLiteral("\n\nProceed?"));
        DrawBar();
        if (yes)
            return 0;
        if (FThread)
            FThread->Terminate();
        return 1;
    }

private:
    // An output folder that cannot be written stops the run: a result that
    // is not where the caller looks for it must not pass for success.
    template <typename F> void Guard(F f)
    {
        if (!FOutput || !FOutputError.isEmpty())
            return;
        try {
            f();
        } catch (const EOrvexaError& e) {
            FOutputError = e.Message();
            ClearBar();
            WriteErr(FOutputError + QLatin1Char('\n'));
            if (FThread)
                FThread->Terminate();
        }
    }

    void DrawBar()
    {
        if (!FBar || FStatus != stExec)
            return;
        constexpr int width = 30;
        const int filled = FPercent * width / 100;
        QString name = FCurrentName;
        if (name.size() > 40)
            name = name.left(37) + QStringLiteral("...");
        WriteErr(QStringLiteral("\r\033[K[%1%2] %3% %4 of %5 %6")
                     .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('.')))
                     .arg(FPercent, 3)
                     .arg(FCurrent)
                     .arg(FCount)
                     .arg(name));
        FBarShown = true;
    }

    void ClearBar()
    {
        if (FBarShown) {
            WriteErr(QStringLiteral("\r\033[K"));
            FBarShown = false;
        }
    }

    const bool FAssumeYes;
    TRunOutput* const FOutput;
    const int FCount;
    const bool FBar;
    bool FBarShown = false;
    TExecThread* FThread = nullptr;
    TStatusType FStatus = stReady;
    int FPercent = 0;
    int FCurrent = 0;
    QString FCurrentName;
    QString FOutputError;
};

struct TRunOptions {
    QCommandLineOption Script{QStringLiteral("script"), QStringLiteral("A script file (repeatable); runs in order "
                                                                      "before the FILE arguments."),
                              QStringLiteral("FILE")};
    QCommandLineOption List{QStringLiteral("list"),
                            QStringLiteral("Targets from a database list exchange file (XML or binary form)."),
                            QStringLiteral("FILE")};
    QCommandLineOption Target{QStringLiteral("target"),
                              QStringLiteral("A target database (repeatable), instead of the stored list."),
                              QStringLiteral("INSTANCE/DATABASE")};
    QCommandLineOption User{QStringLiteral("user"),
                            QStringLiteral("SQL Server login for the --target databases; the password comes from "
                                           "ORVEXA_PASSWORD or is asked on the terminal. Without it: Windows "
                                           "authentication."),
                            QStringLiteral("NAME")};
    QCommandLineOption ContinueOnError{QStringLiteral("continue-on-error"),
                                       QStringLiteral("After an error on a database, go on with the next one.")};
    QCommandLineOption StopOnError{QStringLiteral("stop-on-error"),
                                   QStringLiteral("End the run at the first error.")};
    QCommandLineOption Transaction{QStringLiteral("transaction"),
                                   QStringLiteral("Run each script file in a transaction of its own.")};
    QCommandLineOption NoTransaction{QStringLiteral("no-transaction"),
                                     QStringLiteral("Let every batch commit as it runs.")};
    QCommandLineOption Results{QStringLiteral("results"), QStringLiteral("Fetch the result sets.")};
    QCommandLineOption NoResults{QStringLiteral("no-results"),
                                 QStringLiteral("Do not fetch result sets; messages and row counts are still kept.")};
    QCommandLineOption Yes{QStringLiteral("yes"),
                           QStringLiteral("Answer yes when scripts use USE or GO N (otherwise asked on the "
                                          "terminal, and answered no without one).")};
    QCommandLineOption Parallel{QStringLiteral("parallel"),
                                QStringLiteral("Run N databases at a time (1 to 64), each on a connection of its "
                                               "own; the log and the output are those of a run one database after "
                                               "another. Overrides the stored option \"Databases at a time\"."),
                                QStringLiteral("N")};
    QCommandLineOption OutputDir{QStringLiteral("output-dir"),
                                 QStringLiteral("Write each database's target, messages and result sets under "
                                                "DIR/<n>/ (n counts the databases of the run from 1)."),
                                 QStringLiteral("DIR")};
    QCommandLineOption Format{QStringLiteral("format"),
                              QStringLiteral("Result sets under --output-dir as csv (Result<k>.csv, the default) or "
                                             "xlsx (one workbook per database, as the desktop exports it)."),
                              QStringLiteral("csv|xlsx"), QStringLiteral("csv")};
};

// An option pair that overrides one stored option for this run.
void Override(const QCommandLineParser& parser, const QCommandLineOption& on, const QCommandLineOption& off,
              bool& value)
{
    if (parser.isSet(on) && parser.isSet(off))
        throw ECliUsage(QStringLiteral("--%1 and --%2 exclude each other").arg(on.names().first(), off.names().first()));
    if (parser.isSet(on))
        value = true;
    if (parser.isSet(off))
        value = false;
}

TInstanceAndDBInfo ParseTarget(const QString& text)
{
    // Instance names hold no '/', database names may.
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    if (slash <= 0 || slash == text.size() - 1)
        throw ECliUsage(QStringLiteral("--target '%1' is not INSTANCE/DATABASE").arg(text));
    TInstanceAndDBInfo info;
    info.InstanceName = text.left(slash);
    info.DatabaseName = text.mid(slash + 1);
    info.NT = true;
    return info;
}

} // namespace

int CmdRun(const QStringList& args)
{
    QCommandLineParser parser;
    TRunOptions o;
    parser.addOptions({o.Script, o.List, o.Target, o.User, o.ContinueOnError, o.StopOnError, o.Transaction,
                       o.NoTransaction, o.Results, o.NoResults, o.Yes, o.Parallel, o.OutputDir,
                       o.Format});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Script files, run in order."),
                                 QStringLiteral("[FILE...]"));
    if (!ParseCommandLine(parser, QStringLiteral("run"),
                          QStringLiteral("Runs every script file, in order, on every target database, in order: by "
                                         "default the stored database list with the stored options. Prints the "
                                         "execution log. Exit status: 0 when the run succeeded, 1 when it failed, "
                                         "was declined or stopped, 2 for a usage error, 130 after Ctrl-C."),
                          args))
        return exitOK;

    const QStringList files = parser.values(o.Script) + parser.positionalArguments();
    if (files.isEmpty())
        throw ECliUsage(QStringLiteral("no script file given"));
    if (parser.isSet(o.List) && parser.isSet(o.Target))
        throw ECliUsage(QStringLiteral("--list and --target: only one kind of target per run"));
    if (parser.isSet(o.User) && !parser.isSet(o.Target))
        throw ECliUsage(QStringLiteral("--user goes with --target"));
    TOutputFormat outputFormat = TOutputFormat::Csv;
    if (parser.isSet(o.Format)) {
        const QString format = parser.value(o.Format).toLower();
        if (format == QStringLiteral("xlsx"))
            outputFormat = TOutputFormat::Xlsx;
        else if (format != QStringLiteral("csv"))
            throw ECliUsage(QStringLiteral("--format '%1' is neither csv nor xlsx").arg(parser.value(o.Format)));
        if (!parser.isSet(o.OutputDir))
            throw ECliUsage(QStringLiteral("--format goes with --output-dir"));
    }
    if (parser.values(o.List).size() > 1)
        throw ECliUsage(QStringLiteral("--list is given more than once"));
    TInstanceAndDBArr targets;
    for (const QString& t : parser.values(o.Target))
        targets.append(ParseTarget(t));
    const auto applyOverrides = [&](TConfig& config) {
        Override(parser, o.ContinueOnError, o.StopOnError, config.ContinueOnError);
        Override(parser, o.Transaction, o.NoTransaction, config.TransExecution);
        Override(parser, o.Results, o.NoResults, config.ReceiveResults);
        if (parser.isSet(o.Parallel)) {
            bool ok = false;
            const int n = parser.value(o.Parallel).toInt(&ok);
            if (!ok || n < 1 || n > 64)
                throw ECliUsage(QStringLiteral("--parallel takes a number from 1 to 64, not '%1'")
                                    .arg(parser.value(o.Parallel)));
            config.Parallelism = n;
        }
    };
    TConfig config;
    applyOverrides(config);  // usage errors first, before anything is opened

    // Script paths as the window passes them: full paths.
    QStringList paths;
    for (const QString& f : files)
        paths.append(QFileInfo(f).absoluteFilePath());

    TStderrMessageBox messages;
    TdmMain dm(&messages);
    if (!OpenStore(dm))
        return exitFail;
    config = CurrentConfig;
    applyOverrides(config);

    try {
        if (parser.isSet(o.Target)) {
            if (parser.isSet(o.User)) {
                const QString user = parser.value(o.User);
                const QString password = PasswordFor(user);
                for (TInstanceAndDBInfo& t : targets) {
                    t.NT = false;
                    t.UserName = user;
                    t.UserPWD = password;
                }
            }
        } else if (parser.isSet(o.List)) {
            targets = FlatDBList(LoadDBListFile(parser.value(o.List)));
        } else {
            targets = dm.GetDBList();
        }
    } catch (const EOrvexaError& e) {
        WriteErr(e.Message() + QLatin1Char('\n'));
        return exitFail;
    }
    if (targets.isEmpty())
        WriteErr(QStringLiteral("orvexa-cli run: there are no target databases\n"));

    std::unique_ptr<TRunOutput> output;
    if (parser.isSet(o.OutputDir))
        output = std::make_unique<TRunOutput>(QDir(parser.value(o.OutputDir)).absolutePath(), outputFormat);

    TCliReceiver receiver(parser.isSet(o.Yes), output.get(), int(targets.size()));
    TExecThread thread(&receiver, paths, targets, config);
    receiver.SetThread(&thread);

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGINT, &action, &previous);
    gInterrupts = 0;

    thread.Start();
    bool interrupted = false;
    while (!thread.wait(50)) {
        if (gInterrupts > 0 && !interrupted) {
            interrupted = true;
            thread.Terminate();
        }
        if (gInterrupts > 1 && !thread.Cancelled())
            thread.Cancel();
    }
    interrupted = interrupted || gInterrupts > 0;
    sigaction(SIGINT, &previous, nullptr);
    bool outputFailed = false;
    if (output) {
        try {
            output->Finish();
        } catch (const EOrvexaError& e) {
            WriteErr(e.Message() + QLatin1Char('\n'));
            outputFailed = true;
        }
    }

    if (interrupted)
        return exitInterrupted;
    if (!receiver.OutputError().isEmpty() || outputFailed)
        return exitFail;
    return receiver.Status() == stOK ? exitOK : exitFail;
}
