#pragma once
// TSandboxServer: starts a private tds-sandbox process for one test or benchmark
// and stops it again. The server listens on a free port of 127.0.0.1 chosen by the
// system, keeps its databases in DataDir and ends with the object.
//
// Not thread-safe: one owner, usually one test body. The constructor blocks until
// the sandbox reports "listening on" (or fails and throws std::runtime_error).

#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;

class TSandboxServer {
public:
    struct TOptions {
        QString DataDir;        // empty: a temporary folder of its own, removed on Stop
        QStringList Logins;     // "user:password"; empty: the default sa login
        int LatencyMs = 0;
        QStringList ExtraArgs;
    };
    static const char* const DefaultUser;      // "sa"
    static const char* const DefaultPassword;  // "Sandbox-2026"

    TSandboxServer();                          // default options
    explicit TSandboxServer(TOptions options);
    ~TSandboxServer();
    TSandboxServer(const TSandboxServer&) = delete;
    TSandboxServer& operator=(const TSandboxServer&) = delete;

    QString Host() const;        // "127.0.0.1"
    int Port() const;
    QString Instance() const;    // "127.0.0.1,<port>", as a DBA types a server name
    QString DataDir() const;
    // Everything the sandbox wrote to stdout and stderr so far (for failure reports).
    // It is kept in a file of its own until the object goes.
    QString Output() const;
    void Stop();                 // SIGTERM, wait, SIGKILL after a grace period

private:
    bool Running();                      // reaps the server once it has ended
    bool WaitForEnd(int milliseconds);   // false: still running after that time

    long FPid = -1;                      // the server's process, -1 once reaped
    std::unique_ptr<QTemporaryDir> FTempDir;
    std::unique_ptr<QTemporaryDir> FLogDir;
    QString FDataDir;
    QString FLogPath;
    int FPort = 0;
};
