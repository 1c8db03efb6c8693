// One script file of a run: read in its detected encoding and cut into batches
// at lines that read GO alone.
#pragma once

#include "untEncodingDetector.h"
#include "untScriptIO.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstddef>

// Owned by the execution thread, one per script file; used on that thread only.
// The file is read once; its decoded text is held once and a batch is a range
// of it (the lines of a batch are contiguous in the file), so a large file
// costs its text and a few bytes per batch. The bytes are let go as they are
// decoded.
class TSQLFile {
public:
    // Stores the path; touches no file.
    explicit TSQLFile(QString ASQLName);

    // The path exactly as given.
    const QString& SQLName() const { return FSQLName; }

    // Reads the file once and splits it. Throws EOrvexaError, leaving the
    // batches and flags as they were: the errors of ReadScriptFile (missing,
    // unreadable or changing file, "Not enough memory to read <path>"), and
    // "File <path> holds a NUL character at line <n>; it may be in another
    // encoding." when the decoded text holds a character of code zero. A
    // second call appends a second set of batches.
    void SplitSQL();

    // Detects, decodes and splits bytes as SplitSQL does a file's content;
    // the path names the file in messages only.
    void SplitSQLData(QByteArrayView bytes);

    // Some line starts with "USE " / "GO " (after trimming and upper-casing).
    bool UseDBWarn = false;
    bool GoNWarn = false;

    // The encoding the file was decoded with (after SplitSQL).
    TEncodingDetector::TEncoding Encoding() const { return FEncoding; }

    // The batches in file order: n separator lines give n + 1 batches, which
    // may be empty or hold only blank lines.
    qsizetype BatchCount() const { return qsizetype(FBatches.Size()); }
    qsizetype BatchLineCount(qsizetype batch) const { return FBatches[size_t(batch)].Lines; }
    // The lines of a batch exactly as read (blanks kept).
    QStringList BatchLines(qsizetype batch) const;
    // The text sent to the server: each line followed by CR LF.
    QString BatchText(qsizetype batch) const;
    // Calls f(QStringView line) for every line of a batch, in order; the views
    // stay valid while the object lives and is not split again.
    template <typename F> void ForEachLine(qsizetype batch, F f) const;

private:
    // Characters Start..End of FText, holding Lines lines (the last one
    // without its line break). A batch without lines has Lines == 0.
    struct TBatch {
        qsizetype Start;
        qsizetype End;
        qsizetype Lines;
    };

    // Decodes bytes (owned: its pages go back as they are decoded) and splits.
    void Split(const char* data, std::size_t size, TPageArray<char>* owned);
    void Decode(const char* data, std::size_t size, TPageArray<char>* owned);
    void SplitText(qsizetype from);
    void AddLine(qsizetype start, qsizetype end, qsizetype next);
    QStringView Text(qsizetype start, qsizetype end) const
    {
        return QStringView(FText.Data() + start, end - start);
    }

    QString FSQLName;
    TEncodingDetector::TEncoding FEncoding = TEncodingDetector::TEncoding::None;
    TPageArray<char16_t> FText;
    TPageArray<TBatch> FBatches;
    TBatch FCurrent{0, 0, 0};
    qsizetype FLineCount = 0;
};

template <typename F> void TSQLFile::ForEachLine(qsizetype batch, F f) const
{
    const TBatch& b = FBatches[size_t(batch)];
    const char16_t* text = FText.Data();
    qsizetype lineStart = b.Start;
    for (qsizetype line = 0; line < b.Lines; ++line) {
        qsizetype i = lineStart;
        while (i < b.End && text[i] != u'\n' && text[i] != u'\r')
            ++i;
        f(Text(lineStart, i));
        if (i < b.End && text[i] == u'\r' && i + 1 < b.End && text[i + 1] == u'\n')
            ++i;
        lineStart = i + 1;
    }
}
