#include "untCliOutput.h"

#include "untCommon.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

[[noreturn]] void ThrowWriteError(const QString& path, const QString& reason)
{
    throw EOrvexaError(QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), reason));
}

// A value quoted when it holds a separator, a quote or a line break, or is
// empty: only a NULL is an empty unquoted field. (Of all kinds only text can
// show empty without being NULL.)
void AppendCsvField(QString& line, const QString& value)
{
    const bool quote = value.isEmpty() || value.contains(QLatin1Char(','))
                    || value.contains(QLatin1Char('"')) || value.contains(QLatin1Char('\r'))
                    || value.contains(QLatin1Char('\n'));
    if (!quote) {
        line += value;
        return;
    }
    line += QLatin1Char('"');
    for (const QChar c : value) {
        if (c == QLatin1Char('"'))
            line += QLatin1Char('"');
        line += c;
    }
    line += QLatin1Char('"');
}

void WriteAll(QIODevice& out, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    if (out.write(bytes) != bytes.size())
        throw EOrvexaError(out.errorString());
}

} // namespace

void TRunOutput::WriteCsv(const TResultView& result, QIODevice& out)
{
    const int columns = result.ColumnCount();
    QString line;
    for (int c = 0; c < columns; ++c) {
        if (c > 0)
            line += QLatin1Char(',');
        AppendCsvField(line, result.Column(c).Name);
    }
    line += QLatin1String("\r\n");
    WriteAll(out, line);

    const qint64 rows = result.RowCount();
    QString block;
    for (qint64 r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (c > 0)
                block += QLatin1Char(',');
            if (!result.IsNull(r, c))
                AppendCsvField(block, result.DisplayText(r, c));
        }
        block += QLatin1String("\r\n");
        if (block.size() > 256 * 1024) {
            WriteAll(out, block);
            block.clear();
        }
    }
    WriteAll(out, block);
}

QString TRunOutput::FilePath(const QString& name) const
{
    return FDatabaseDir + QLatin1Char('/') + name;
}

void TRunOutput::NewDatabase(const QString& instanceName, const QString& databaseName)
{
    Finish();
    ++FDatabase;
    FDatabaseDir = FDir + QLatin1Char('/') + QString::number(FDatabase);
    QDir dir(FDatabaseDir);
    if (!dir.mkpath(QStringLiteral(".")))
        ThrowWriteError(FDatabaseDir, QStringLiteral("the folder cannot be created"));
    // Files an earlier run left here would read as this run's results.
    for (const QString& stale : dir.entryList({QStringLiteral("Result*.csv")}, QDir::Files))
        dir.remove(stale);

    QSaveFile target(FilePath(QStringLiteral("target.txt")));
    if (!target.open(QIODevice::WriteOnly))
        ThrowWriteError(target.fileName(), target.errorString());
    target.write((instanceName + QLatin1Char('\n') + databaseName + QLatin1Char('\n')).toUtf8());
    if (!target.commit())
        ThrowWriteError(target.fileName(), target.errorString());

    FMessages.setFileName(FilePath(QStringLiteral("messages.txt")));
    if (!FMessages.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ThrowWriteError(FMessages.fileName(), FMessages.errorString());
    FResults = QJsonArray();
    WriteResultsJson();
}

void TRunOutput::AddMessages(const QStringList& lines)
{
    if (!FMessages.isOpen())
        return;
    QString text;
    for (const QString& line : lines)
        text += line + QLatin1Char('\n');
    try {
        WriteAll(FMessages, text);
        FMessages.flush();
    } catch (const EOrvexaError& e) {
        ThrowWriteError(FMessages.fileName(), e.Message());
    }
}

void TRunOutput::AddResult(const TResultSnapshot& result)
{
    if (FDatabaseDir.isEmpty())
        return;
    const int k = int(FResults.size()) + 1;
    const QString name = QStringLiteral("Result%1.csv").arg(k);
    QSaveFile csv(FilePath(name));
    if (!csv.open(QIODevice::WriteOnly))
        ThrowWriteError(csv.fileName(), csv.errorString());
    try {
        WriteCsv(result, csv);
    } catch (const EOrvexaError& e) {
        ThrowWriteError(csv.fileName(), e.Message());
    }
    if (!csv.commit())
        ThrowWriteError(csv.fileName(), csv.errorString());

    QJsonArray columns;
    for (int c = 0; c < result.ColumnCount(); ++c) {
        const TResultColumnDef& def = result.Column(c);
        QJsonObject column{
            {QStringLiteral("name"), def.Name},
            {QStringLiteral("kind"), QString::fromLatin1(FieldTypeName(def.Type))},
            {QStringLiteral("size"), def.Size},
            {QStringLiteral("precision"), def.Precision},
        };
        if (def.IsTruth)
            column.insert(QStringLiteral("truth"), true);
        columns.append(column);
    }
    FResults.append(QJsonObject{
        {QStringLiteral("file"), name},
        {QStringLiteral("rows"), result.RowCount()},
        {QStringLiteral("columns"), columns},
    });
    WriteResultsJson();
}

void TRunOutput::WriteResultsJson()
{
    QSaveFile json(FilePath(QStringLiteral("results.json")));
    if (!json.open(QIODevice::WriteOnly))
        ThrowWriteError(json.fileName(), json.errorString());
    json.write(QJsonDocument(QJsonObject{{QStringLiteral("results"), FResults}}).toJson(QJsonDocument::Indented));
    if (!json.commit())
        ThrowWriteError(json.fileName(), json.errorString());
}

void TRunOutput::Finish()
{
    if (FMessages.isOpen())
        FMessages.close();
}
