#include "untScriptIO.h"

#include "untCommon.h"

#include <QFileInfo>

void OpenScriptFile(QFile& file, const QString& fileName)
{
    if (!QFileInfo::exists(fileName))
        throw EOrvexaError(QStringLiteral("File:") + fileName + QStringLiteral(" does not exist."));
    file.setFileName(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EOrvexaError(QStringLiteral("Cannot open file %1: %2").arg(fileName, file.errorString()));
}

void ThrowScriptReadError(const QFile& file, const QString& fileName)
{
    throw EOrvexaError(QStringLiteral("Cannot read file %1: %2").arg(fileName, file.errorString()));
}

QByteArray ReadWholeScriptFile(const QString& fileName)
{
    QFile file;
    OpenScriptFile(file, fileName);
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        ThrowScriptReadError(file, fileName);
    return bytes;
}
