// File access shared by the encoding detector and the script splitter.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Opens a script file for reading. Throws "File:<path> does not exist." when
// there is no such file, and the platform's error text naming the file when it
// cannot be opened.
void OpenScriptFile(QFile& file, const QString& fileName);

// The whole file as bytes, with the errors of OpenScriptFile and read errors.
QByteArray ReadWholeScriptFile(const QString& fileName);

// A read error of an open script file, naming the file.
[[noreturn]] void ThrowScriptReadError(const QFile& file, const QString& fileName);
