#include "untOutputFile.h"

#include <QDir>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

QString SystemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Replaces `to` by `from` in one step.
bool RenameOver(const QString& from, const QString& to, QString& reason)
{
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    reason = qt_error_string(int(GetLastError()));
    return false;
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    reason = SystemReason(errno);
    return false;
#endif
}

} // namespace

TOutputFile::TOutputFile(QString path) : FPath(std::move(path))
{
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0;; ++attempt) {
        QString name = FPath + QLatin1Char('.');
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(Letters[QRandomGenerator::global()->bounded(int(sizeof Letters - 1))]);
        FFile.setFileName(name);
        // Unbuffered: each write reaches the system at once and reports its
        // own failure; nothing is left to fail unseen in a later flush.
        if (FFile.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            FDevice.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
            return;
        }
        if (!QFile::exists(name) || attempt >= 100)
            Fail(FFile.errorString());
    }
}

TOutputFile::~TOutputFile()
{
    if (!FCommitted)
        Discard();
}

void TOutputFile::Fail(const QString& reason) const
{
    throw EOrvexaError(QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(FPath), reason));
}

bool TOutputFile::WriteThrough(const char* data, qint64 size)
{
    if (!FReason.isEmpty())
        return false;
    while (size > 0) {
        const qint64 written = FFile.write(data, size);
        if (written <= 0) {
            FReason = FFile.errorString();
            if (FFile.error() == QFileDevice::NoError || FReason.isEmpty())
                FReason = QStringLiteral("the system took no more bytes");
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

qint64 TOutputFile::TDevice::writeData(const char* data, qint64 size)
{
    if (FOwner.WriteThrough(data, size))
        return size;
    setErrorString(FOwner.FReason);
    return -1;
}

void TOutputFile::Write(QByteArrayView bytes)
{
    if (!WriteThrough(bytes.data(), bytes.size()))
        Fail(FReason);
}

void TOutputFile::Commit()
{
    if (FCommitted)
        return;
    // A write that failed through Device() left its reason here.
    if (!FReason.isEmpty())
        Fail(FReason);
    if (FFile.error() != QFileDevice::NoError || !FFile.isOpen())
        Fail(FFile.errorString());
    if (!FFile.flush())
        Fail(FFile.errorString());
    FFile.close();
    if (FFile.error() != QFileDevice::NoError)
        Fail(FFile.errorString());
    QString reason;
    if (!RenameOver(FFile.fileName(), FPath, reason))
        Fail(reason);
    FCommitted = true;
}

void TOutputFile::Discard() noexcept
{
    FDevice.close();
    FFile.close();
    QFile::remove(FFile.fileName());
}
