#include "untCliOutput.h"

#include "untCommon.h"
#include "untCsvWriter.h"
#include "untExcelUtils.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <utility>

namespace {

[[noreturn]] void ThrowWriteError(const QString& path, const QString& reason)
{
    throw EOrvexaError(QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), reason));
}

void WriteAll(QIODevice& out, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    if (out.write(bytes) != bytes.size())
        throw EOrvexaError(out.errorString());
}

} // namespace

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
    for (const QString& stale :
         dir.entryList({QStringLiteral("Result*.csv"), QStringLiteral("*ExportResult*.xlsx")}, QDir::Files))
        dir.remove(stale);
    FInstanceName = instanceName;
    FDatabaseName = databaseName;
    FWorkbook = ExportFileName(FDatabaseDir + QLatin1Char('/'), databaseName);
    FPending.clear();

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
    QString name;
    if (FFormat == TOutputFormat::Xlsx) {
        name = QFileInfo(FWorkbook).fileName() + QStringLiteral(".xlsx");
        FPending.append(QVariant::fromValue(result));
    } else {
        name = QStringLiteral("Result%1.csv").arg(k);
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
    }

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
    QJsonObject entry{
        {QStringLiteral("file"), name},
        {QStringLiteral("rows"), result.RowCount()},
        {QStringLiteral("columns"), columns},
    };
    if (FFormat == TOutputFormat::Xlsx)
        entry.insert(QStringLiteral("sheet"), QStringLiteral("Result%1").arg(k));
    FResults.append(entry);
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

namespace {

// The messages ExportToExcel shows when it cannot start become the error.
class TExportMessages : public TMessageBox {
public:
    QString Text;
    TMsgAnswer Show(const QString& text, const QString&, TMsgIcon, TMsgButtons) override
    {
        Text = text;
        return TMsgButton::OK;
    }
};

} // namespace

void TRunOutput::WriteWorkbook()
{
    const TVariantArr data = std::exchange(FPending, TVariantArr());
    if (data.isEmpty())
        return;
    TExportMessages messages;
    if (!ExportToExcel(FWorkbook, FInstanceName, FDatabaseName, data, -1, messages))
        ThrowWriteError(FWorkbook + QStringLiteral(".xlsx"), messages.Text);
}

void TRunOutput::Finish()
{
    WriteWorkbook();
    if (FMessages.isOpen())
        FMessages.close();
}
