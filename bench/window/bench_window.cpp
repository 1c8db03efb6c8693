// Benchmark driver for the main window, run by bench/bench-window.sh on the
// offscreen platform with the window shown. Each mode is a process of its
// own (a store of its own in a temporary folder), so that peak memory is the
// window's alone:
//
//   bench_window lists NDB NFILES NAIVE
//       LoadDBList of NDB stored databases and AddSQLFiles of NFILES script
//       paths: time to the repainted list and the paint events its viewport
//       received; beside each, the first NAIVE of the same items added one by
//       one with updates enabled and events processed after each (a plain
//       list pays milliseconds per item, so all of them would take minutes).
//   bench_window fetch INSTANCE USER PWD DB
//       Run of "SELECT id, big, name, amount, stamp, flag FROM t" on DB
//       through the window, up to the result tab's grid painted once.
//   bench_window many INSTANCE USER PWD PREFIX N LOGFILE FILE...
//       Run of the files over PREFIX001 ... PREFIXN through the window, twice:
//       once timed (with the longest single event the loop handled), once
//       with a 0 ms timer that records the longest gap between two processed
//       events. The first run's log goes to LOGFILE.
//
// Figures go to stdout as "key=value" lines for the script to print. With
// BENCH_WINDOW_DEBUG set, every paint of a watched list and every event that
// held the loop over 5 ms is also written to stderr.
#include "PromptRecorder.h"
#include "ProcessMemory.h"
#include "untDmMain.h"
#include "untIcons.h"
#include "untMain.h"
#include "untResultPageControl.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPaintEvent>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <ctime>
#include <iostream>
#include <memory>

namespace {

double Ms(qint64 ns)
{
    return ns / 1e6;
}

// CPU time of the calling thread: on a busy machine a wall-clock stretch
// also holds the time the thread waited for a core.
qint64 ThreadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Counts the paint events of one widget.
class TPaintCounter : public QObject {
public:
    explicit TPaintCounter(QWidget* widget) : FWidget(widget) { widget->installEventFilter(this); }
    ~TPaintCounter() override
    {
        if (FWidget)
            FWidget->removeEventFilter(this);
    }
    int Count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++Count;
            if (qEnvironmentVariableIsSet("BENCH_WINDOW_DEBUG"))
                std::cerr << "paint " << Count << " rect " << static_cast<QPaintEvent*>(event)->rect().width() << "x"
                          << static_cast<QPaintEvent*>(event)->rect().height() << " of " << FWidget->width() << "x"
                          << FWidget->height() << "\n";
        }
        return false;
    }

private:
    QPointer<QWidget> FWidget;
};

// Processes events until two passes in a row find nothing more to paint:
// the delayed item layout runs on a zero timer and posts the repaint after it.
void Settle(const TPaintCounter& counter)
{
    int quiet = 0, last = counter.Count;
    while (quiet < 2) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        quiet = counter.Count == last ? quiet + 1 : 0;
        last = counter.Count;
    }
}

// The window's process: a store of its own, a recording prompt (a message
// box during a benchmark is a failure, not a wait), the window shown.
class TBench {
public:
    TBench()
    {
        qputenv("XDG_DATA_HOME", FHome.path().toUtf8());
        Dm = std::make_unique<TdmMain>(&Prompt);
        Dm->DataModuleCreate();
        dmMain = Dm.get();
        Window = std::make_unique<TfrmMain>();
        Window->show();
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }
    ~TBench()
    {
        Window.reset();
        dmMain = nullptr;
    }

    // Stores the databases under `instances` instances of one login, spread
    // over them in order.
    void Store(const TInstanceInfo& login, const QStringList& databases, int instances = 1)
    {
        TDBListPacket packet;
        for (int k = 0; k < instances; ++k) {
            const qint32 id = Dm->GetNextInstanceID();
            const QString name = instances == 1 ? login.InstanceName
                                                : login.InstanceName + QStringLiteral("\\I%1").arg(k + 1, 2, 10, QLatin1Char('0'));
            packet.Instances.append({id, name, login.UserName, login.UserPWD, login.NT, {}});
        }
        for (int i = 0; i < databases.size(); ++i) {
            TPacketInstance& inst = packet.Instances[i * instances / databases.size()];
            inst.Databases.append({Dm->GetNextDatabaseID(), inst.InstanceID, databases[i]});
        }
        if (!Dm->UpdateDBListData(packet))
            throw EOrvexaError(QStringLiteral("storing the databases failed"));
    }

    QString Path(const QString& name) const { return FHome.filePath(name); }

    // A message box that came up (there should be none).
    bool Failed() const
    {
        for (const auto& shown : Prompt.Shown)
            std::cerr << "message box: " << shown.Text.toStdString() << "\n";
        return !Prompt.Shown.isEmpty();
    }

    // Presses Run and runs the event loop (waiting, not spinning) until the
    // run's thread has ended; nanoseconds.
    qint64 RunToEnd()
    {
        QElapsedTimer timer;
        timer.start();
        Window->actRun->trigger();
        if (!Window->ExecThread)
            throw EOrvexaError(QStringLiteral("Run did not start"));
        while (Window->ExecThread)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return timer.nsecsElapsed();
    }

    TPromptRecorder Prompt;
    std::unique_ptr<TdmMain> Dm;
    std::unique_ptr<TfrmMain> Window;

private:
    QTemporaryDir FHome;
};

TInstanceInfo Login(char** argv)
{
    return {QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]), false};
}

int Lists(char** argv)
{
    const int ndb = QByteArray(argv[2]).toInt();
    const int nfiles = QByteArray(argv[3]).toInt();
    const int naive = QByteArray(argv[4]).toInt();
    TBench bench;
    TfrmMain& w = *bench.Window;
    QStringList names;
    for (int i = 1; i <= ndb; ++i)
        names << QStringLiteral("database_%1").arg(i, 5, 10, QLatin1Char('0'));
    bench.Store({QStringLiteral("sqlprod01"), QStringLiteral("sa"), QStringLiteral("secret"), false}, names, 20);

    QElapsedTimer timer;
    {
        // The window's LoadDBList (the store read included), then the repaint.
        TPaintCounter paints(w.lvDatabases->viewport());
        Settle(paints);
        paints.Count = 0;
        timer.start();
        w.LoadDBList();
        const qint64 call = timer.nsecsElapsed();
        Settle(paints);
        const qint64 total = timer.nsecsElapsed();
        if (w.lvDatabases->topLevelItemCount() != ndb)
            throw EOrvexaError(QStringLiteral("LoadDBList showed %1 entries").arg(w.lvDatabases->topLevelItemCount()));
        std::cout << "db_call_ms=" << Ms(call) << "\ndb_ms=" << Ms(total) << "\ndb_paints=" << paints.Count << "\n";

        // A plain list: the same entries one at a time, each one shown.
        w.lvDatabases->clear();
        Settle(paints);
        paints.Count = 0;
        timer.start();
        const TInstanceAndDBArr list = dmMain->GetDBList().mid(0, naive);
        const QIcon icon = AppIcon(QStringLiteral("server-database"));
        for (const TInstanceAndDBInfo& info : list) {
            auto* item = new QTreeWidgetItem(QStringList{info.InstanceName, info.DatabaseName});
            item->setIcon(0, icon);
            w.lvDatabases->addTopLevelItem(item);
            QCoreApplication::processEvents();
        }
        Settle(paints);
        std::cout << "db_naive_n=" << list.size() << "\ndb_naive_ms=" << Ms(timer.nsecsElapsed())
                  << "\ndb_naive_paints=" << paints.Count << "\n";

        timer.start();
        const TInstanceAndDBArr again = dmMain->GetDBList();
        std::cout << "db_store_read_ms=" << Ms(timer.nsecsElapsed()) << "\n";
    }
    {
        QStringList paths;
        for (int i = 1; i <= nfiles; ++i)
            paths << QStringLiteral("/srv/dba/scripts/release-%1/%2_change.sql").arg(i / 100).arg(i, 4, 10, QLatin1Char('0'));
        TPaintCounter paints(w.lvSQLFiles->viewport());
        Settle(paints);
        paints.Count = 0;
        timer.start();
        w.AddSQLFiles(paths);
        const qint64 call = timer.nsecsElapsed();
        Settle(paints);
        const qint64 total = timer.nsecsElapsed();
        if (w.SQLFilePaths() != paths)
            throw EOrvexaError(QStringLiteral("AddSQLFiles did not list the paths in order"));
        std::cout << "files_call_ms=" << Ms(call) << "\nfiles_ms=" << Ms(total) << "\nfiles_paints=" << paints.Count
                  << "\n";

        // One path per call, each one shown.
        w.lvSQLFiles->clear();
        Settle(paints);
        paints.Count = 0;
        timer.start();
        const QStringList some = paths.mid(0, naive);
        for (const QString& path : some) {
            w.AddSQLFiles({path});
            QCoreApplication::processEvents();
        }
        Settle(paints);
        std::cout << "files_naive_n=" << some.size() << "\nfiles_naive_ms=" << Ms(timer.nsecsElapsed())
                  << "\nfiles_naive_paints=" << paints.Count << "\n";
        if (w.SQLFilePaths() != some)
            throw EOrvexaError(QStringLiteral("one-by-one AddSQLFiles did not list the paths in order"));
    }
    return bench.Failed() ? 1 : 0;
}

int Fetch(char** argv)
{
    const TInstanceInfo login = Login(argv);
    const QString db = QString::fromLocal8Bit(argv[5]);
    TBench bench;
    TfrmMain& w = *bench.Window;
    bench.Store(login, {db});
    w.LoadDBList();
    QFile script(bench.Path(QStringLiteral("fetch.sql")));
    script.open(QIODevice::WriteOnly);
    script.write("SELECT id, big, name, amount, stamp, flag FROM t\r\n");
    script.close();
    w.AddSQLFiles({script.fileName()});
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();

    const qint64 baseKb = StatusKb("VmRSS:");
    const qint64 baseFileKb = StatusKb("RssFile:");
    QElapsedTimer timer;
    timer.start();
    const qint64 runNs = bench.RunToEnd();
    if (w.Status() != stOK || w.PageControls.size() != 1 || w.PageControls[0]->ResultCount() != 1) {
        std::cerr << w.mmLog->toPlainText().toStdString() << "\n";
        throw EOrvexaError(QStringLiteral("the run did not end with one result"));
    }
    const qint64 runPeakKb = StatusKb("VmHWM:");
    // The result tab shown: its grid is made now, then painted once.
    TResultPageControl* page = w.PageControls[0].get();
    if (!page->isVisible())
        throw EOrvexaError(QStringLiteral("the result page is not shown"));
    QElapsedTimer shown;
    shown.start();
    page->setCurrentIndex(1);
    TResultStringGrid* grid = page->ResultTab(1)->ExistingGrid();
    if (!grid)
        throw EOrvexaError(QStringLiteral("the result tab made no grid"));
    TPaintCounter paints(grid->viewport());
    while (paints.Count == 0) {
        if (timer.nsecsElapsed() > 120e9)
            throw EOrvexaError(QStringLiteral("the grid was never painted"));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    const qint64 totalNs = timer.nsecsElapsed();
    std::cout << "rows=" << page->ResultTab(1)->GetData().RowCount() << "\nrun_ms=" << Ms(runNs)
              << "\ngrid_ms=" << Ms(shown.nsecsElapsed()) << "\ntotal_ms=" << Ms(totalNs)
              << "\nbase_kb=" << baseKb << "\nbase_file_kb=" << baseFileKb << "\nrun_peak_kb=" << runPeakKb << "\npeak_kb=" << StatusKb("VmHWM:") << "\n";
    std::cout.flush();
    const int status = bench.Failed() ? 1 : 0;
    // The process ends here: freeing the window and its million-row result
    // is no part of the figure (the runner frees nothing either).
    std::_Exit(status);
}

// The longest time between two timeouts of a 0 ms timer: how long the
// event loop went without processing events.
class TGapProbe : public QObject {
public:
    TGapProbe()
    {
        FTimer.setInterval(0);
        connect(&FTimer, &QTimer::timeout, this, [this] {
            const qint64 now = FClock.nsecsElapsed();
            MaxGapNs = qMax(MaxGapNs, now - FLast);
            FLast = now;
        });
    }
    void Start()
    {
        FClock.start();
        FLast = 0;
        MaxGapNs = 0;
        FTimer.start();
    }
    void Stop() { FTimer.stop(); }
    qint64 MaxGapNs = 0;

private:
    QTimer FTimer;
    QElapsedTimer FClock;
    qint64 FLast = 0;
};

// The application, timing every event it hands out from the event loop
// (nested deliveries count with the outer one): the longest names what kept
// the loop busy, at no cost worth measuring.
class TTimedApp : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        if (FDepth > 0 || !Timing) {
            ++FDepth;
            const bool result = QApplication::notify(receiver, event);
            --FDepth;
            return result;
        }
        ++FDepth;
        QElapsedTimer timer;
        timer.start();
        const qint64 cpu = ThreadCpuNs();
        const int type = event->type();
        const QByteArray receiverClass = receiver->metaObject()->className();
        const bool result = QApplication::notify(receiver, event);
        const qint64 ns = timer.nsecsElapsed();
        const qint64 cpuNs = ThreadCpuNs() - cpu;
        --FDepth;
        if (ns > LongestNs) {
            LongestNs = ns;
            LongestType = type;
            LongestReceiver = receiverClass;
        }
        LongestCpuNs = qMax(LongestCpuNs, cpuNs);
        if (type == QEvent::UpdateRequest) {
            ++Repaints;
            RepaintCpuNs += cpuNs;
        }
        if (ns > 5e6 && qEnvironmentVariableIsSet("BENCH_WINDOW_DEBUG"))
            std::cerr << "event " << type << " to " << receiverClass.constData() << ": " << Ms(ns) << " ms, cpu "
                      << Ms(cpuNs) << " ms\n";
        return result;
    }
    bool Timing = false;
    qint64 LongestNs = 0;
    qint64 LongestCpuNs = 0;
    // The window's repaint passes (UpdateRequest) and their CPU time.
    int Repaints = 0;
    qint64 RepaintCpuNs = 0;
    int LongestType = 0;
    QByteArray LongestReceiver;

private:
    int FDepth = 0;
};

TTimedApp* App()
{
    return static_cast<TTimedApp*>(QCoreApplication::instance());
}

int Many(int argc, char** argv)
{
    const TInstanceInfo login = Login(argv);
    const QString prefix = QString::fromLocal8Bit(argv[5]);
    const int n = QByteArray(argv[6]).toInt();
    const QString logFile = QString::fromLocal8Bit(argv[7]);
    QStringList files;
    for (int i = 8; i < argc; ++i)
        files << QString::fromLocal8Bit(argv[i]);
    TBench bench;
    TfrmMain& w = *bench.Window;
    QStringList names;
    for (int i = 1; i <= n; ++i)
        names << QStringLiteral("%1%2").arg(prefix).arg(i, 3, 10, QLatin1Char('0'));
    bench.Store(login, names);
    w.LoadDBList();
    w.AddSQLFiles(files);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    const auto succeeded = [&] { return w.Status() == stOK && int(w.PageControls.size()) == n; };

    // The first run: timed, and the longest single event handled during it.
    App()->Timing = true;
    const qint64 runCpu = ThreadCpuNs();
    const qint64 runNs = bench.RunToEnd();
    const qint64 runCpuNs = ThreadCpuNs() - runCpu;
    App()->Timing = false;
    if (!succeeded()) {
        std::cerr << w.mmLog->toPlainText().right(2000).toStdString() << "\n";
        throw EOrvexaError(QStringLiteral("the run did not succeed on every database"));
    }
    QFile log(logFile);
    if (!log.open(QIODevice::WriteOnly))
        throw EOrvexaError(QStringLiteral("cannot write ") + logFile);
    log.write((w.mmLog->toPlainText() + QLatin1Char('\n')).toUtf8());
    log.close();
    std::cout << "run_ms=" << Ms(runNs) << "\nrun_gui_cpu_ms=" << Ms(runCpuNs) << "\nrun_repaints=" << App()->Repaints
              << "\nrun_repaint_cpu_ms=" << Ms(App()->RepaintCpuNs) << "\nlongest_event_ms=" << Ms(App()->LongestNs)
              << "\nlongest_event_cpu_ms=" << Ms(App()->LongestCpuNs)
              << "\nlongest_event=" << App()->LongestType << " to " << App()->LongestReceiver.constData() << "\n";

    // The second run, with the 0 ms timer going (it keeps the event loop
    // from ever waiting, so this run's time is not a figure). Pressing Run
    // clears the first run's result pages; that press is timed on its own,
    // the gaps are those while the run goes on.
    QElapsedTimer timer;
    timer.start();
    const qint64 pressCpu = ThreadCpuNs();
    w.actRun->trigger();
    const qint64 pressNs = timer.nsecsElapsed();
    const qint64 pressCpuNs = ThreadCpuNs() - pressCpu;
    if (!w.ExecThread)
        throw EOrvexaError(QStringLiteral("the second Run did not start"));
    TGapProbe probe;
    probe.Start();
    while (w.ExecThread)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    probe.Stop();
    if (!succeeded())
        throw EOrvexaError(QStringLiteral("the second run did not succeed on every database"));
    std::cout << "press_ms=" << Ms(pressNs) << "\npress_cpu_ms=" << Ms(pressCpuNs) << "\nmax_gap_ms=" << Ms(probe.MaxGapNs)
              << "\npeak_kb=" << StatusKb("VmHWM:") << "\n";
    std::cout.flush();
    const int status = bench.Failed() ? 1 : 0;
    std::_Exit(status);
}

} // namespace

int main(int argc, char** argv)
{
    TTimedApp app(argc, argv);
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    try {
        if (mode == "lists" && argc == 5)
            return Lists(argv);
        if (mode == "fetch" && argc == 6)
            return Fetch(argv);
        if (mode == "many" && argc >= 9)
            return Many(argc, argv);
    } catch (const EOrvexaError& e) {
        std::cerr << "bench_window: " << e.Message().toStdString() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "bench_window: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "usage: bench_window lists NDB NFILES NAIVE | fetch INSTANCE USER PWD DB"
                 " | many INSTANCE USER PWD PREFIX N LOGFILE FILE...\n";
    return 2;
}
