#include "TSandboxServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

std::string SystemError(int error)
{
    return std::strerror(error);
}

// Starts the server with fork() and execv(), its stdin on /dev/null and its
// stdout and stderr in the log file, and returns its process id.
//
// Not QProcess: Qt 6.4 starts a child with clone(CLONE_VM | CLONE_VFORK).
// ThreadSanitizer's clone hook then does the child's bookkeeping in the
// parent's memory and leaves the starting thread ignoring synchronisation for
// good, so every later lock hand-over from that thread (the test body) is
// reported as a race. fork() it handles correctly.
pid_t StartServer(const QStringList& args, const QString& logPath)
{
    std::vector<QByteArray> bytes{QByteArrayLiteral(TDS_SANDBOX_PATH)};
    for (const QString& arg : args)
        bytes.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& arg : bytes)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int log = ::open(QFile::encodeName(logPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int status[2] = {-1, -1};  // closed by a successful exec; a failed one writes its errno
    if (input < 0 || log < 0 || ::pipe2(status, O_CLOEXEC) != 0) {
        const int error = errno;
        for (const int fd : {input, log, status[0], status[1]})
            if (fd >= 0)
                ::close(fd);
        throw std::runtime_error("tds-sandbox: cannot prepare the output of " TDS_SANDBOX_PATH ": " +
                                 SystemError(error));
    }

#ifdef __linux__
    const pid_t parent = ::getpid();
#endif
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The child of a threaded process: only async-signal-safe calls until exec.
#ifdef __linux__
        // A test that dies without running its destructors (a crash, a ctest
        // time-out) takes its sandbox with it instead of leaving it running.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
#endif
        ::dup2(input, STDIN_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(status[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(input);
    ::close(log);
    ::close(status[1]);
    if (pid < 0) {
        ::close(status[0]);
        throw std::runtime_error("tds-sandbox: cannot start " TDS_SANDBOX_PATH ": " + SystemError(forkError));
    }
    int execError = 0;
    ssize_t got = 0;
    do
        got = ::read(status[0], &execError, sizeof execError);
    while (got < 0 && errno == EINTR);
    ::close(status[0]);
    if (got == sizeof execError) {
        ::waitpid(pid, nullptr, 0);
        throw std::runtime_error("tds-sandbox: cannot start " TDS_SANDBOX_PATH ": " + SystemError(execError));
    }
    return pid;
}

} // namespace

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

    FPid = StartServer(args, FLogPath);

    static const QRegularExpression listening("listening on [^\\s:]+:(\\d+)");
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        const bool running = Running();
        const auto match = listening.match(Output());
        if (match.hasMatch()) {
            FPort = match.captured(1).toInt();
            return;
        }
        if (!running)
            break;
        WaitForEnd(20);
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

bool TSandboxServer::Running()
{
    if (FPid < 0)
        return false;
    pid_t reaped = 0;
    do
        reaped = ::waitpid(pid_t(FPid), nullptr, WNOHANG);
    while (reaped < 0 && errno == EINTR);
    if (reaped == 0)
        return true;
    FPid = -1;  // ended and reaped (or, ECHILD, reaped by someone else)
    return false;
}

bool TSandboxServer::WaitForEnd(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (Running()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

void TSandboxServer::Stop()
{
    if (Running()) {
        ::kill(pid_t(FPid), SIGTERM);
        if (!WaitForEnd(5000)) {
            ::kill(pid_t(FPid), SIGKILL);
            WaitForEnd(5000);
        }
    }
    FTempDir.reset();
}
