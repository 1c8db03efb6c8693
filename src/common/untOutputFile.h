// A file that appears under its name whole or not at all.
//
// The bytes go to a temporary file beside the target, written without a
// buffer so that every write reports its own failure (a full disk, a quota).
// Commit() checks that every write succeeded, syncs the file to the disk,
// closes it and renames it over the target, checking each step; only then
// does the target change. A file that fails, or that is dropped without
// Commit(), is removed, and the target keeps what it held before.
//
// This is what QSaveFile promises, but Qt 6.4's QSaveFile::commit() renames a
// file whose buffered bytes could not be written (an empty file then stands
// under the target's name), and reports "Unknown error" after a failed
// unbuffered write.
//
// Failures throw EOrvexaError "Cannot write <target>: <the system's reason>",
// for example "No space left on device".
//
// One thread at a time; any thread.
#pragma once

#include "untCommon.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>

class TOutputFile {
public:
    // Creates the temporary file; throws when it cannot.
    explicit TOutputFile(QString path);
    // Removes the temporary file unless Commit() succeeded.
    ~TOutputFile();
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;

    // The target's path.
    const QString& Path() const { return FPath; }

    // For writers that take a device (WriteCsv): a write either takes all its
    // bytes or returns -1 with the system's reason as the device's
    // errorString(), and Commit() then fails with it.
    QIODevice& Device() { return FDevice; }

    // Appends the bytes; throws when they cannot all be written.
    void Write(QByteArrayView bytes);

    // Syncs, closes and renames the file into place. Throws on the first step
    // that fails, or when a write failed before; the target is then as it was.
    void Commit();

    // Throws "Cannot write <target>: <reason>".
    [[noreturn]] void Fail(const QString& reason) const;

private:
    // Writes through to the temporary file until every byte is written or
    // the system refuses one (a short write is no error to QFile).
    class TDevice : public QIODevice {
    public:
        explicit TDevice(TOutputFile& owner) : FOwner(owner) {}

    protected:
        qint64 readData(char*, qint64) override { return -1; }
        qint64 writeData(const char* data, qint64 size) override;

    private:
        TOutputFile& FOwner;
    };

    // False with FReason set when the bytes could not all be written.
    bool WriteThrough(const char* data, qint64 size);
    void Discard() noexcept;

    QString FPath;
    QFile FFile;  // the temporary file
    TDevice FDevice{*this};
    QString FReason;  // why a write failed; empty while all is well
    bool FCommitted = false;
};
