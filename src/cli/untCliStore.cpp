// orvexa-cli databases, check and list, and the store helpers of every command.
#include "untCliStore.h"

#include "untCliCommon.h"
#include "untCliTerminal.h"
#include "untDBListFile.h"

#include <QtGlobal>


TMsgAnswer TStderrMessageBox::Show(const QString& text, const QString& caption, TMsgIcon, TMsgButtons buttons)
{
    WriteErr(caption + QStringLiteral(": ") + text + QLatin1Char('\n'));
    if (buttons & Answer)
        return Answer;
    return buttons.testFlag(TMsgButton::OK) ? TMsgButton::OK : TMsgButton::None;
}

bool OpenStore(TdmMain& dm)
{
    try {
        dm.DataModuleCreate();
        return true;
    } catch (const EOrvexaError& e) {
        WriteErr(e.Message() + QLatin1Char('\n'));
        return false;
    }
}

QString PasswordFor(const QString& userName)
{
    if (qEnvironmentVariableIsSet("ORVEXA_PASSWORD"))
        return qEnvironmentVariable("ORVEXA_PASSWORD");
    QString password;
    if (ReadPassword(QStringLiteral("Password for %1: ").arg(userName), password))
        return password;
    throw EOrvexaError(QStringLiteral("No password for login '%1': set ORVEXA_PASSWORD or run on a terminal.")
                           .arg(userName));
}

TInstanceInfo InstanceFromOptions(const QCommandLineParser& parser, const QCommandLineOption& instance,
                                  const QCommandLineOption& user)
{
    TInstanceInfo info;
    info.InstanceName = parser.value(instance).trimmed();
    if (info.InstanceName.isEmpty())
        throw ECliUsage(QStringLiteral("--instance NAME is required"));
    info.NT = !parser.isSet(user);
    if (!info.NT) {
        info.UserName = parser.value(user);
        info.UserPWD = PasswordFor(info.UserName);
    }
    return info;
}

namespace {

struct TInstanceOptions {
    QCommandLineOption Instance{QStringLiteral("instance"),
                                QStringLiteral("The server instance, as host, host\\instance or host,port."),
                                QStringLiteral("NAME")};
    QCommandLineOption User{QStringLiteral("user"),
                            QStringLiteral("SQL Server login; the password comes from ORVEXA_PASSWORD or is asked "
                                           "on the terminal. Without it: Windows authentication."),
                            QStringLiteral("NAME")};
};


// The command line of a command that talks to one instance. False when help
// was shown.
bool ParseInstanceCommand(QCommandLineParser& parser, const TInstanceOptions& o, const QString& command,
                          const QString& description, const QStringList& args)
{
    parser.addOption(o.Instance);
    parser.addOption(o.User);
    if (!ParseCommandLine(parser, command, description, args))
        return false;
    if (!parser.positionalArguments().isEmpty())
        throw ECliUsage(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    return true;
}

} // namespace

int CmdDatabases(const QStringList& args)
{
    QCommandLineParser parser;
    const TInstanceOptions o;
    if (!ParseInstanceCommand(parser, o, QStringLiteral("databases"),
                              QStringLiteral("Lists the databases that the login can use on the instance, one a "
                                             "line (exec sp_MShasdbaccess)."),
                              args))
        return exitOK;
    TStderrMessageBox messages;
    TdmMain dm(&messages);
    try {
        const TInstanceInfo info = InstanceFromOptions(parser, o.Instance, o.User);
        QString names = dm.GetDBListOfInstance(info);
        if (names.endsWith(QLatin1Char('|')))
            names.chop(1);
        if (!names.isEmpty())
            WriteOut(names.split(QLatin1Char('|')).join(QLatin1Char('\n')) + QLatin1Char('\n'));
        return exitOK;
    } catch (const EOrvexaError& e) {
        WriteErr(e.Message() + QLatin1Char('\n'));
        return exitFail;
    }
}

int CmdCheck(const QStringList& args)
{
    QCommandLineParser parser;
    const TInstanceOptions o;
    if (!ParseInstanceCommand(parser, o, QStringLiteral("check"),
                              QStringLiteral("Tests whether the instance accepts a connection with these "
                                             "credentials."),
                              args))
        return exitOK;
    TdmMain dm;
    try {
        const TInstanceInfo info = InstanceFromOptions(parser, o.Instance, o.User);
        QString error;
        if (dm.ValidateConnInfo(info, error)) {
            WriteOut(QStringLiteral("Connection to %1 succeeded.\n").arg(info.InstanceName));
            return exitOK;
        }
        WriteErr(error + QLatin1Char('\n'));
        return exitFail;
    } catch (const EOrvexaError& e) {
        WriteErr(e.Message() + QLatin1Char('\n'));
        return exitFail;
    }
}

int CmdList(const QStringList& args)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("ACTION"),
                                 QStringLiteral("show: the stored databases, instance TAB database a line. "
                                                "import FILE: replace the stored list with an exchange file's. "
                                                "export FILE: write the stored list (XML for .xml, else binary). "
                                                "clear: delete the stored list."),
                                 QStringLiteral("show|import FILE|export FILE|clear"));
    if (!ParseCommandLine(parser, QStringLiteral("list"),
                          QStringLiteral("Shows, imports, exports or clears the stored database list, the one the "
                                         "desktop application keeps."),
                          args))
        return exitOK;
    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        throw ECliUsage(QStringLiteral("say show, import, export or clear"));
    const QString action = words.first();
    const bool takesFile = action == QLatin1String("import") || action == QLatin1String("export");
    if (!takesFile && action != QLatin1String("show") && action != QLatin1String("clear"))
        throw ECliUsage(QStringLiteral("unknown action '%1': say show, import, export or clear").arg(action));
    if (takesFile && words.size() < 2)
        throw ECliUsage(QStringLiteral("%1 needs a FILE").arg(action));
    const qsizetype expected = takesFile ? 2 : 1;
    if (words.size() > expected)
        throw ECliUsage(QStringLiteral("unexpected argument '%1'").arg(words[expected]));

    TStderrMessageBox messages;
    TdmMain dm(&messages);
    if (!OpenStore(dm))
        return exitFail;
    try {
        if (action == QLatin1String("show")) {
            QString text;
            for (const TInstanceAndDBInfo& db : dm.GetDBList())
                text += db.InstanceName + QLatin1Char('\t') + db.DatabaseName + QLatin1Char('\n');
            WriteOut(text);
        } else if (action == QLatin1String("clear")) {
            dm.ClearDBList();
        } else if (action == QLatin1String("export")) {
            dm.ExportDBList(words[1]);
        } else if (!dm.ImportDBList(words[1])) {
            return exitFail;
        }
        return exitOK;
    } catch (const EOrvexaError& e) {
        WriteErr(e.Message() + QLatin1Char('\n'));
        return exitFail;
    }
}
