// One script file of a run: read in its detected encoding and cut into batches
// at lines that read GO alone.
#pragma once

#include "untEncodingDetector.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

// Owned by the execution thread, one per script file; used on that thread only.
// The decoded text is held once and a batch is a range of it (the lines of a
// batch are contiguous in the file), so a large file costs its text and a few
// bytes per batch.
class TSQLFile {
public:
    // Stores the path; touches no file.
    explicit TSQLFile(QString ASQLName);

    // The path exactly as given.
    const QString& SQLName() const { return FSQLName; }

    // Reads and splits the file. A missing or unreadable file throws the
    // detector's error and leaves the batches as they were. A second call
    // appends a second set of batches.
    void SplitSQL();

    // Some line starts with "USE " / "GO " (after trimming and upper-casing).
    bool UseDBWarn = false;
    bool GoNWarn = false;

    // The encoding the file was decoded with (after SplitSQL).
    TEncodingDetector::TEncoding Encoding() const { return FEncoding; }

    // The batches in file order: n separator lines give n + 1 batches, which
    // may be empty or hold only blank lines.
    qsizetype BatchCount() const { return qsizetype(FBatches.size()); }
    qsizetype BatchLineCount(qsizetype batch) const { return FBatches[size_t(batch)].Lines; }
    // The lines of a batch exactly as read (blanks kept).
    QStringList BatchLines(qsizetype batch) const;
    // The text sent to the server: each line followed by CR LF.
    QString BatchText(qsizetype batch) const;

private:
    // Characters Start..End of FText, holding Lines lines (the last one
    // without its line break). A batch without lines has Lines == 0.
    struct TBatch {
        qsizetype Start;
        qsizetype End;
        qsizetype Lines;
    };

    void DecodeFile(TEncodingDetector::TEncoding encoding);
    void SplitText(qsizetype from);
    void AddLine(qsizetype start, qsizetype end, qsizetype next);
    // Calls f(line) for every line of a batch, in order.
    template <typename F> void ForEachLine(qsizetype batch, F f) const;

    QString FSQLName;
    TEncodingDetector::TEncoding FEncoding = TEncodingDetector::TEncoding::None;
    QString FText;
    std::vector<TBatch> FBatches;
    TBatch FCurrent{0, 0, 0};
};
