// The window's seams: the receiver bridge to the GUI thread (under a
// QCoreApplication, whose thread stands for the GUI thread), Cancel of a
// running batch, and the close path of a window during a run.
#include "EngineServer.h"
#include "ExecRecorder.h"

#include "untExecBridge.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

const QString Tab = QStringLiteral("    ");

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "test_engine_bridge";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
    return *QCoreApplication::instance();
}

// Lets the event loop run until done() holds, for at most ms milliseconds.
template <typename F> bool ProcessUntil(F done, int ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A target that notes on which thread it was called.
class TThreadNotingRecorder : public TExecRecorder {
public:
    std::atomic<int> Calls{0};
    std::atomic<int> OffThread{0};
    std::function<void()> InHandler;
    void Note()
    {
        ++Calls;
        if (QThread::currentThread() != App().thread())
            ++OffThread;
        if (InHandler)
            InHandler();
    }
    void ExecStart() override { Note(); TExecRecorder::ExecStart(); }
    void ExecLogs(const QStringList& l) override { Note(); TExecRecorder::ExecLogs(l); }
    void ExecMsgs(const QStringList& l) override { Note(); TExecRecorder::ExecMsgs(l); }
    void ExecStatus(TStatusType s) override { Note(); TExecRecorder::ExecStatus(s); }
    void ExecPercent(IntPercent p) override { Note(); TExecRecorder::ExecPercent(p); }
    int ExecNewDB(const QString& i, const QString& d) override { Note(); return TExecRecorder::ExecNewDB(i, d); }
    void ExecResult(const TResultSnapshot& s) override { Note(); TExecRecorder::ExecResult(s); }
    int ExecWarn(const QString& f) override { Note(); return TExecRecorder::ExecWarn(f); }
};

class Bridge : public ::testing::Test {
protected:
    void SetUp() override { App(); }
};

} // namespace

TEST_F(Bridge, ForwardsEachNotificationToTheContextThreadWithItsReply)
{
    TThreadNotingRecorder target;
    target.NewDBReply = 7;
    target.WarnReply = 1;
    QObject context;
    TExecReceiverBridge bridge(&target, &context);
    std::atomic<bool> done{false};
    int newDb = -1, warn = -1;
    std::thread caller([&] {
        bridge.ExecStart();
        bridge.ExecLogs({QStringLiteral("a"), QString()});
        bridge.ExecStatus(stExec);
        bridge.ExecPercent(40);
        newDb = bridge.ExecNewDB(QStringLiteral("srv"), QStringLiteral("db"));
        bridge.ExecMsgs({QStringLiteral("m")});
        bridge.ExecResult(TResultSnapshot());
        warn = bridge.ExecWarn(QStringLiteral("\r\n/x.sql"));
        done = true;
    });
    ASSERT_TRUE(ProcessUntil([&] { return done.load(); }));
    caller.join();
    EXPECT_EQ(target.Calls.load(), 8);
    EXPECT_EQ(target.OffThread.load(), 0);
    EXPECT_EQ(target.Ids(), (QList<TExecMessage>{WM_EXEC_START, WM_EXEC_LOGS, WM_EXEC_STATUS, WM_EXEC_PERCENT,
                                                 WM_EXEC_NEWDB, WM_EXEC_MSGS, WM_EXEC_RESULT, WM_EXEC_WARN}));
    EXPECT_EQ(target.Logs(), (QStringList{QStringLiteral("a"), QString()}));
    EXPECT_EQ(target.Values(WM_EXEC_PERCENT), QList<int>{40});
    EXPECT_EQ(newDb, 7);
    EXPECT_EQ(warn, 1);
}

TEST_F(Bridge, RefusesACallOnTheContextThreadInsteadOfWaitingForItself)
{
    TThreadNotingRecorder target;
    QObject context;
    TExecReceiverBridge bridge(&target, &context);
    EXPECT_THROW(bridge.ExecLogs({QStringLiteral("x")}), EOrvexaError);
    EXPECT_THROW(bridge.ExecNewDB(QStringLiteral("s"), QStringLiteral("d")), EOrvexaError);
    EXPECT_EQ(target.Calls.load(), 0);
}

TEST_F(Bridge, DetachReleasesAQueuedCallAndAllLaterOnesWithTheStopReply)
{
    TThreadNotingRecorder target;
    QObject context;
    TExecReceiverBridge bridge(&target, &context);
    std::atomic<int> newDb{-1};
    std::atomic<bool> returned{false};
    // The GUI thread is busy (no events processed): the call waits, queued.
    std::thread caller([&] {
        newDb = bridge.ExecNewDB(QStringLiteral("srv"), QStringLiteral("db"));
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load());
    bridge.Detach();
    caller.join();  // returns without the event loop having run
    EXPECT_EQ(newDb.load(), 1);

    int warn = -1;
    bool allReturned = false;
    std::thread later([&] {
        bridge.ExecStart();
        bridge.ExecLogs({QStringLiteral("x")});
        warn = bridge.ExecWarn(QStringLiteral("\r\n/x.sql"));
        allReturned = true;
    });
    later.join();
    EXPECT_TRUE(allReturned);
    EXPECT_EQ(warn, 1);
    // The queued invocation runs now and touches nothing.
    QCoreApplication::processEvents();
    EXPECT_EQ(target.Calls.load(), 0);
}

TEST_F(Bridge, DetachInsideAHandlerLetsThatHandlerFinishAndStopsTheRest)
{
    TThreadNotingRecorder target;
    QObject context;
    TExecReceiverBridge bridge(&target, &context);
    target.InHandler = [&] { bridge.Detach(); };
    target.NewDBReply = 0;
    std::atomic<bool> done{false};
    int first = -1, second = -1;
    std::thread caller([&] {
        first = bridge.ExecNewDB(QStringLiteral("s"), QStringLiteral("a"));
        second = bridge.ExecNewDB(QStringLiteral("s"), QStringLiteral("b"));
        done = true;
    });
    ASSERT_TRUE(ProcessUntil([&] { return done.load(); }));
    caller.join();
    EXPECT_EQ(first, 0);   // the handler ran to its end and its reply came back
    EXPECT_EQ(second, 1);  // the next one met a detached bridge
    EXPECT_EQ(target.NewDatabases(), QStringList{QStringLiteral("a")});
}

TEST_F(Bridge, AHandlerErrorIsRaisedOnTheCallingThreadAndAGoneContextReleasesTheCaller)
{
    class TFailing : public TThreadNotingRecorder {
    public:
        int ExecNewDB(const QString&, const QString&) override { throw EOrvexaError(QStringLiteral("page failed")); }
    } target;
    auto* context = new QObject;
    TExecReceiverBridge bridge(&target, context);
    QString error;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        try {
            bridge.ExecNewDB(QStringLiteral("s"), QStringLiteral("d"));
        } catch (const EOrvexaError& e) {
            error = e.Message();
        }
        done = true;
    });
    ASSERT_TRUE(ProcessUntil([&] { return done.load(); }));
    caller.join();
    EXPECT_EQ(error, QStringLiteral("page failed"));

    // A call queued to a context that is then deleted returns with the stop reply.
    std::atomic<int> warn{-1};
    std::thread queued([&] { warn = bridge.ExecWarn(QStringLiteral("\r\n/x.sql")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    delete context;
    queued.join();
    EXPECT_EQ(warn.load(), 1);
    EXPECT_EQ(target.Calls.load(), 0);
}

// --- Cancel and the window's close path, against a real server --------------

namespace {

class EngineCancel : public ServerTest {
protected:
    void SetUp() override
    {
        App();
        ServerTest::SetUp();
    }
    QString DatabaseWithTable(const QString& name)
    {
        const QString db = Server->CreateDatabase(name);
        Server->Exec(db, QStringLiteral("CREATE TABLE t (a int)"));
        return db;
    }
    QString SlowScript()
    {
        return WriteScript(QStringLiteral("slow.sql"), QStringLiteral("INSERT INTO t VALUES (1)\r\nGO\r\n"
                                                                      "WAITFOR DELAY '00:00:30'\r\nGO\r\n"
                                                                      "INSERT INTO t VALUES (2)\r\n"));
    }
    // Waits until the run is inside the long batch: the first INSERT is
    // visible (autocommit), or for a moment (in a transaction it is not).
    void WaitForTheLongBatch(const QString& db, bool trans)
    {
        if (trans) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            return;
        }
        for (int i = 0; i < 400 && Server->Query(db, QStringLiteral("SELECT a FROM t")).isEmpty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
};

} // namespace

TEST_P(EngineCancel, CancelEndsALongBatchAtOnceAndRollsItsFileBack)
{
    const QString file = SlowScript();
    for (const bool trans : {true, false}) {
        SCOPED_TRACE(trans ? "TransExecution" : "no transaction");
        const QString db = DatabaseWithTable(trans ? QStringLiteral("cancel_trans") : QStringLiteral("cancel_plain"));
        const QString after = DatabaseWithTable(trans ? QStringLiteral("after_trans") : QStringLiteral("after_plain"));
        TExecRecorder r;
        QElapsedTimer t;
        t.start();
        RunToEnd(r, {file}, {Server->Database(db), Server->Database(after)}, RunConfig(trans, true),
                 [&](TExecThread& thread) {
                     WaitForTheLongBatch(db, trans);
                     thread.Terminate();  // the first Stop: the batch would run its 30 seconds
                     std::this_thread::sleep_for(std::chrono::milliseconds(200));
                     EXPECT_TRUE(thread.isRunning());
                     thread.Cancel();
                 });
        EXPECT_LT(t.elapsed(), 15000);
        const QStringList logs = r.Logs();
        ASSERT_GE(logs.size(), 3);
        EXPECT_EQ(logs[logs.size() - 3],
                  Tab + QStringLiteral("User has canceled current operation. The running batch of slow.sql was "
                                       "cancelled.")
                      + (trans ? QStringLiteral(" transation rollback.") : QString()))
            << logs.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(logs.last(), CenterTitle(QStringLiteral("Execution completed but errors occured")));
        EXPECT_EQ(r.Values(WM_EXEC_STATUS).last(), int(stFail));
        EXPECT_EQ(r.NewDatabases(), QStringList{db});
        EXPECT_EQ(Server->Query(db, QStringLiteral("SELECT a FROM t")), trans ? QStringList{} : QStringList{"1"});
        EXPECT_TRUE(Server->Query(after, QStringLiteral("SELECT a FROM t")).isEmpty());
    }
}

TEST_P(EngineCancel, ClosingTheWindowDuringARunNeverFreezes)
{
    // The window's close path: detach the bridge, cancel, let the event loop
    // run until `finished`, then delete. The GUI thread is busy at the moment
    // of closing, so a notification is waiting for it.
    const QString db = DatabaseWithTable(QStringLiteral("closing"));
    const QString file = SlowScript();
    TThreadNotingRecorder window;
    auto* context = new QObject;
    TExecReceiverBridge bridge(&window, context);
    auto* thread = new TExecThread(&bridge, {file}, {Server->Database(db)}, RunConfig(true, true));
    std::atomic<bool> finished{false};
    QObject::connect(thread, &QThread::finished, context, [&] { finished = true; });
    thread->Start();
    ASSERT_TRUE(ProcessUntil([&] { return window.NewDatabases().size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // the long batch runs

    QElapsedTimer t;
    t.start();
    bridge.Detach();
    thread->Cancel();
    ASSERT_TRUE(ProcessUntil([&] { return finished.load(); }, 15000));
    delete thread;
    delete context;
    EXPECT_LT(t.elapsed(), 10000);
    EXPECT_EQ(window.OffThread.load(), 0);
    // What came after the detach never reached the window.
    EXPECT_EQ(window.Values(WM_EXEC_STATUS), (QList<int>{stConstruct, stExec}));
    EXPECT_TRUE(Server->Query(db, QStringLiteral("SELECT a FROM t")).isEmpty());

    // Deleting a thread whose run is under way (no bridge, a direct
    // receiver) cancels it rather than waiting for the batch.
    TExecRecorder direct;
    auto* second = new TExecThread(&direct, {file}, {Server->Database(db)}, RunConfig(true, true));
    second->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    t.restart();
    delete second;
    EXPECT_LT(t.elapsed(), 10000);
    EXPECT_TRUE(Server->Query(db, QStringLiteral("SELECT a FROM t")).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Servers, EngineCancel, ORVEXA_SERVER_KINDS);
