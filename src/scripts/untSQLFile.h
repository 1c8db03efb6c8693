// One script file of a run: read in its detected encoding and cut into batches
// at lines that read GO alone.
#pragma once

#include "untEncodingDetector.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

// Owned by the execution thread, one per script file; used on that thread only.
// The decoded text is held once; batches and lines are spans into it, so a
// large file costs its text and a few bytes per line.
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
    qsizetype BatchLineCount(qsizetype batch) const { return FBatches[size_t(batch)].Count; }
    // A line of a batch exactly as read (blanks kept). Valid while this object lives.
    QStringView BatchLine(qsizetype batch, qsizetype line) const;
    QStringList BatchLines(qsizetype batch) const;
    // The text sent to the server: each line followed by CR LF.
    QString BatchText(qsizetype batch) const;

private:
    struct TSpan {
        qsizetype Start;
        qsizetype Count;
    };

    void DecodeFile(TEncodingDetector::TEncoding encoding);
    void SplitText(qsizetype from);
    void AddLine(qsizetype start, qsizetype end);

    QString FSQLName;
    TEncodingDetector::TEncoding FEncoding = TEncodingDetector::TEncoding::None;
    QString FText;
    std::vector<TSpan> FLines;    // Start/Count in characters of FText
    std::vector<TSpan> FBatches;  // Start/Count in entries of FLines
    TSpan FCurrent{0, 0};
};
