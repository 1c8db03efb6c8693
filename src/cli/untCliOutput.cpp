#include "untCliOutput.h"

#include "untCommon.h"
#include "untCsvWriter.h"
#include "untExcelUtils.h"
#include "untOutputFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

namespace {

[[noreturn]] void ThrowWriteError(const QString& path, const QString& reason)
{
    throw EOrvexaError(QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), reason));
}

// Writes a whole small file, or fails leaving the name as it was.
void WriteWholeFile(const QString& path, const QByteArray& bytes)
{
    TOutputFile file(path);
    file.Write(bytes);
    file.Commit();
}

} // namespace

TRunOutput::TRunOutput(QString dir, TOutputFormat format) : FDir(std::move(dir)), FFormat(format)
{
}

TRunOutput::~TRunOutput() = default;

template <typename F> void TRunOutput::Guarded(F f)
{
    if (FBroken)
        throw EOrvexaError(QStringLiteral("The output folder %1 could not be written.").arg(QDir::toNativeSeparators(FDir)));
    try {
        f();
    } catch (...) {
        // Whatever this database's files still hold is not the whole of it.
        FBroken = true;
        FMessages.reset();
        FPending.clear();
        throw;
    }
}

QString TRunOutput::FilePath(const QString& name) const
{
    return FDatabaseDir + QLatin1Char('/') + name;
}

void TRunOutput::NewDatabase(const QString& instanceName, const QString& databaseName)
{
    Finish();
    Guarded([&] { StartDatabase(instanceName, databaseName); });
}

void TRunOutput::StartDatabase(const QString& instanceName, const QString& databaseName)
{
    ++FDatabase;
    FDatabaseDir = FDir + QLatin1Char('/') + QString::number(FDatabase);
    QDir dir(FDatabaseDir);
    if (!dir.mkpath(QStringLiteral(".")))
        ThrowWriteError(FDatabaseDir, QStringLiteral("the folder cannot be created"));
    // Files an earlier run left here would read as this run's results.
    for (const QString& stale : dir.entryList({QStringLiteral("Result*.csv"), QStringLiteral("*ExportResult*.xlsx"),
                                               QStringLiteral("messages.txt")},
                                              QDir::Files))
        dir.remove(stale);
    FInstanceName = instanceName;
    FDatabaseName = databaseName;
    FWorkbook = ExportFileName(FDatabaseDir + QLatin1Char('/'), databaseName);
    FPending.clear();

    WriteWholeFile(FilePath(QStringLiteral("target.txt")),
                   (instanceName + QLatin1Char('\n') + databaseName + QLatin1Char('\n')).toUtf8());

    // In place when the database is done (Finish).
    FMessages = std::make_unique<TOutputFile>(FilePath(QStringLiteral("messages.txt")));
    FResults = QJsonArray();
    WriteResultsJson();
}

void TRunOutput::AddMessages(const QStringList& lines)
{
    if (!FMessages)
        return;
    QString text;
    for (const QString& line : lines)
        text += line + QLatin1Char('\n');
    Guarded([&] { FMessages->Write(text.toUtf8()); });
}

void TRunOutput::AddResult(const TResultSnapshot& result)
{
    if (FDatabaseDir.isEmpty())
        return;
    Guarded([&] { WriteResult(result); });
}

void TRunOutput::WriteResult(const TResultSnapshot& result)
{
    const int k = int(FResults.size()) + 1;
    QString name;
    if (FFormat == TOutputFormat::Xlsx) {
        name = QFileInfo(FWorkbook).fileName() + QStringLiteral(".xlsx");
        FPending.append(QVariant::fromValue(result));
    } else {
        name = QStringLiteral("Result%1.csv").arg(k);
        TOutputFile csv(FilePath(name));
        try {
            WriteCsv(result, csv.Device());
        } catch (const EOrvexaError& e) {
            csv.Fail(e.Message());
        }
        csv.Commit();
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
    WriteWholeFile(FilePath(QStringLiteral("results.json")),
                   QJsonDocument(QJsonObject{{QStringLiteral("results"), FResults}}).toJson(QJsonDocument::Indented));
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
    // After a failure nothing more is put in place: the run has failed.
    if (FBroken)
        return;
    Guarded([&] {
        // The messages are whole even when the workbook then fails.
        if (FMessages) {
            FMessages->Commit();
            FMessages.reset();
        }
        WriteWorkbook();
    });
}
