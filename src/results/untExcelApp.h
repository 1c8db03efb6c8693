// The spreadsheet application the export drives: the handful of automation
// calls it makes on Excel (Version, Visible, WorkBooks.Add, WorkSheets.Add,
// Name, Cells, WorkSheets(name).Delete, SaveAs, Close, Quit), carried out by
// libxlsxwriter, which writes .xlsx files itself, without Excel.
//
// How it differs from Excel, and why:
// - The writer streams: every sheet keeps only its current row in memory and
//   sends finished rows to a temporary file (in DefaultFilePath, unlinked at
//   once). So rows are written top to bottom (a cell above the current row
//   is an error), a sheet is named before its first cell, and the sheets of
//   the file stand in the order of their first cell. WorkSheets.Add adds the
//   new sheet after the last one; the "Sheet1" of a new workbook, if nobody
//   deletes it, is saved after all the others.
// - Cells take typed values: text, numbers and date-times, each with an
//   optional number format, or stay empty.
// - SaveAs writes the file under a temporary name in the target folder and
//   renames it at the end: a failure (a full disk, say) never leaves a file
//   under the requested name. Only the current format (51, .xlsx) is written.
//
// Not thread-safe: one application object and its workbooks belong to one
// thread, any thread.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringEncoder>
#include <QStringView>

#include <memory>
#include <vector>

struct lxw_workbook;
struct lxw_worksheet;
struct lxw_format;

// Excel's constants, under Excel's names.
constexpr int xlWBATWorksheet = -4167;   // template of a workbook of one sheet
constexpr int xlOpenXMLWorkbook = 51;    // .xlsx
constexpr int xlWorkbookNormal = -4143;  // .xls, Excel 97-2003
constexpr int ExcelMaxRows = 1048576;    // rows of a sheet, title row included
constexpr int ExcelMaxColumns = 16384;
constexpr int ExcelMaxTextLength = 32767; // characters of a cell's text

class TExcelWorkbook;

// One sheet. Rows and columns count from 1, as the spreadsheet counts them.
class TExcelWorksheet {
public:
    const QString& Name() const { return FName; }
    // Renames the sheet; only before its first cell (EOrvexaError after).
    void SetName(const QString& name);

    // Cells: each call writes one cell of the current row or of a row below
    // it. Throw EOrvexaError for a row above the current one or outside the
    // sheet. numFormat is an Excel number format ("0.00", "yyyy-mm-dd"), or
    // empty for General.
    void SetText(int row, int column, QStringView text, bool bold = false);
    void SetNumber(int row, int column, double value, const QString& numFormat = QString());
    // A date-time as Excel's serial number (days since 1899-12-30).
    void SetDateTime(int row, int column, double serial, const QString& numFormat);

    // Keeps rows above `rows` and columns left of `columns` in view.
    void FreezePanes(int rows, int columns);

    // WorkSheets(Name).Delete: takes the sheet out of its workbook; only
    // before its first cell. The object is gone afterwards.
    void Delete();

private:
    friend class TExcelWorkbook;
    TExcelWorksheet(TExcelWorkbook& book, QString name) : FBook(book), FName(std::move(name)) {}
    lxw_worksheet* Sheet();  // creates the writer's sheet on first use
    void CheckRow(int row, int column);
    QString TempDataError(bool flush) const;
    [[noreturn]] void CellError(int error, int row, int column) const;

    TExcelWorkbook& FBook;
    QString FName;
    lxw_worksheet* FSheet = nullptr;
    int FRow = 0;  // last row written (1-based), 0 before the first
    int FFreezeRows = 0;
    int FFreezeColumns = 0;
};

class TExcelWorkbook {
public:
    ~TExcelWorkbook();

    // WorkSheets.Add: a new empty sheet after the last one, named "Sheet" and
    // the next free number; the caller usually renames it at once.
    TExcelWorksheet& AddWorksheet();
    // WorkSheets(name); EOrvexaError when there is none.
    TExcelWorksheet& Worksheet(const QString& name);
    int WorksheetCount() const { return int(FSheets.size()); }

    // Writes the workbook to fileName (with its extension) in fileFormat
    // (only xlOpenXMLWorkbook), through a temporary file in the same folder
    // renamed at the end; an existing file of that name is never replaced.
    // Throws EOrvexaError naming the file on any failure; nothing is left
    // under fileName then. The workbook is closed either way.
    void SaveAs(const QString& fileName, int fileFormat);
    // Close(SaveChanges): only false is offered; discards an unsaved
    // workbook, its temporary data included.
    void Close(bool saveChanges = false);
    bool IsOpen() const { return FBook != nullptr; }

private:
    friend class TExcelApplication;
    friend class TExcelWorksheet;
    explicit TExcelWorkbook(const QString& tempDir);
    lxw_format* Format(const QString& numFormat, bool bold);
    void Remove(TExcelWorksheet* sheet);

    lxw_workbook* FBook = nullptr;
    QByteArray FTempDir;
    std::vector<std::unique_ptr<TExcelWorksheet>> FSheets;
    QHash<QString, lxw_format*> FFormats;      // by number format
    QHash<QString, lxw_format*> FBoldFormats;  // the same, bold
    QStringEncoder FEncoder{QStringEncoder::Utf8};
    QByteArray FUtf8;
    int FNextSheetNumber = 1;
};

// The application object ("Excel.Application").
class TExcelApplication {
public:
    TExcelApplication() = default;
    ~TExcelApplication() { Quit(); }
    TExcelApplication(const TExcelApplication&) = delete;
    TExcelApplication& operator=(const TExcelApplication&) = delete;

    // The version of Excel whose file format the writer produces, as Excel
    // reports its own ("16.0": the Office Open XML workbook of Excel 2007
    // and later).
    QString Version() const;
    // The writer never shows a window; kept for the call's sake.
    void SetVisible(bool visible) { FVisible = visible; }
    bool Visible() const { return FVisible; }
    // The folder for the writer's temporary data; the system's temporary
    // folder when empty. Set it before WorkBooks.Add.
    void SetDefaultFilePath(const QString& dir) { FDefaultFilePath = dir; }

    // WorkBooks.Add(template): only xlWBATWorksheet, a workbook holding one
    // empty sheet named "Sheet1".
    TExcelWorkbook& AddWorkbook(int templateKind = xlWBATWorksheet);

    // Closes every open workbook unsaved.
    void Quit();

private:
    bool FVisible = true;
    QString FDefaultFilePath;
    std::vector<std::unique_ptr<TExcelWorkbook>> FBooks;
};
