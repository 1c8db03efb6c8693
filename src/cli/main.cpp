// orvexa-cli: the headless runner. Runs the scripts of a run on databases
// without a window, and reads and writes the same local store as the desktop
// application.
#include "untCliCommon.h"

#include <QCoreApplication>

namespace {

const TCliCommand Commands[] = {
    {"run", "Run script files on databases.", CmdRun},
    {"split", "Show how script files are decoded and cut into batches, as JSON.", CmdSplit},
    {"databases", "List the databases a login can use on an instance.", CmdDatabases},
    {"check", "Test the connection to an instance.", CmdCheck},
    {"list", "Show, import, export or clear the stored database list.", CmdList},
};

QString Overview()
{
    QString text = QStringLiteral("Usage: orvexa-cli <command> [options]\n\nCommands:\n");
    for (const TCliCommand& c : Commands)
        text += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(c.Name), -11).arg(QString::fromLatin1(c.Summary));
    text += QStringLiteral("\n'orvexa-cli <command> --help' describes a command.\n");
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvexa-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVEXA_VERSION));

    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    if (args.isEmpty()) {
        WriteErr(QStringLiteral("orvexa-cli: no command given; see 'orvexa-cli --help'\n"));
        return exitUsage;
    }
    const QString name = args.first();
    if (name == QLatin1String("--help") || name == QLatin1String("-h") || name == QLatin1String("help")) {
        WriteOut(Overview());
        return exitOK;
    }
    if (name == QLatin1String("--version")) {
        WriteOut(QStringLiteral("orvexa-cli %1\n").arg(QCoreApplication::applicationVersion()));
        return exitOK;
    }
    for (const TCliCommand& c : Commands) {
        if (name != QLatin1String(c.Name))
            continue;
        try {
            return c.Run(args);
        } catch (const ECliUsage& e) {
            WriteErr(QStringLiteral("orvexa-cli %1: %2; see 'orvexa-cli %1 --help'\n").arg(name, e.Message()));
            return exitUsage;
        }
    }
    WriteErr(QStringLiteral("orvexa-cli: unknown command '%1'; see 'orvexa-cli --help'\n").arg(name));
    return exitUsage;
}
