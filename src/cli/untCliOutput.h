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
// Every file is written whole or not at all (untOutputFile.h): a file whose
// write fails never stands under its name, and messages.txt is put in place
// when its database is done. After a failure the output is broken: the call
// that failed throws "Cannot write <file>: <reason>", later calls throw, and
// Finish() puts nothing more in place.
// Used on the execution thread only, from the runner's receiver.
#pragma once

#include "untCommon.h"
#include "untResultTable.h"

#include <QFile>
#include <QJsonArray>
#include <QString>
#include <QStringList>

#include <memory>

class TOutputFile;

enum class TOutputFormat { Csv, Xlsx };

class TRunOutput {
public:
    explicit TRunOutput(QString dir, TOutputFormat format = TOutputFormat::Csv);
    ~TRunOutput();

    // Each throws EOrvexaError naming the file that could not be written.
    void NewDatabase(const QString& instanceName, const QString& databaseName);
    void AddMessages(const QStringList& lines);
    void AddResult(const TResultSnapshot& result);
    // Ends the current database: writes its workbook (xlsx) and closes its
    // files.
    void Finish();

private:
    QString FilePath(const QString& name) const;
    template <typename F> void Guarded(F f);
    void StartDatabase(const QString& instanceName, const QString& databaseName);
    void WriteResult(const TResultSnapshot& result);
    void WriteResultsJson();
    void WriteWorkbook();

    QString FDir;
    const TOutputFormat FFormat;
    QString FDatabaseDir;
    int FDatabase = 0;
    std::unique_ptr<TOutputFile> FMessages;  // until the database is done
    bool FBroken = false;
    QJsonArray FResults;
    // xlsx: the database's result sets until its workbook is written.
    QString FInstanceName;
    QString FDatabaseName;
    QString FWorkbook;  // full path without extension
    TVariantArr FPending;
};
