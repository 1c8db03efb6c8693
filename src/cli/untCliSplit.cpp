// orvexa-cli split: how each script file is decoded and cut into batches.
#include "untCliCommon.h"
#include "untCommon.h"
#include "untSQLFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

int CmdSplit(const QStringList& args)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Script files, in order."),
                                 QStringLiteral("FILE..."));
    if (!ParseCommandLine(parser, QStringLiteral("split"),
                          QStringLiteral("Prints, as a JSON array with one object per file, the encoding each "
                                         "script file is read in, its USE and GO N flags and its batches, each "
                                         "batch the list of its lines exactly as kept."),
                          args))
        return exitOK;
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        throw ECliUsage(QStringLiteral("no script file given"));

    QJsonArray out;
    for (const QString& path : files) {
        TSQLFile file(path);
        try {
            file.SplitSQL();
        } catch (const EOrvexaError& e) {
            WriteErr(e.Message() + QLatin1Char('\n'));
            return exitFail;
        }
        QJsonArray batches;
        for (qsizetype i = 0; i < file.BatchCount(); ++i)
            batches.append(QJsonArray::fromStringList(file.BatchLines(i)));
        out.append(QJsonObject{
            {QStringLiteral("path"), path},
            {QStringLiteral("encoding"), TEncodingDetector::Name(file.Encoding())},
            {QStringLiteral("useDBWarn"), file.UseDBWarn},
            {QStringLiteral("goNWarn"), file.GoNWarn},
            {QStringLiteral("batches"), batches},
        });
    }
    WriteOut(QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Indented)));
    return exitOK;
}
