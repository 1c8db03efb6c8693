// The files a run leaves in its output folder: for the n-th database of the
// run (1-based, in run order) a folder <dir>/<n>/ with
//   target.txt     the instance and the database, one a line
//   messages.txt   the lines of that database's message tab
//   Result<k>.csv  its k-th result set (RFC 4180: a header of column names,
//                  CR LF line ends, NULL as an empty unquoted field, empty
//                  text as "")
//   results.json   each result set's columns with name, kind, size and
//                  precision as the result table holds them, and its row count
// Used on the execution thread only, from the runner's receiver.
#pragma once

#include "untResultTable.h"

#include <QFile>
#include <QJsonArray>
#include <QString>
#include <QStringList>

class TRunOutput {
public:
    explicit TRunOutput(QString dir) : FDir(std::move(dir)) {}

    // Each throws EOrvexaError naming the file that could not be written.
    void NewDatabase(const QString& instanceName, const QString& databaseName);
    void AddMessages(const QStringList& lines);
    void AddResult(const TResultSnapshot& result);
    void Finish();

    // One result set as CSV, to any device (tests and the export use it too).
    static void WriteCsv(const TResultView& result, QIODevice& out);

private:
    QString FilePath(const QString& name) const;
    void WriteResultsJson();

    QString FDir;
    QString FDatabaseDir;
    int FDatabase = 0;
    QFile FMessages;
    QJsonArray FResults;
};
