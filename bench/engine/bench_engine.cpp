// Benchmark driver for the engine, run by bench/bench-engine.sh:
//   bench_engine populate INSTANCE USER PWD DB ROWS   a table t of ROWS rows x 6 columns
//   bench_engine fetch INSTANCE USER PWD DB           one run of "SELECT * FROM t" into result tables
//   bench_engine createdbs INSTANCE USER PWD PREFIX N databases PREFIX001 ... PREFIXN
//   bench_engine many INSTANCE USER PWD PREFIX N FILE...  one run of the files over those databases
//   bench_engine count INSTANCE USER PWD DB           the rows of table x, for checking both sides
// Figures go to stdout as "key=value" lines for the script to print.
#include "ProcessMemory.h"
#include "untDBAccess.h"
#include "untOdbcConnection.h"
#include "untThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <iostream>

namespace {

TInstanceInfo Login(char** argv)
{
    return {QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]), false};
}

void Exec(TDBConnection& c, const QString& sql)
{
    auto command = c.CreateCommand();
    command->SetCommandText(sql);
    qint64 affected = -1;
    auto rs = command->Execute(affected);
    while (rs->NextRecordset(affected)) {
    }
}

// Keeps the last snapshot (as the window keeps its result tabs) and counts rows.
class TCountingReceiver : public TExecReceiver {
public:
    qint64 Rows = 0;
    QList<TResultSnapshot> Kept;
    QStringList Errors;
    TStatusType Last = stReady;
    void ExecStart() override {}
    void ExecLogs(const QStringList& lines) override
    {
        for (const QString& l : lines)
            if (l.startsWith(QLatin1String("    ")) && !l.contains(QLatin1String("successfully")))
                Errors << l;
    }
    void ExecMsgs(const QStringList&) override {}
    void ExecStatus(TStatusType status) override { Last = status; }
    void ExecPercent(IntPercent) override {}
    int ExecNewDB(const QString&, const QString&) override { return 0; }
    void ExecResult(const TResultSnapshot& snapshot) override
    {
        Rows += snapshot.RowCount();
        Kept << snapshot;
    }
    int ExecWarn(const QString&) override { return 0; }
};

TConfig BenchConfig()
{
    TConfig c;
    c.ReceiveResults = true;
    c.ContinueOnError = true;
    c.TransExecution = true;
    return c;
}

// Bytes the values take in SQL Server's own row format: int 4, bigint 8,
// nvarchar 2 per character, decimal(18,2) 9, datetime 8, bit one eighth.
double RawBytes(const TResultSnapshot& s)
{
    double total = 0;
    for (qint64 r = 0; r < s.RowCount(); ++r)
        total += 4 + 8 + 2.0 * s.AsText(r, 2).size() + 9 + 8 + 0.125;
    return total;
}

int Populate(char** argv)
{
    const TInstanceInfo login = Login(argv);
    const QString db = QString::fromLocal8Bit(argv[5]);
    const int rows = QByteArray(argv[6]).toInt();
    auto c = CreateDBConnection();
    c->Open(TDBConnectionData::From(login));
    Exec(*c, QStringLiteral("CREATE DATABASE [%1]").arg(db));
    c->Open(TDBConnectionData::From(login, db));
    Exec(*c, QStringLiteral("CREATE TABLE a (i int, big bigint, name nvarchar(40))"));
    Exec(*c, QStringLiteral("CREATE TABLE b (i int, amount decimal(18,2), stamp datetime, flag bit)"));
    Exec(*c, QStringLiteral("CREATE TABLE t (id int, big bigint, name nvarchar(40), amount decimal(18,2), "
                            "stamp datetime, flag bit)"));
    QStringList av, bv;
    for (int i = 0; i < 1000; ++i) {
        av << QStringLiteral("(%1, %2, N'customer name %3')").arg(i).arg(qint64(i) * 1000003).arg(i * 7919 % 100000);
        bv << QStringLiteral("(%1, %2.%3, '2024-%4-%5 %6:%7:%8.%9', %10)")
                  .arg(i)
                  .arg(i * 37)
                  .arg(i % 100, 2, 10, QLatin1Char('0'))
                  .arg(i % 12 + 1, 2, 10, QLatin1Char('0'))
                  .arg(i % 28 + 1, 2, 10, QLatin1Char('0'))
                  .arg(i % 24, 2, 10, QLatin1Char('0'))
                  .arg(i % 60, 2, 10, QLatin1Char('0'))
                  .arg(i * 7 % 60, 2, 10, QLatin1Char('0'))
                  .arg(i * 10 % 1000, 3, 10, QLatin1Char('0'))
                  .arg(i % 2);
    }
    Exec(*c, QStringLiteral("INSERT INTO a VALUES ") + av.join(QLatin1Char(',')));
    Exec(*c, QStringLiteral("INSERT INTO b VALUES ") + bv.join(QLatin1Char(',')));
    Exec(*c, QStringLiteral("INSERT INTO t SELECT a.i * 1000 + b.i, a.big + b.i, a.name, b.amount, b.stamp, b.flag "
                            "FROM a CROSS JOIN b WHERE a.i < %1")
                 .arg((rows + 999) / 1000));
    std::cout << "populated=" << rows << "\n";
    return 0;
}

int Fetch(char** argv)
{
    const TInstanceInfo login = Login(argv);
    const QString db = QString::fromLocal8Bit(argv[5]);
    QFile script(QStringLiteral("bench_fetch.sql"));
    script.open(QIODevice::WriteOnly);
    script.write("SELECT id, big, name, amount, stamp, flag FROM t\r\n");
    script.close();

    TCountingReceiver receiver;
    TInstanceAndDBArr dbs{{login.InstanceName, login.UserName, login.UserPWD, false, db}};
    const qint64 baseKb = StatusKb("VmRSS:");
    ResetPeak();
    QElapsedTimer timer;
    timer.start();
    {
        TExecThread thread(&receiver, {script.fileName()}, dbs, BenchConfig());
        thread.Start();
        thread.Wait();
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 peakKb = StatusKb("VmHWM:");
    if (receiver.Last != stOK || receiver.Kept.isEmpty()) {
        std::cerr << "fetch failed: " << receiver.Errors.join(QLatin1Char('\n')).toStdString() << "\n";
        return 1;
    }
    const double raw = RawBytes(receiver.Kept.last());
    std::cout << "rows=" << receiver.Rows << "\nseconds=" << seconds << "\nrows_per_s=" << qint64(receiver.Rows / seconds)
              << "\nraw_mb=" << raw / 1048576.0 << "\npeak_growth_mb=" << (peakKb - baseKb) / 1024.0
              << "\nratio=" << (peakKb - baseKb) * 1024.0 / raw << "\n";
    return 0;
}

int CreateDbs(char** argv)
{
    const TInstanceInfo login = Login(argv);
    const QString prefix = QString::fromLocal8Bit(argv[5]);
    const int n = QByteArray(argv[6]).toInt();
    auto c = CreateDBConnection();
    c->Open(TDBConnectionData::From(login));
    QStringList sql;
    for (int i = 1; i <= n; ++i)
        sql << QStringLiteral("CREATE DATABASE [%1%2]").arg(prefix).arg(i, 3, 10, QLatin1Char('0'));
    Exec(*c, sql.join(QStringLiteral("\r\n")));
    return 0;
}

int Many(int argc, char** argv)
{
    const TInstanceInfo login = Login(argv);
    const QString prefix = QString::fromLocal8Bit(argv[5]);
    const int n = QByteArray(argv[6]).toInt();
    QStringList files;
    for (int i = 7; i < argc; ++i)
        files << QString::fromLocal8Bit(argv[i]);
    TInstanceAndDBArr dbs;
    for (int i = 1; i <= n; ++i)
        dbs << TInstanceAndDBInfo{login.InstanceName, login.UserName, login.UserPWD, false,
                                  QStringLiteral("%1%2").arg(prefix).arg(i, 3, 10, QLatin1Char('0'))};
    TCountingReceiver receiver;
    QElapsedTimer timer;
    timer.start();
    {
        TExecThread thread(&receiver, files, dbs, BenchConfig());
        thread.Start();
        thread.Wait();
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (receiver.Last != stOK) {
        std::cerr << "run failed: " << receiver.Errors.join(QLatin1Char('\n')).toStdString() << "\n";
        return 1;
    }
    std::cout << "seconds=" << seconds << "\n";
    return 0;
}

int Count(char** argv)
{
    const TInstanceInfo login = Login(argv);
    auto c = CreateDBConnection();
    c->Open(TDBConnectionData::From(login, QString::fromLocal8Bit(argv[5])));
    auto command = c->CreateCommand();
    command->SetCommandText(QStringLiteral("SELECT a, b FROM x ORDER BY a"));
    qint64 affected = -1;
    auto rs = command->Execute(affected);
    for (; rs->State() == adStateOpen && !rs->Eof(); rs->MoveNext())
        std::cout << rs->AsInteger(0) << " " << rs->AsString(1).toString().toStdString() << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    SetOdbcDriverOverride(QStringLiteral("FreeTDS"));
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    try {
        if (mode == "populate" && argc == 7)
            return Populate(argv);
        if (mode == "fetch" && argc == 6)
            return Fetch(argv);
        if (mode == "createdbs" && argc == 7)
            return CreateDbs(argv);
        if (mode == "count" && argc == 6)
            return Count(argv);
        if (mode == "many" && argc >= 8)
            return Many(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "bench_engine: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "usage: bench_engine populate|fetch|createdbs|many|count INSTANCE USER PWD ...\n";
    return 2;
}
