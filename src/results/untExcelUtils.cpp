#include "untExcelUtils.h"

#include "untExcelApp.h"
#include "untResultTable.h"
#include "untThread.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryFile>

#include <cmath>
#include <memory>
#include <vector>

namespace {

const QString CaptionError = QStringLiteral("Error");

// How a column's values go into cells.
enum class TCellKind { Integer, Float, Decimal, DateTime, Date, Time, Text, Display };

TCellKind CellKind(TFieldType type)
{
    switch (type) {
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftLargeint: return TCellKind::Integer;
    case ftFloat: return TCellKind::Float;
    case ftBCD:
    case ftFMTBcd: return TCellKind::Decimal;
    case ftDateTime: return TCellKind::DateTime;
    case ftDate: return TCellKind::Date;
    case ftTime: return TCellKind::Time;
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftMemo:
    case ftWideMemo:
    case ftGuid:
    case ftVariant: return TCellKind::Text;
    default: return TCellKind::Display;  // binaries as 0x..., anything else as the grid shows it
    }
}

// Excel keeps 15 significant digits: a number with more would be rounded
// (and shown as 1.23457E+15), so such values are written as text.
constexpr int ExcelDigits = 15;
constexpr qint64 ExcelExactInteger = 999999999999999;  // 15 nines

// Significant digits of a plain decimal text ("-0012.3400" has 4).
int SignificantDigits(QStringView text)
{
    qsizetype first = -1;
    qsizetype last = -1;
    const qsizetype point = text.indexOf(QLatin1Char('.'));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isDigit() && c != QLatin1Char('0')) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    if (first < 0)
        return 1;  // zero
    // Zeros between the first digit and the point count; zeros after the
    // last non-zero digit of the fraction do not.
    if (point >= 0 && last < point)
        last = point - 1;
    if (point < 0)
        last = text.size() - 1;
    int digits = 0;
    for (qsizetype i = first; i <= last; ++i)
        if (text[i].isDigit())
            ++digits;
    return digits;
}

// Excel's serial date: days since 1899-12-30, counting the 29 February 1900
// that Excel believes in; dates before 1900-01-01 have none.
constexpr double NoSerial = -1;
const qint64 ExcelEpochDays = QDate(1899, 12, 30).toJulianDay() - QDate(1, 1, 1).toJulianDay();
const qint64 ExcelMarch1900Days = QDate(1900, 3, 1).toJulianDay() - QDate(1, 1, 1).toJulianDay();
const qint64 Excel1900Days = QDate(1900, 1, 1).toJulianDay() - QDate(1, 1, 1).toJulianDay();

double ExcelSerial(TTicks ticks)
{
    const qint64 days = ticks / TicksPerDay;
    const double fraction = double(ticks % TicksPerDay) / double(TicksPerDay);
    if (days < Excel1900Days)
        return NoSerial;
    qint64 serial = days - ExcelEpochDays;
    if (days < ExcelMarch1900Days)
        serial -= 1;
    return double(serial) + fraction;
}

QString DecimalFormat(int scale)
{
    scale = qBound(0, scale, 30);
    return scale == 0 ? QStringLiteral("0") : QStringLiteral("0.") + QString(scale, QLatin1Char('0'));
}

const QString FormatInteger = QStringLiteral("0");
const QString FormatDateTime = QStringLiteral("yyyy-mm-dd hh:mm:ss");
const QString FormatDate = QStringLiteral("yyyy-mm-dd");
const QString FormatTime = QStringLiteral("hh:mm:ss");

// Writes the cells of one value, typed by its column.
void WriteValue(TExcelWorksheet& sheet, int row, int column, const TResultView& data, qint64 r, int c,
                TCellKind kind, const QString& decimalFormat)
{
    if (data.IsNull(r, c))
        return;  // an empty cell
    switch (kind) {
    case TCellKind::Integer: {
        const qint64 v = data.AsInteger(r, c);
        if (v >= -ExcelExactInteger && v <= ExcelExactInteger)
            sheet.SetNumber(row, column, double(v), FormatInteger);
        else
            sheet.SetText(row, column, QString::number(v));
        return;
    }
    case TCellKind::Float: {
        const double v = data.AsFloat(r, c);
        if (std::isfinite(v))
            sheet.SetNumber(row, column, v);
        else
            sheet.SetText(row, column, data.DisplayText(r, c));
        return;
    }
    case TCellKind::Decimal: {
        const QString text = data.AsDecimalText(r, c);
        if (SignificantDigits(text) <= ExcelDigits)
            sheet.SetNumber(row, column, text.toLatin1().toDouble(), decimalFormat);
        else
            sheet.SetText(row, column, text);
        return;
    }
    case TCellKind::DateTime:
    case TCellKind::Date:
    case TCellKind::Time: {
        const TTicks ticks = data.AsTicks(r, c);
        const double serial = kind == TCellKind::Time ? double(ticks) / double(TicksPerDay) : ExcelSerial(ticks);
        if (serial == NoSerial)
            sheet.SetText(row, column, data.DisplayText(r, c));
        else
            sheet.SetDateTime(row, column, serial,
                              kind == TCellKind::DateTime ? FormatDateTime
                              : kind == TCellKind::Date   ? FormatDate
                                                          : FormatTime);
        return;
    }
    case TCellKind::Text: sheet.SetText(row, column, data.AsText(r, c)); return;
    case TCellKind::Display: {
        const QString text = data.DisplayText(r, c);
        if (!text.isEmpty())
            sheet.SetText(row, column, text);
        return;
    }
    }
}

// Rows written and to write over one export, and the caller's progress.
class TRowCounter {
public:
    TRowCounter(const TExportProgress& progress, qint64 total) : FProgress(progress), FTotal(total) {}

    void Step()
    {
        if (++FDone % 4096 == 0)
            Report();
    }
    void Report()
    {
        if (FProgress && !FProgress(FDone, FTotal))
            throw UserCancelException();
    }

private:
    const TExportProgress& FProgress;
    const qint64 FTotal;
    qint64 FDone = 0;
};

void WriteTitleRow(TExcelWorksheet& sheet, const TResultView& data)
{
    sheet.FreezePanes(1, 0);
    sheet.SetText(1, 1, QStringLiteral("Instance"), true);
    sheet.SetText(1, 2, QStringLiteral("Database"), true);
    for (int c = 0; c < data.ColumnCount(); ++c)
        sheet.SetText(1, c + 3, data.Column(c).Name, true);
}

// One result set on the sheet `first`, and on continuation sheets named
// "<name> (2)", "<name> (3)", ... when it has more records than a sheet
// holds.
void WriteResult(TExcelWorkbook& book, TExcelWorksheet& first, const TResultView& data,
                 const QString& InstanceName, const QString& DBName, TRowCounter& counter)
{
    const int columns = data.ColumnCount();
    if (columns + 2 > ExcelMaxColumns)
        throw EOrvexaError(QStringLiteral("The result set of the sheet %1 has %2 columns; a sheet holds %3.")
                               .arg(first.Name())
                               .arg(columns)
                               .arg(ExcelMaxColumns - 2));
    std::vector<TCellKind> kinds;
    std::vector<QString> decimalFormats;
    for (int c = 0; c < columns; ++c) {
        kinds.push_back(CellKind(data.Column(c).Type));
        decimalFormats.push_back(DecimalFormat(data.Column(c).Size));
    }

    constexpr qint64 recordsPerSheet = ExcelMaxRows - 1;
    TExcelWorksheet* sheet = &first;
    WriteTitleRow(*sheet, data);
    const qint64 rows = data.RowCount();
    int row = 1;
    for (qint64 r = 0; r < rows; ++r) {
        if (r > 0 && r % recordsPerSheet == 0) {
            sheet = &book.AddWorksheet();
            sheet->SetName(QStringLiteral("%1 (%2)").arg(first.Name()).arg(r / recordsPerSheet + 1));
            WriteTitleRow(*sheet, data);
            row = 1;
        }
        ++row;
        sheet->SetText(row, 1, InstanceName);
        sheet->SetText(row, 2, DBName);
        for (int c = 0; c < columns; ++c)
            WriteValue(*sheet, row, c + 3, data, r, c, kinds[size_t(c)], decimalFormats[size_t(c)]);
        counter.Step();
    }
}

bool IsFileNameChar(QChar c)
{
    static const QString forbidden = QStringLiteral("/\\:*?\"<>|");
    return c.unicode() >= 0x20 && !forbidden.contains(c);
}

} // namespace

bool ExportToExcel(const QString& FileName, const QString& InstanceName, const QString& DBName,
                   const TVariantArr& Data, int TabIndex, TMessageBox& Messages, const TExportProgress& Progress)
{
    if (TabIndex != -1 && Data.size() > 1) {
        Messages.Show(QStringLiteral("The parameter is conflict."), CaptionError, TMsgIcon::Error, TMsgButton::OK);
        return false;
    }

    std::unique_ptr<TExcelApplication> ExcelApp;
    QString Version;
    try {
        ExcelApp = std::make_unique<TExcelApplication>();
        Version = ExcelApp->Version();
    } catch (const std::exception&) {
        Messages.Show(QStringLiteral("There is no Excel installed in this computer."), CaptionError, TMsgIcon::Error,
                      TMsgButton::OK);
        return false;
    }
    // From here on the application quits whatever happens: ExcelApp's
    // destructor closes what is still open, unsaved.

    if (Data.isEmpty())
        throw EOrvexaError(QStringLiteral("There is no result set to export."));
    std::vector<TResultSnapshot> snapshots;
    qint64 total = 0;
    for (qsizetype i = 0; i < Data.size(); ++i) {
        if (!Data[i].canConvert<TResultSnapshot>() || Data[i].value<TResultSnapshot>().IsNullSnapshot())
            throw EOrvexaError(QStringLiteral("Element %1 of the export data holds no result set.").arg(i));
        snapshots.push_back(Data[i].value<TResultSnapshot>());
        total += snapshots.back().RowCount();
    }
    TRowCounter counter(Progress, total);
    counter.Report();

    ExcelApp->SetVisible(false);
    // The writer's temporary data goes beside the file: the destination has
    // to hold the file anyway, and the system's temporary folder may live in
    // memory.
    ExcelApp->SetDefaultFilePath(QFileInfo(FileName).absolutePath());
    TExcelWorkbook& WorkBook = ExcelApp->AddWorkbook(xlWBATWorksheet);

    bool versionOk = false;
    const double version = QLocale::c().toDouble(Version.trimmed(), &versionOk);
    const QString target = FileName + (versionOk && version < 12 ? QStringLiteral(".xls") : QStringLiteral(".xlsx"));

    // The writer streams each sheet to disk as it is filled, so sheets are
    // made in their final order, first to last.
    try {
        for (size_t i = 0; i < snapshots.size(); ++i) {
            TExcelWorksheet& Sheet = WorkBook.AddWorksheet();
            Sheet.SetName(QStringLiteral("Result%1").arg(TabIndex == -1 ? qsizetype(i) + 1 : qsizetype(TabIndex)));
            WriteResult(WorkBook, Sheet, snapshots[i], InstanceName, DBName, counter);
        }
    } catch (const UserCancelException&) {
        throw;
    } catch (const EOrvexaError& e) {
        throw EOrvexaError(QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(target), e.Message()));
    }
    counter.Report();

    WorkBook.Worksheet(QStringLiteral("Sheet1")).Delete();

    try {
        if (!versionOk)
            throw EOrvexaError(QStringLiteral("The spreadsheet version \"%1\" is not a number.").arg(Version));
        if (version < 12)
            WorkBook.SaveAs(FileName + QStringLiteral(".xls"), xlWorkbookNormal);
        else
            WorkBook.SaveAs(FileName + QStringLiteral(".xlsx"), xlOpenXMLWorkbook);
    } catch (...) {
        WorkBook.Close(false);
        throw;
    }
    ExcelApp->Quit();
    return true;
}

QString ExportFileName(const QString& SaveDestDir, const QString& DBName, const QDateTime& When)
{
    QString name = DBName;
    for (QChar& c : name)
        if (!IsFileNameChar(c))
            c = QLatin1Char('_');
    const QString base = SaveDestDir + name + QStringLiteral("ExportResult") + GetTimeStamp(When);
    QString fileName = base;
    for (int n = 2; QFileInfo::exists(fileName + QStringLiteral(".xlsx")) || QFileInfo::exists(fileName + QStringLiteral(".xls"));
         ++n)
        fileName = base + QStringLiteral(" (%1)").arg(n);
    return fileName;
}

namespace {

bool HasResults(const TVariantArr& data)
{
    return !data.isEmpty() && data[0].canConvert<TResultSnapshot>()
        && !data[0].value<TResultSnapshot>().IsNullSnapshot();
}

} // namespace

bool ExportDatabases(const QList<TExportSource>& Sources, const QString& SaveDestDir, TMessageBox& Messages,
                     const TExportProgress& Progress)
{
    qint64 total = 0;
    for (const TExportSource& source : Sources)
        if (HasResults(source.Data))
            for (const QVariant& v : source.Data)
                total += v.value<TResultSnapshot>().RowCount();
    qint64 before = 0;
    bool ok = true;
    for (const TExportSource& source : Sources) {
        if (!HasResults(source.Data))
            continue;
        if (!ok)
            break;
        const TExportProgress progress = [&](qint64 done, qint64) {
            return !Progress || Progress(before + done, total);
        };
        ok = ExportToExcel(ExportFileName(SaveDestDir, source.DBName), source.InstanceName, source.DBName,
                           source.Data, -1, Messages, progress);
        for (const QVariant& v : source.Data)
            before += v.value<TResultSnapshot>().RowCount();
    }
    return ok;
}

namespace {

// Creates an empty "velmoratest.txt" in dir and removes it again. A file of
// that name that is already there belongs to someone else: it is left alone
// and a file of a name of its own is tried instead.
void TestWritable(const QString& dir)
{
    const QString path = dir + QStringLiteral("velmoratest.txt");
    if (QFileInfo::exists(path)) {
        QTemporaryFile probe(dir + QStringLiteral("velmoratest.XXXXXX.txt"));
        if (!probe.open())
            throw EOrvexaError(QStringLiteral("Can not create file."));
        return;
    }
    QFile file(path);
    const bool opened = file.open(QIODevice::WriteOnly);
    file.close();
    if (!opened || !QFileInfo::exists(path))
        throw EOrvexaError(QStringLiteral("Can not create file."));
    if (!QFile::remove(path))
        throw EOrvexaError(QStringLiteral("Can not delete file."));
}

} // namespace

bool SelectDestDir(QString& SaveDestDir, TMessageBox& Messages, const TFolderChooser& ChooseFolder)
{
    for (;;) {
        QString dir = ChooseFolder(QStringLiteral("Select a directory"), SaveDestDir);
        if (dir.isEmpty())
            return false;
        if (!dir.endsWith(QLatin1Char('/')) && !dir.endsWith(QDir::separator()))
            dir += QLatin1Char('/');
        try {
            TestWritable(dir);
        } catch (const EOrvexaError&) {
            Messages.Show(QStringLiteral("This directory is not writable, please select another one."), CaptionError,
                          TMsgIcon::Error, TMsgButton::OK);
            continue;
        }
        SaveDestDir = dir;
        return true;
    }
}
