// The files a run leaves in its output folder: for the n-th database of the
// run (1-based, in run order) a folder <dir>/<n>/ with
//   target.txt     the instance and the database, one a line
//   messages.txt   the lines of that database's message tab
//   results.json   each result set's columns with name, kind, size and
//                  precision as the result table holds them, and its row count
// and the result sets, in one of two formats:
//   csv   Result<k>.csv, its k-th result set (see untCsvWriter.h)
//   xlsx  <database>ExportResult<timestamp>.xlsx, one workbook of all its
//         result sets, sheets Result1, Result2, ..., named and laid out as
//         the desktop's export writes them (untExcelUtils.h); written when
//         the run moves on to the next database or ends, and none for a
//         database without result sets
// Used on the execution thread only, from the runner's receiver.
#pragma once

#include "untCommon.h"
#include "untResultTable.h"

#include <QFile>
#include <QJsonArray>
#include <QString>
#include <QStringList>

enum class TOutputFormat { Csv, Xlsx };

class TRunOutput {
public:
    explicit TRunOutput(QString dir, TOutputFormat format = TOutputFormat::Csv)
        : FDir(std::move(dir)), FFormat(format)
    {
    }

    // Each throws EOrvexaError naming the file that could not be written.
    void NewDatabase(const QString& instanceName, const QString& databaseName);
    void AddMessages(const QStringList& lines);
    void AddResult(const TResultSnapshot& result);
    // Ends the current database: writes its workbook (xlsx) and closes its
    // files.
    void Finish();

private:
    QString FilePath(const QString& name) const;
    void WriteResultsJson();
    void WriteWorkbook();

    QString FDir;
    const TOutputFormat FFormat;
    QString FDatabaseDir;
    int FDatabase = 0;
    QFile FMessages;
    QJsonArray FResults;
    // xlsx: the database's result sets until its workbook is written.
    QString FInstanceName;
    QString FDatabaseName;
    QString FWorkbook;  // full path without extension
    TVariantArr FPending;
};
