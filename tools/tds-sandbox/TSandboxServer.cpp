#include "TSandboxServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <stdexcept>

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

    QStringList args{"--data", FDataDir, "--host", "127.0.0.1", "--port", "0"};
    for (const QString& login : options.Logins)
        args << "--login" << login;
    if (options.LatencyMs > 0)
        args << "--latency-ms" << QString::number(options.LatencyMs);
    args << options.ExtraArgs;

    FProcess = std::make_unique<QProcess>();
    FProcess->setProcessChannelMode(QProcess::MergedChannels);
    FProcess->start(QStringLiteral(TDS_SANDBOX_PATH), args);
    if (!FProcess->waitForStarted(10000))
        throw std::runtime_error("tds-sandbox: cannot start " TDS_SANDBOX_PATH ": " +
                                 FProcess->errorString().toStdString());

    static const QRegularExpression listening("listening on [^\\s:]+:(\\d+)");
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (FProcess->state() == QProcess::NotRunning)
            break;
        FProcess->waitForReadyRead(200);
        FOutput += FProcess->readAll();
        const auto match = listening.match(QString::fromUtf8(FOutput));
        if (match.hasMatch()) {
            FPort = match.captured(1).toInt();
            return;
        }
    }
    FOutput += FProcess->readAll();
    const std::string output = FOutput.toStdString();
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
    if (FProcess)
        FOutput += FProcess->readAll();
    return QString::fromUtf8(FOutput);
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
        FOutput += FProcess->readAll();
        FProcess.reset();
    }
    FTempDir.reset();
}
