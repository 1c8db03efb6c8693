// The spreadsheet export: result sets written to a workbook, one sheet per
// result set, and the choice of a writable destination folder.
//
// Nothing here touches a widget: message boxes go through a TMessageBox and
// the folder dialog through a callback, so the desktop, orvexa-cli and tests
// share this code, and the export may run on any thread (the desktop runs it
// on a worker and passes a message box that shows its boxes on the GUI
// thread; see untExportProgress.h).
#pragma once

#include "untCommon.h"
#include "untMessageBox.h"

#include <QDateTime>
#include <QString>

#include <functional>

// Progress of an export: rows written so far of all rows of the call. Return
// false to cancel; the export then ends with UserCancelException and leaves
// no file.
using TExportProgress = std::function<bool(qint64 rowsDone, qint64 rowsTotal)>;

// Writes Data to the workbook FileName + ".xlsx" (FileName: full path without
// extension).
// - Data: result snapshots (QVariant of TResultSnapshot), none of them null.
// - TabIndex: -1 for a database's results, the sheets named Result1, Result2,
//   ... by position; else the index of the one exported tab (Data then holds
//   one element), the sheet named "Result" and that index.
// - Every sheet: row 1 "Instance", "Database" and the column names, in bold
//   and kept in view; then one row per record, starting with InstanceName
//   and DBName. Cells take their column's kind: integers, floats, and
//   decimals of at most 15 significant digits are numbers; longer integers
//   and decimals are text, so that no digit is lost; date-time kinds are
//   dates (yyyy-mm-dd hh:mm:ss; dates alone yyyy-mm-dd, times alone
//   hh:mm:ss) from 1900-01-01 on and text before; texts, GUIDs and binaries
//   (0x...) are text, cut at Excel's 32,767 characters; Null is an empty
//   cell.
// - A result set longer than a sheet (1,048,575 records below the title
//   row) goes on over "Result1 (2)", "Result1 (3)", ..., each with the title
//   row again.
// Returns true when the workbook was saved. Returns false when the export did
// not start, after showing the reason through Messages ("The parameter is
// conflict.", "There is no Excel installed in this computer."). Any other
// failure throws EOrvexaError naming the file, UserCancelException when
// Progress cancelled; no file is left under the final name then.
bool ExportToExcel(const QString& FileName, const QString& InstanceName, const QString& DBName,
                   const TVariantArr& Data, int TabIndex, TMessageBox& Messages,
                   const TExportProgress& Progress = {});

// The workbook name for a database's export, without extension:
// SaveDestDir + DBName + "ExportResult" + GetTimeStamp(When). Characters that
// no file name may hold (/ \ : * ? " < > | and control characters) become
// '_', so that a database name never points outside SaveDestDir. When a
// workbook of that name exists already (the same database name on another
// instance, exported within the same time stamp), " (2)", " (3)", ... is
// added, so that no export replaces another.
QString ExportFileName(const QString& SaveDestDir, const QString& DBName,
                       const QDateTime& When = QDateTime::currentDateTime());

// One database's share of "Export All Results".
struct TExportSource {
    QString InstanceName;
    QString DBName;
    TVariantArr Data;  // as GetCurrentDBDataArr gives it: element 0 null when there are no results
};

// Exports every source that has results, in list order, each to its own
// workbook ExportFileName(SaveDestDir, DBName) named when its turn comes,
// with ExportToExcel(..., -1). Sources without results are skipped; after
// the first false no further source is exported. Progress covers the rows
// of all sources. Returns true when every export returned true (also when
// none had results); errors pass on as ExportToExcel raises them.
bool ExportDatabases(const QList<TExportSource>& Sources, const QString& SaveDestDir, TMessageBox& Messages,
                     const TExportProgress& Progress = {});

// Asks for a folder: ChooseFolder(caption, startDir) shows the folder dialog
// and returns the chosen folder, or empty when cancelled.
using TFolderChooser = std::function<QString(const QString& caption, const QString& startDir)>;

// Asks for the destination folder ("Select a directory", starting in
// SaveDestDir) until the user picks a writable one (each unwritable one is
// answered with "This directory is not writable, please select another one.")
// or cancels. A folder counts as writable when an empty "velmoratest.txt"
// can be created in it (and removed again). On success SaveDestDir becomes
// the folder with a trailing '/' and the result is true; after a cancel it is
// unchanged and the result false.
bool SelectDestDir(QString& SaveDestDir, TMessageBox& Messages, const TFolderChooser& ChooseFolder);
