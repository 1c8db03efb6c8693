#include "TSandboxServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <stdexcept>

#ifdef __linux__
#include <csignal>
#include <sys/prctl.h>
#endif

const char* const TSandboxServer::DefaultUser = "sa";
const char* const TSandboxServer::DefaultPassword = "Sandbox-2026";

TSandboxServer::TSandboxServer() : TSandboxServer(TOptions{})
{
}

TSandboxServer::TSandboxServer(TOptions options)
{
    if (options.DataDir.isEmpty()) {
        FTempDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/tds-sandbox-XXXXXX");
        if (!FTempDir->isValid())
            throw std::runtime_error("tds-sandbox: cannot create a temporary data folder");
        FDataDir = FTempDir->path();
    } else {
        FDataDir = options.DataDir;
        QDir().mkpath(FDataDir);
    }

    // The server's output goes to a file, never to a pipe that nobody drains:
    // a full pipe would block the server's logging and with it every connection.
    FLogDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/tds-sandbox-log-XXXXXX");
    if (!FLogDir->isValid())
        throw std::runtime_error("tds-sandbox: cannot create a temporary log folder");
    FLogPath = FLogDir->filePath("tds-sandbox.log");

    QStringList args{"--data", FDataDir, "--host", "127.0.0.1", "--port", "0"};
    for (const QString& login : options.Logins)
        args << "--login" << login;
    if (options.LatencyMs > 0)
        args << "--latency-ms" << QString::number(options.LatencyMs);
    if (FTempDir)
        args << "--remove-data-on-exit";   // a folder of its own: gone even if the test dies
    args << "--remove-if-orphaned" << FLogDir->path();
    args << options.ExtraArgs;

    FProcess = std::make_unique<QProcess>();
    FProcess->setProcessChannelMode(QProcess::MergedChannels);
    FProcess->setStandardOutputFile(FLogPath);
#ifdef __linux__
    // A test that dies without running its destructors (a crash, a ctest
    // time-out) takes its sandbox with it instead of leaving it running.
    FProcess->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    FProcess->start(QStringLiteral(TDS_SANDBOX_PATH), args);
    if (!FProcess->waitForStarted(10000))
        throw std::runtime_error("tds-sandbox: cannot start " TDS_SANDBOX_PATH ": " +
                                 FProcess->errorString().toStdString());

    static const QRegularExpression listening("listening on [^\\s:]+:(\\d+)");
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        const bool running = FProcess->state() != QProcess::NotRunning;
        const auto match = listening.match(Output());
        if (match.hasMatch()) {
            FPort = match.captured(1).toInt();
            return;
        }
        if (!running)
            break;
        FProcess->waitForFinished(20);
    }
    const std::string output = Output().toStdString();
    Stop();
    throw std::runtime_error("tds-sandbox did not report \"listening on\": " + output);
}

TSandboxServer::~TSandboxServer()
{
    Stop();
}

QString TSandboxServer::Host() const
{
    return QStringLiteral("127.0.0.1");
}

int TSandboxServer::Port() const
{
    return FPort;
}

QString TSandboxServer::Instance() const
{
    return Host() + "," + QString::number(FPort);
}

QString TSandboxServer::DataDir() const
{
    return FDataDir;
}

QString TSandboxServer::Output() const
{
    QFile file(FLogPath);
    if (FLogPath.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

void TSandboxServer::Stop()
{
    if (FProcess) {
        if (FProcess->state() != QProcess::NotRunning) {
            FProcess->terminate();
            if (!FProcess->waitForFinished(5000)) {
                FProcess->kill();
                FProcess->waitForFinished(5000);
            }
        }
        FProcess.reset();
    }
    FTempDir.reset();
}
