// This process's memory as Linux reports it, for the memory checks of tests
// and benchmarks.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

// A "Key:" line of /proc/self/status in KiB (VmRSS: now, VmHWM: the peak);
// 0 where there is no such file.
inline qint64 StatusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// Starts the peak (VmHWM) afresh from the present size.
inline void ResetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}
