#include "untCliCommon.h"

#include <QCoreApplication>

#include <cstdio>

bool ParseCommandLine(QCommandLineParser& parser, const QString& command, const QString& description,
                      const QStringList& args)
{
    parser.setApplicationDescription(description);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    parser.addOption(help);
    // args starts with the command name, where the parser wants the program.
    QStringList withProgram = args;
    withProgram[0] = QStringLiteral("orvexa-cli");
    if (!parser.parse(withProgram))
        throw ECliUsage(parser.errorText());
    if (parser.isSet(help)) {
        // Qt names the program by the path it was started with; show the
        // command as it is typed instead.
        QString text = parser.helpText();
        const QString usage = QStringLiteral("Usage: ");
        const qsizetype end = text.indexOf(QLatin1Char(' '), usage.size());
        if (text.startsWith(usage) && end > 0)
            text.replace(usage.size(), end - usage.size(), QStringLiteral("orvexa-cli ") + command);
        WriteOut(text);
        return false;
    }
    return true;
}

void WriteOut(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void WriteErr(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
