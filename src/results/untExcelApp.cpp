#include "untExcelApp.h"

#include "untCommon.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <xlsxwriter.h>

#ifdef __linux__
#include <fcntl.h>
#include <stdio.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

[[noreturn]] void Fail(const QString& message)
{
    throw EOrvexaError(message);
}

QString WriterError(lxw_error error)
{
    return QString::fromUtf8(lxw_strerror(error));
}

void Check(lxw_error error, const QString& what)
{
    if (error != LXW_NO_ERROR)
        Fail(QStringLiteral("%1: %2").arg(what, WriterError(error)));
}

// Gives the finished file its name, never replacing a file of that name (a
// workbook exported a moment earlier under the same time stamp, or anyone
// else's): empty on success, else the reason.
QString RenameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
#ifdef __linux__
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return QString();
    if (errno == EEXIST)
        return QStringLiteral("a file of that name exists");
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return QString::fromLocal8Bit(std::strerror(errno));
    // A file system without the no-replace rename: look first.
#endif
    if (QFileInfo::exists(to))
        return QStringLiteral("a file of that name exists");
    std::error_code error;
    std::filesystem::rename(source.toStdString(), target.toStdString(), error);
    return error ? QString::fromLocal8Bit(error.message()) : QString();
}

} // namespace

// --- TExcelWorksheet --------------------------------------------------------

void TExcelWorksheet::SetName(const QString& name)
{
    if (name == FName)
        return;
    if (FSheet)
        Fail(QStringLiteral("The sheet %1 cannot be renamed after its first cell.").arg(FName));
    for (const auto& other : FBook.FSheets)
        if (other.get() != this && other->FName.compare(name, Qt::CaseInsensitive) == 0)
            Fail(QStringLiteral("There is already a sheet named %1.").arg(name));
    const QByteArray utf8 = name.toUtf8();
    Check(workbook_validate_sheet_name(FBook.FBook, utf8.constData()),
          QStringLiteral("Invalid sheet name %1").arg(name));
    FName = name;
}

lxw_worksheet* TExcelWorksheet::Sheet()
{
    if (!FSheet) {
        if (!FBook.FBook)
            Fail(QStringLiteral("The workbook is closed."));
        errno = 0;
        FSheet = workbook_add_worksheet(FBook.FBook, FName.toUtf8().constData());
        if (!FSheet) {
            // Mostly the sheet's temporary file, in the writer's folder.
            const int code = errno;
            Fail(QStringLiteral("The sheet %1 cannot be added%2")
                     .arg(FName, code ? QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))
                                      : QStringLiteral(".")));
        }
        if (FFreezeRows > 0 || FFreezeColumns > 0)
            worksheet_freeze_panes(FSheet, lxw_row_t(FFreezeRows), lxw_col_t(FFreezeColumns));
    }
    return FSheet;
}

void TExcelWorksheet::CheckRow(int row, int column)
{
    if (row < 1 || row > ExcelMaxRows || column < 1 || column > ExcelMaxColumns)
        Fail(QStringLiteral("The cell (%1, %2) is outside the sheet %3.").arg(row).arg(column).arg(FName));
    if (row < FRow)
        Fail(QStringLiteral("The cell (%1, %2) of the sheet %3 lies above rows already written.")
                 .arg(row)
                 .arg(column)
                 .arg(FName));
    // Every so many rows: has the disk taken what was written so far?
    if (row != FRow && row % 16384 == 0) {
        const QString reason = TempDataError(false);
        if (!reason.isEmpty())
            Fail(reason);
    }
    FRow = row;
}

void TExcelWorksheet::CellError(int error, int row, int column) const
{
    Fail(QStringLiteral("Cell (%1, %2) of the sheet %3: %4")
             .arg(row)
             .arg(column)
             .arg(FName, WriterError(lxw_error(error))));
}

void TExcelWorksheet::SetText(int row, int column, QStringView text, bool bold)
{
    CheckRow(row, column);
    // A cell holds at most 32,767 characters; a longer text keeps its
    // beginning (never half of a surrogate pair).
    if (text.size() > ExcelMaxTextLength) {
        qsizetype cut = ExcelMaxTextLength;
        if (text[cut - 1].isHighSurrogate())
            --cut;
        text = text.left(cut);
    }
    // One buffer for the UTF-8 of every cell of the workbook.
    QByteArray& utf8 = FBook.FUtf8;
    utf8.resize(FBook.FEncoder.requiredSpace(text.size()) + 1);
    char* end = FBook.FEncoder.appendToBuffer(utf8.data(), text);
    *end = '\0';
    const lxw_error error = worksheet_write_string(Sheet(), lxw_row_t(row - 1), lxw_col_t(column - 1), utf8.constData(),
                                                   bold ? FBook.Format(QString(), true) : nullptr);
    if (error != LXW_NO_ERROR)
        CellError(error, row, column);
}

void TExcelWorksheet::SetNumber(int row, int column, double value, const QString& numFormat)
{
    CheckRow(row, column);
    const lxw_error error = worksheet_write_number(Sheet(), lxw_row_t(row - 1), lxw_col_t(column - 1), value,
                                                   numFormat.isEmpty() ? nullptr : FBook.Format(numFormat, false));
    if (error != LXW_NO_ERROR)
        CellError(error, row, column);
}

void TExcelWorksheet::SetDateTime(int row, int column, double serial, const QString& numFormat)
{
    SetNumber(row, column, serial, numFormat);
}

void TExcelWorksheet::FreezePanes(int rows, int columns)
{
    FFreezeRows = rows;
    FFreezeColumns = columns;
    if (FSheet)
        worksheet_freeze_panes(FSheet, lxw_row_t(rows), lxw_col_t(columns));
}

void TExcelWorksheet::Delete()
{
    if (FSheet)
        Fail(QStringLiteral("The sheet %1 cannot be deleted after its first cell.").arg(FName));
    FBook.Remove(this);
}

// --- TExcelWorkbook ---------------------------------------------------------

TExcelWorkbook::TExcelWorkbook(const QString& tempDir)
    : FTempDir(tempDir.isEmpty() ? QByteArray() : QFile::encodeName(QDir::toNativeSeparators(tempDir)))
{
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = FTempDir.isEmpty() ? nullptr : FTempDir.data();
    options.use_zip64 = LXW_TRUE;  // parts of very large sheets may pass 4 GB unpacked
    // The file name is given by SaveAs; the writer opens no file before.
    FBook = workbook_new_opt("unsaved.xlsx", &options);
    if (!FBook)
        Fail(QStringLiteral("The spreadsheet writer cannot create a workbook."));
}

TExcelWorkbook::~TExcelWorkbook()
{
    Close(false);
}

TExcelWorksheet& TExcelWorkbook::AddWorksheet()
{
    if (!FBook)
        Fail(QStringLiteral("The workbook is closed."));
    QString name;
    bool taken = true;
    while (taken) {
        name = QStringLiteral("Sheet%1").arg(FNextSheetNumber++);
        taken = false;
        for (const auto& s : FSheets)
            taken = taken || s->FName.compare(name, Qt::CaseInsensitive) == 0;
    }
    FSheets.push_back(std::unique_ptr<TExcelWorksheet>(new TExcelWorksheet(*this, name)));
    return *FSheets.back();
}

TExcelWorksheet& TExcelWorkbook::Worksheet(const QString& name)
{
    for (const auto& s : FSheets)
        if (s->FName.compare(name, Qt::CaseInsensitive) == 0)
            return *s;
    Fail(QStringLiteral("There is no sheet named %1.").arg(name));
}

void TExcelWorkbook::Remove(TExcelWorksheet* sheet)
{
    for (auto it = FSheets.begin(); it != FSheets.end(); ++it)
        if (it->get() == sheet) {
            FSheets.erase(it);
            return;
        }
}

lxw_format* TExcelWorkbook::Format(const QString& numFormat, bool bold)
{
    lxw_format*& format = (bold ? FBoldFormats : FFormats)[numFormat];
    if (format)
        return format;
    format = workbook_add_format(FBook);
    if (!format)
        Fail(QStringLiteral("The spreadsheet writer cannot add a cell format."));
    if (bold)
        format_set_bold(format);
    if (!numFormat.isEmpty())
        format_set_num_format(format, numFormat.toUtf8().constData());
    return format;
}

// The writer keeps each sheet's finished rows in a temporary file and does
// not look at the outcome of those writes: a disk that filled up meanwhile
// is found here. Empty when all went well, else the reason.
QString TExcelWorksheet::TempDataError(bool flush) const
{
    if (!FSheet)
        return QString();
    for (FILE* f : {FSheet->file, FSheet->optimize_tmpfile}) {
        if (!f)
            continue;
        errno = 0;
        if ((flush && std::fflush(f) != 0) || std::ferror(f)) {
            const int code = errno;
            return QStringLiteral("%1 (temporary data of the sheet %2 in %3)")
                .arg(code ? QString::fromLocal8Bit(std::strerror(code)) : QStringLiteral("write error"), FName,
                     FBook.FTempDir.isEmpty() ? QDir::toNativeSeparators(QDir::tempPath())
                                              : QFile::decodeName(FBook.FTempDir));
        }
    }
    return QString();
}

void TExcelWorkbook::SaveAs(const QString& fileName, int fileFormat)
{
    if (!FBook)
        Fail(QStringLiteral("The workbook is closed."));
    const QString nativeName = QDir::toNativeSeparators(fileName);
    if (fileFormat != xlOpenXMLWorkbook) {
        Close(false);
        Fail(QStringLiteral("Cannot write %1: only the Excel workbook format (.xlsx) can be written.").arg(nativeName));
    }

    // Sheets that never received a cell still belong to the file.
    for (const auto& s : FSheets)
        s->Sheet();
    for (const auto& s : FSheets) {
        const QString reason = s->TempDataError(true);
        if (!reason.isEmpty()) {
            Close(false);
            Fail(QStringLiteral("Cannot write %1: %2").arg(nativeName, reason));
        }
    }

    // The file is assembled under a name of its own beside the target and
    // takes the target's name only when complete.
    const QFileInfo target(fileName);
    QTemporaryFile reserve(target.absolutePath() + QLatin1Char('/') + target.fileName()
                           + QStringLiteral(".XXXXXX.part"));
    reserve.setAutoRemove(false);
    if (!reserve.open()) {
        const QString reason = reserve.errorString();
        Close(false);
        Fail(QStringLiteral("Cannot write %1: %2").arg(nativeName, reason));
    }
    const QString temp = reserve.fileName();
    reserve.close();

    std::free(FBook->filename);
    FBook->filename = lxw_strdup(QFile::encodeName(temp).constData());
    errno = 0;
    const lxw_error error = workbook_close(FBook);  // frees the workbook, also on error
    const int code = errno;
    FBook = nullptr;
    FSheets.clear();
    FFormats.clear();
    FBoldFormats.clear();
    if (error != LXW_NO_ERROR) {
        QFile::remove(temp);
        QString reason = WriterError(error);
        if (code != 0)
            reason += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(std::strerror(code)));
        Fail(QStringLiteral("Cannot write %1: %2").arg(nativeName, reason));
    }
    const QString renameError = RenameNoReplace(temp, fileName);
    if (!renameError.isEmpty()) {
        QFile::remove(temp);
        Fail(QStringLiteral("Cannot write %1: %2").arg(nativeName, renameError));
    }
}

void TExcelWorkbook::Close(bool saveChanges)
{
    Q_UNUSED(saveChanges);
    // The writer frees a workbook without closing the sheets' temporary
    // files (already unlinked): closing them gives their space back.
    for (const auto& s : FSheets) {
        if (!s->FSheet)
            continue;
        FILE* tmp = s->FSheet->optimize_tmpfile;
        if (s->FSheet->file && s->FSheet->file != tmp)
            std::fclose(s->FSheet->file);
        if (tmp)
            std::fclose(tmp);
        s->FSheet->file = nullptr;
        s->FSheet->optimize_tmpfile = nullptr;
    }
    FSheets.clear();
    FFormats.clear();
    FBoldFormats.clear();
    if (FBook) {
        lxw_workbook_free(FBook);
        FBook = nullptr;
    }
}

// --- TExcelApplication ------------------------------------------------------

QString TExcelApplication::Version() const
{
    return QStringLiteral("16.0");
}

TExcelWorkbook& TExcelApplication::AddWorkbook(int templateKind)
{
    if (templateKind != xlWBATWorksheet)
        Fail(QStringLiteral("Only a workbook of one worksheet can be added."));
    auto book = std::unique_ptr<TExcelWorkbook>(new TExcelWorkbook(FDefaultFilePath));
    book->AddWorksheet();  // "Sheet1"
    FBooks.push_back(std::move(book));
    return *FBooks.back();
}

void TExcelApplication::Quit()
{
    FBooks.clear();
}
