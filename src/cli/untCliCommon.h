// Pieces shared by the commands of orvexa-cli: usage errors, output, the
// command table.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <functional>

// Exit codes of every command.
enum TCliExit : int { exitOK = 0, exitFail = 1, exitUsage = 2, exitInterrupted = 130 };

// A usage error: one line naming what is wrong; main() adds where --help is.
class ECliUsage {
public:
    explicit ECliUsage(QString message) : FMessage(std::move(message)) {}
    const QString& Message() const { return FMessage; }

private:
    QString FMessage;
};

// One command: its name, a one-line summary and the function that runs it
// with the arguments after the command name.
struct TCliCommand {
    const char* Name;
    const char* Summary;
    std::function<int(const QStringList& args)> Run;
};

// Parses args (the command name first) with the standard --help option added.
// Prints help and returns false when --help was given; throws ECliUsage for
// unknown options or missing values.
bool ParseCommandLine(QCommandLineParser& parser, const QString& command, const QString& description,
                      const QStringList& args);

// Writes text to stdout / stderr as UTF-8, unbuffered by Qt.
void WriteOut(const QString& text);
void WriteErr(const QString& text);

int CmdSplit(const QStringList& args);
int CmdRun(const QStringList& args);
int CmdDatabases(const QStringList& args);
int CmdCheck(const QStringList& args);
int CmdList(const QStringList& args);
