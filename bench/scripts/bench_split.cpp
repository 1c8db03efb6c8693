// Splitting throughput and peak memory for one large script file.
//   bench_split generate utf8|ansi PATH MEGABYTES   writes a test script
//   bench_split split PATH                          splits it and reports
//   bench_split command PATH PROGRAM ARGS...        runs a program (its output
//       thrown away) and reports its time and peak memory against PATH's size
// Run each split in a process of its own so that its peak memory is its own.
#include "untSQLFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

int Generate(const char* kind, const char* path, long megabytes)
{
    const bool ansi = std::strcmp(kind, "ansi") == 0;
    QFile out(QString::fromLocal8Bit(path));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    const qint64 target = qint64(megabytes) * 1000 * 1000;
    // About 100 bytes a batch: an update, a short select and a separator, with
    // a few characters outside ASCII in the file's own encoding.
    const QByteArray accent = ansi ? QByteArray("\xE9\x80") : QByteArray("\xC3\xA9\xE2\x82\xAC");
    QByteArray block;
    qint64 written = 0;
    for (long i = 0; written < target; ++i) {
        block += "UPDATE dbo.T SET name = N'caf" + accent + "' WHERE id = " + QByteArray::number(qlonglong(i)) + ";\r\n";
        block += "  select count(*) from dbo.T\r\nGO\r\n";
        if (block.size() > 1 << 20) {
            written += out.write(block);
            block.clear();
        }
    }
    out.write(block);
    return 0;
}

long PeakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Split(const char* path)
{
    const QString name = QString::fromLocal8Bit(path);
    const double megabytes = double(QFileInfo(name).size()) / 1e6;
    QElapsedTimer timer;
    timer.start();
    TSQLFile file(name);
    file.SplitSQL();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const double peakMB = double(PeakRssKiB()) * 1024 / 1e6;
    std::printf("%-8s %8.1f MB  %9lld batches  %7.1f MB/s (target >= 300)  peak %7.1f MB = %.2f x file (target <= 3)\n",
                TEncodingDetector::Name(file.Encoding()).toLatin1().constData(), megabytes,
                static_cast<long long>(file.BatchCount()), megabytes / seconds, peakMB, peakMB / megabytes);
    return 0;
}

// Peak memory of a whole program, such as orvexa-cli split, which must not
// hold its output in memory.
int Command(const char* path, char** argv)
{
    const double megabytes = double(QFileInfo(QString::fromLocal8Bit(path)).size()) / 1e6;
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const double peakMB = double(usage.ru_maxrss) * 1024 / 1e6;
    std::printf("%-8s %8.1f MB  %7.1f MB/s  peak %7.1f MB = %.2f x file (target <= 3)  exit %d\n", "command", megabytes,
                megabytes / seconds, peakMB, peakMB / megabytes, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "generate") == 0)
        return Generate(argv[2], argv[3], std::atol(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "split") == 0)
        return Split(argv[2]);
    if (argc >= 4 && std::strcmp(argv[1], "command") == 0)
        return Command(argv[2], argv + 3);
    std::fprintf(stderr, "usage: bench_split generate utf8|ansi PATH MEGABYTES | split PATH | command PATH PROGRAM ARGS...\n");
    return 2;
}
