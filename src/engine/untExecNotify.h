// What the execution thread tells its receiver (the main window, the
// headless runner, a test) while a run is under way.
//
// Every notification is a blocking call made on the execution thread: it
// returns only when the receiver has handled it, and its reply, where it has
// one, steers the run. Payloads (line lists, names, the snapshot, the file
// list) belong to the thread and are valid only during the call: a receiver
// copies what it keeps. A receiver must not wait for the thread, or call
// back into it, while handling a notification; what it may do to the
// thread is TExecThread::Terminate or Cancel (during ExecWarn, or from any
// other thread at any time).
//
// The window's receiver hands each call over to the GUI thread through a
// TExecReceiverBridge (untExecBridge.h); the headless runner and tests
// implement it directly on the execution thread. A parallel run also calls
// it from one thread only, its own, in run order.
//
// Order within a run:
//   ExecStart; ExecLogs, ExecStatus(stConstruct); ExecLogs per split file,
//   ExecLogs; [ExecLogs, ExecWarn]; ExecLogs, ExecStatus(stExec),
//   ExecPercent(0); per database: ExecLogs, ExecNewDB, per file ExecMsgs ...
//   ExecResult ... ExecLogs, then ExecPercent; ExecLogs, ExecStatus(stOK or
//   stFail). A run that ends early ends with ExecLogs and ExecStatus(stFail).
//   A run without script files sends nothing at all.
#pragma once

#include "untCommon.h"
#include "untResultTable.h"

#include <QString>
#include <QStringList>

// The notification identifiers: the platform's first user message number
// plus 0x98 to 0x9F (0x496 and 0x497 are the main window's own).
constexpr int WM_USER_BASE = 0x400;
enum TExecMessage : int {
    WM_EXEC_START = WM_USER_BASE + 0x98,    // ExecStart
    WM_EXEC_LOGS = WM_USER_BASE + 0x99,     // ExecLogs
    WM_EXEC_MSGS = WM_USER_BASE + 0x9A,     // ExecMsgs
    WM_EXEC_STATUS = WM_USER_BASE + 0x9B,   // ExecStatus
    WM_EXEC_PERCENT = WM_USER_BASE + 0x9C,  // ExecPercent
    WM_EXEC_NEWDB = WM_USER_BASE + 0x9D,    // ExecNewDB
    WM_EXEC_RESULT = WM_USER_BASE + 0x9E,   // ExecResult
    WM_EXEC_WARN = WM_USER_BASE + 0x9F,     // ExecWarn
};

// "WM_EXEC_LOGS" and so on, for logs and tests.
const char* ExecMessageName(TExecMessage message);

// The USE / GO N question a receiver asks on WM_EXEC_WARN: its two lines,
// each followed by CR LF, then the file list exactly as the run sent it (one
// CR LF and full path per file, so a blank line separates the question from
// the list). The window shows it in a "Warn" box with Yes and No.
QString UseGoNQuestion(const QString& fileList);

class TExecReceiver {
public:
    virtual ~TExecReceiver() = default;

    // WM_EXEC_START: a run has begun; the window clears its execution log.
    virtual void ExecStart() = 0;
    // WM_EXEC_LOGS: lines for the execution log, in order. An empty entry is
    // an empty line; an entry may hold line breaks.
    virtual void ExecLogs(const QStringList& lines) = 0;
    // WM_EXEC_MSGS: lines for the message tab of the database announced last.
    virtual void ExecMsgs(const QStringList& lines) = 0;
    // WM_EXEC_STATUS: stConstruct, stExec, stOK or stFail (never stReady).
    virtual void ExecStatus(TStatusType status) = 0;
    // WM_EXEC_PERCENT: progress of the run, 0..100.
    virtual void ExecPercent(IntPercent percent) = 0;
    // WM_EXEC_NEWDB: a database is about to run; the window adds its result
    // page. Reply 0 when done; anything else ends the run with "Error: Can't
    // append result page.".
    virtual int ExecNewDB(const QString& instanceName, const QString& databaseName) = 0;
    // WM_EXEC_RESULT: one captured result set, for a result tab of the page
    // added last. The snapshot is shared and immutable; keeping a copy of it
    // keeps the rows.
    virtual void ExecResult(const TResultSnapshot& snapshot) = 0;
    // WM_EXEC_WARN: files using USE or GO N, each full path preceded by CR LF.
    // Reply 1 when the user declines (the receiver also calls Terminate);
    // anything else proceeds. UseGoNQuestion() gives the question's text.
    virtual int ExecWarn(const QString& fileList) = 0;
};
