// A receiver that records every notification of a run, and a helper that
// runs a TExecThread to its end.
#pragma once

#include "untExecNotify.h"
#include "untThread.h"

#include <functional>
#include <vector>

struct TExecEvent {
    TExecMessage Id = WM_EXEC_START;
    QStringList Lines;   // WM_EXEC_LOGS, WM_EXEC_MSGS
    int Value = 0;       // WM_EXEC_STATUS, WM_EXEC_PERCENT
    QString First;       // WM_EXEC_NEWDB instance, WM_EXEC_WARN list
    QString Second;      // WM_EXEC_NEWDB database
    TResultSnapshot Snapshot;  // WM_EXEC_RESULT
};

class TExecRecorder : public TExecReceiver {
public:
    std::vector<TExecEvent> Events;
    int NewDBReply = 0;
    int WarnReply = 0;
    TExecThread* Thread = nullptr;
    // Called after each notification is recorded (on the execution thread).
    std::function<void(const TExecEvent&)> OnEvent;

    void ExecStart() override { Add(Event(WM_EXEC_START)); }
    void ExecLogs(const QStringList& lines) override { Add(Event(WM_EXEC_LOGS, lines)); }
    void ExecMsgs(const QStringList& lines) override { Add(Event(WM_EXEC_MSGS, lines)); }
    void ExecStatus(TStatusType status) override { Add(Event(WM_EXEC_STATUS, {}, int(status))); }
    void ExecPercent(IntPercent percent) override { Add(Event(WM_EXEC_PERCENT, {}, int(percent))); }
    int ExecNewDB(const QString& instanceName, const QString& databaseName) override
    {
        Add(Event(WM_EXEC_NEWDB, {}, 0, instanceName, databaseName));
        return NewDBReply;
    }
    void ExecResult(const TResultSnapshot& snapshot) override
    {
        TExecEvent e = Event(WM_EXEC_RESULT);
        e.Snapshot = snapshot;
        Add(e);
    }
    int ExecWarn(const QString& fileList) override
    {
        Add(Event(WM_EXEC_WARN, {}, 0, fileList));
        if (WarnReply == 1 && Thread)
            Thread->Terminate();
        return WarnReply;
    }

    QStringList Logs() const { return Collect(WM_EXEC_LOGS); }
    QStringList Msgs() const { return Collect(WM_EXEC_MSGS); }
    QList<int> Values(TExecMessage id) const
    {
        QList<int> out;
        for (const auto& e : Events)
            if (e.Id == id)
                out << e.Value;
        return out;
    }
    QList<TResultSnapshot> Results() const
    {
        QList<TResultSnapshot> out;
        for (const auto& e : Events)
            if (e.Id == WM_EXEC_RESULT)
                out << e.Snapshot;
        return out;
    }
    QStringList NewDatabases() const
    {
        QStringList out;
        for (const auto& e : Events)
            if (e.Id == WM_EXEC_NEWDB)
                out << e.Second;
        return out;
    }
    QList<TExecMessage> Ids() const
    {
        QList<TExecMessage> out;
        for (const auto& e : Events)
            out << e.Id;
        return out;
    }

private:
    static TExecEvent Event(TExecMessage id, const QStringList& lines = {}, int value = 0, const QString& first = {},
                            const QString& second = {})
    {
        TExecEvent e;
        e.Id = id;
        e.Lines = lines;
        e.Value = value;
        e.First = first;
        e.Second = second;
        return e;
    }
    void Add(const TExecEvent& e)
    {
        Events.push_back(e);
        if (OnEvent)
            OnEvent(Events.back());
    }
    QStringList Collect(TExecMessage id) const
    {
        QStringList out;
        for (const auto& e : Events)
            if (e.Id == id)
                out += e.Lines;
        return out;
    }
};

// Runs one whole run on its own thread and waits for its end.
inline void RunToEnd(TExecRecorder& recorder, const QStringList& files, const TInstanceAndDBArr& databases,
                     const TConfig& config, const std::function<void(TExecThread&)>& whileRunning = {})
{
    TExecThread thread(&recorder, files, databases, config);
    recorder.Thread = &thread;
    thread.Start();
    if (whileRunning)
        whileRunning(thread);
    thread.Wait();
    recorder.Thread = nullptr;
}

inline TConfig RunConfig(bool trans, bool continueOnError, bool receive = true)
{
    TConfig c;
    c.ReceiveResults = receive;
    c.ContinueOnError = continueOnError;
    c.TransExecution = trans;
    c.SaveList = true;
    c.CopyTitle = true;
    return c;
}
