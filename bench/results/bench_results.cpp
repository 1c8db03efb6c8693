// Benchmark of the result grid and the result pages, run by
// bench/bench-results.sh on the offscreen platform.
//
//   1. A result of ROWS rows x 6 columns (int, bigint, nvarchar(40),
//      decimal(18,2), datetime, bit) in a TResultStringGrid and, in the same
//      run, the same texts in a QTableView over a QStandardItemModel, the way
//      a plain Qt program shows a table: time from the existing result to
//      the first painted frame, time to paint a frame after jumping to the
//      middle, to the end and to random rows, and the heap that the grid adds
//      beyond the result itself.
//   2. 2,000 result tabs on one result page, hidden and shown: time to add
//      them and heap per tab.
//
// Usage: bench_results [ROWS]  (default 1,000,000)
#include "untResultPageControl.h"
#include "untResultStringGrid.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// Bytes of heap in use (small blocks and mapped large blocks).
qint64 HeapBytes()
{
    const struct mallinfo2 mi = mallinfo2();
    return qint64(mi.uordblks) + qint64(mi.hblkhd);
}

double Ms(qint64 ns)
{
    return ns / 1e6;
}

TResultSnapshot SixColumns(qint64 rows)
{
    TResultTable table;
    table.DefineColumns({{QStringLiteral("id"), ftInteger, 0, 0, false},
                         {QStringLiteral("big"), ftLargeint, 0, 0, false},
                         {QStringLiteral("name"), ftWideString, 40, 0, false},
                         {QStringLiteral("amount"), ftBCD, 2, 18, false},
                         {QStringLiteral("stamp"), ftDateTime, 0, 0, false},
                         {QStringLiteral("flag"), ftSmallint, 0, 0, true}});
    const TTicks start = TicksFromParts(2020, 1, 1, 0, 0, 0, 0);
    QString name;
    for (qint64 i = 1; i <= rows; ++i) {
        table.AppendInteger(i);
        table.AppendInteger(i * 1000003);
        name = QStringLiteral("customer name number %1").arg(i);
        table.AppendText(name);
        if (i % 7 == 0) {
            table.AppendNull();
        } else {
            const QByteArray amount = QByteArray::number(i % 100000) + '.' + QByteArray::number(10 + i % 90);
            table.AppendDecimal(amount);
        }
        table.AppendTicks(start + i * TicksPerSecond * 61);
        table.AppendInteger(i % 2);
        table.Post();
    }
    return table.Snapshot();
}

// Figures of one grid.
struct TFigures {
    double FirstFrameMs = 0;
    double MiddleMs = 0;
    double EndMs = 0;
    double RandomMaxMs = 0;
    double RandomMedianMs = 0;
    qint64 AddedBytes = 0;
};

// Paints the whole window now, synchronously.
void PaintNow(QWidget* host)
{
    host->repaint();
}

void Jumps(QTableView* view, qint64 rows, TFigures& f)
{
    QElapsedTimer t;
    auto jumpTo = [&](int row) {
        t.start();
        view->scrollTo(view->model()->index(row, 0), QAbstractItemView::PositionAtTop);
        PaintNow(view->window());
        return t.nsecsElapsed();
    };
    f.MiddleMs = Ms(jumpTo(int(rows / 2)));
    f.EndMs = Ms(jumpTo(int(rows - 1)));
    std::vector<qint64> random;
    QRandomGenerator gen(2026);
    for (int i = 0; i < 50; ++i)
        random.push_back(jumpTo(int(gen.bounded(rows))));
    std::sort(random.begin(), random.end());
    f.RandomMaxMs = Ms(random.back());
    f.RandomMedianMs = Ms(random[random.size() / 2]);
    jumpTo(0);
}

TFigures OrvexaGrid(QWidget* host, const TResultSnapshot& data, bool jumps)
{
    TFigures f;
    const qint64 heap0 = HeapBytes();
    QElapsedTimer t;
    t.start();
    auto* grid = new TResultStringGrid(host);
    host->layout()->addWidget(grid);
    grid->FillData(data);
    grid->show();
    QCoreApplication::processEvents();
    PaintNow(host);
    f.FirstFrameMs = Ms(t.nsecsElapsed());
    f.AddedBytes = HeapBytes() - heap0;
    if (jumps)
        Jumps(grid, data.RowCount(), f);
    delete grid;
    return f;
}

TFigures ItemModelGrid(QWidget* host, const TResultSnapshot& data, bool jumps)
{
    TFigures f;
    const qint64 heap0 = HeapBytes();
    QElapsedTimer t;
    t.start();
    const int rows = int(data.RowCount());
    const int cols = data.ColumnCount();
    auto* model = new QStandardItemModel(rows, cols);
    for (int c = 0; c < cols; ++c)
        model->setHeaderData(c, Qt::Horizontal, data.Column(c).Name);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            model->setItem(r, c, new QStandardItem(data.DisplayText(r, c)));
    auto* view = new QTableView(host);
    view->setModel(model);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    host->layout()->addWidget(view);
    view->show();
    QCoreApplication::processEvents();
    PaintNow(host);
    f.FirstFrameMs = Ms(t.nsecsElapsed());
    f.AddedBytes = HeapBytes() - heap0;
    if (jumps)
        Jumps(view, rows, f);
    delete view;
    delete model;
    return f;
}

struct TTabFigures {
    double AddMs = 0;
    qint64 BytesPerTab = 0;
};

TTabFigures ManyTabs(QWidget* host, int tabs, bool shown)
{
    const TResultSnapshot small = SixColumns(3);
    auto* page = new TResultPageControl(host, host);
    host->layout()->addWidget(page);
    if (shown)
        page->show();
    QCoreApplication::processEvents();
    const qint64 heap1 = HeapBytes();
    QElapsedTimer t;
    t.start();
    for (int k = 0; k < tabs; ++k)
        page->AddResult(small);
    QCoreApplication::processEvents();
    PaintNow(host);
    TTabFigures f;
    f.AddMs = Ms(t.nsecsElapsed());
    f.BytesPerTab = (HeapBytes() - heap1) / tabs;
    delete page;
    return f;
}

void Row(const char* what, const char* unit, double orvexa, double items, const char* target)
{
    std::printf("%-34s %12.2f %12.2f %s %8.1fx   %s\n", what, orvexa, items, unit,
                orvexa > 0 ? items / orvexa : 0.0, target);
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (loadavg.open(QIODevice::ReadOnly))
        std::printf("machine load (1, 5, 15 min): %s\n",
                    loadavg.readAll().split(' ').mid(0, 3).join(", ").constData());
    const qint64 rows = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1000000;

    QWidget host;
    host.resize(1000, 700);
    auto* layout = new QVBoxLayout(&host);
    layout->setContentsMargins(0, 0, 0, 0);
    host.show();
    QCoreApplication::processEvents();

    // Warm-up: fonts, style and the window's backing store exist before any
    // figure is taken.
    const TResultSnapshot warm = SixColumns(100);
    OrvexaGrid(&host, warm, true);
    ItemModelGrid(&host, warm, true);

    QElapsedTimer t;
    t.start();
    const qint64 heapBefore = HeapBytes();
    const TResultSnapshot data = SixColumns(rows);
    const double snapshotMb = (HeapBytes() - heapBefore) / 1048576.0;
    std::printf("result: %lld rows x 6 columns, %.1f MB, built in %.0f ms (not counted)\n\n", (long long)rows,
                snapshotMb, Ms(t.nsecsElapsed()));

    const TFigures small = OrvexaGrid(&host, SixColumns(1000), false);
    // The first load meets fresh memory (the figure that counts); four more
    // find memory that the process has had before.
    const TFigures o = OrvexaGrid(&host, data, true);
    std::vector<double> again;
    for (int k = 0; k < 4; ++k)
        again.push_back(OrvexaGrid(&host, data, false).FirstFrameMs);
    std::sort(again.begin(), again.end());
    const TFigures i = ItemModelGrid(&host, data, true);

    std::printf("%-34s %12s %12s %8s   %s\n", "", "orvexa grid", "item model", "ratio", "target (orvexa)");
    Row("first frame after the result", "ms", o.FirstFrameMs, i.FirstFrameMs, "< 50 ms, >= 20x");
    Row("frame after a jump to the middle", "ms", o.MiddleMs, i.MiddleMs, "< 16 ms");
    Row("frame after a jump to the end", "ms", o.EndMs, i.EndMs, "< 16 ms");
    Row("frame after 50 random jumps, max", "ms", o.RandomMaxMs, i.RandomMaxMs, "< 16 ms");
    Row("frame after 50 random jumps, median", "ms", o.RandomMedianMs, i.RandomMedianMs, "");
    Row("heap added beyond the result", "MB", o.AddedBytes / 1048576.0, i.AddedBytes / 1048576.0,
        "< 1 MB, >= 20x");
    std::printf("%-34s %12.2f %12s MB   (same grid, 1,000 rows: growth with the row count)\n",
                "heap added, 1,000 rows", small.AddedBytes / 1048576.0, "");
    std::printf("%-34s %12.2f %12s ms   (4 more loads of the result grid: %.2f to %.2f ms)\n",
                "first frame, later loads, median", (again[1] + again[2]) / 2, "", again.front(), again.back());

    std::printf("\n2,000 result tabs on one result page (3 rows each)\n");
    const TTabFigures hidden = ManyTabs(&host, 2000, false);
    const TTabFigures shown = ManyTabs(&host, 2000, true);
    std::printf("%-34s %12.1f ms %10.1f KB per tab\n", "page hidden (as a run fills it)", hidden.AddMs,
                hidden.BytesPerTab / 1024.0);
    std::printf("%-34s %12.1f ms %10.1f KB per tab\n", "page shown", shown.AddMs, shown.BytesPerTab / 1024.0);
    return 0;
}
