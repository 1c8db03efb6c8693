// Runs orvexa-cli as a user would, with its own store under a temporary
// XDG_DATA_HOME, and captures what it prints.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

struct TCliResult {
    int ExitCode = -1;
    QString Out;
    QString Err;
};

class TCli {
public:
    TCli()
    {
        FEnv = QProcessEnvironment::systemEnvironment();
        FEnv.insert(QStringLiteral("XDG_DATA_HOME"), FHome.filePath(QStringLiteral("share")));
        FEnv.remove(QStringLiteral("ORVEXA_PASSWORD"));
    }

    TCliResult Run(const QStringList& args, const QByteArray& input = {}, int timeoutMs = 120000) const
    {
        QProcess p;
        p.setProcessEnvironment(FEnv);
        p.start(QStringLiteral(ORVEXA_CLI_PATH), args);
        p.waitForStarted();
        if (!input.isEmpty())
            p.write(input);
        p.closeWriteChannel();
        TCliResult r;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            r.Err = QStringLiteral("timed out");
            return r;
        }
        r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.Out = QString::fromUtf8(p.readAllStandardOutput());
        r.Err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    void SetEnv(const QString& name, const QString& value) { FEnv.insert(name, value); }
    QString Home() const { return FHome.path(); }
    QString StorePath() const { return FHome.filePath(QStringLiteral("share/Velmora/Data.db")); }

private:
    QTemporaryDir FHome;
    QProcessEnvironment FEnv;
};
