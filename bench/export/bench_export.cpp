// Writes ROWS records x 10 columns of mixed kinds to a workbook with
// ExportToExcel and prints key=value lines: seconds, the process's peak
// memory, and how far the export raised it above the data it was given.
// The values are the ones bench/export/openpyxl_write.py writes.
//   bench_export ROWS DIR
#include "ProcessMemory.h"
#include "untExcelUtils.h"
#include "untResultTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_export ROWS DIR\n");
        return 2;
    }
    const qint64 rows = QByteArray(argv[1]).toLongLong();
    const QString dir = QString::fromLocal8Bit(argv[2]);

    TResultTable table;
    table.DefineColumns({
        {QStringLiteral("id"), ftInteger},
        {QStringLiteral("big"), ftLargeint},
        {QStringLiteral("name"), ftWideString, 40},
        {QStringLiteral("amount"), ftBCD, 2, 18},
        {QStringLiteral("stamp"), ftDateTime},
        {QStringLiteral("ratio"), ftFloat},
        {QStringLiteral("code"), ftString, 8},
        {QStringLiteral("flag"), ftSmallint, 0, 0, true},
        {QStringLiteral("day"), ftDate},
        {QStringLiteral("note"), ftWideString, 100},
    });
    const TTicks stamp0 = TicksFromParts(2020, 1, 1, 0, 0, 0, 0);
    const TTicks day0 = TicksFromParts(2000, 1, 1, 0, 0, 0, 0);
    for (qint64 r = 0; r < rows; ++r) {
        table.AppendInteger(r + 1);
        table.AppendInteger(r * 1000003);
        table.AppendText(QStringLiteral("name-%1").arg(r));
        table.AppendDecimal(QByteArray::number(r * 7 % 100000) + '.' + QByteArray::number(r % 100).rightJustified(2, '0'));
        table.AppendTicks(stamp0 + r * TicksPerSecond);
        table.AppendFloat(double(r) / 7.0);
        table.AppendText(QString::number(r * 13 % 100000000).rightJustified(8, QLatin1Char('0')));
        table.AppendInteger(r % 2);
        table.AppendTicks(day0 + (r % 10000) * TicksPerDay);
        if (r % 10 == 0)
            table.AppendNull();
        else
            table.AppendText(QStringLiteral("a note of some length, number %1").arg(r));
        table.Post();
    }
    const TVariantArr data{QVariant::fromValue(table.Snapshot())};
    table.Close();

    const qint64 before = StatusKb("VmRSS:");
    ResetPeak();
    TRecordingMessageBox messages;
    const QString base = dir + QStringLiteral("/BenchExportResult");
    QElapsedTimer timer;
    timer.start();
    const bool ok = ExportToExcel(base, QStringLiteral("SRV1"), QStringLiteral("Bench"), data, -1, messages);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 peak = StatusKb("VmHWM:");
    if (!ok)
        return 1;
    std::printf("rows=%lld\nseconds=%.3f\npeak_mb=%.1f\ngrowth_mb=%.1f\nfile_mb=%.1f\n", (long long)rows, seconds,
                peak / 1024.0, (peak - before) / 1024.0,
                QFileInfo(base + QStringLiteral(".xlsx")).size() / (1024.0 * 1024.0));
    return 0;
}
