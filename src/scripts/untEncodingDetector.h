// Names the encoding a script file is to be decoded with, from its bytes.
#pragma once

#include <QByteArrayView>
#include <QString>

class TEncodingDetector {
public:
    enum class TEncoding { None, UTF8, UTF16LE, UTF16BE };

    // Reads the whole file once and classifies its bytes: a byte-order mark
    // first, then a UTF-8 plausibility test; None means the single-byte code
    // page (Windows-1252). Throws the errors of ReadScriptFile: "File:<path>
    // does not exist." for a missing file, and an error naming the file when
    // it cannot be read whole.
    static TEncoding GetEncoding(const QString& FileName);

    // The classification of a buffer, without the file.
    static TEncoding Classify(QByteArrayView bytes);

    // A short lower-case name: "utf-8", "utf-16le", "utf-16be" or "ansi".
    static QString Name(TEncoding encoding);

private:
    static bool LooksLikeUTF8(QByteArrayView bytes);
};
