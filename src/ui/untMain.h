// The main window: the database list (kept in the store), the ordered list of
// script files (kept only here), the execution log, the result area with one
// result page per database of the last run, and the status bar with its
// progress panel.
//
// Every command is one QAction (CreateActions builds them all); menus, the
// tool bar and the popups add the same objects, so a disabled command does
// nothing however it is invoked.
//
// Runs: Run starts a TExecThread whose notifications reach this window on the
// GUI thread through a TExecReceiverBridge; each handler runs to its end
// while the thread waits. The only thing the window does to a running thread
// is ask it to stop (Stop) or to cancel its running batch (a second Stop, or
// closing the window).
#pragma once

#include "untCommon.h"
#include "untDbOutcome.h"
#include "untExecNotify.h"
#include "untThread.h"

#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QTimer;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class TExecReceiverBridge;
class TProgressPanel;
class TResultPageControl;
class TResultStringGrid;

// The message numbers the window "sends" itself (direct calls here).
constexpr int WM_UPDATELISTACTIONS = WM_USER_BASE + 0x96;
constexpr int WM_UPDATESELACTIONS = WM_USER_BASE + 0x97;

class TfrmMain : public QMainWindow {
    Q_OBJECT

public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // The dialogs the window opens. A command whose dialog is not supplied
    // is not offered (hidden and disabled). AddDatabases returns true when
    // the dialog closed with OK.
    struct TDialogs {
        std::function<bool()> AddDatabases;
        std::function<void()> Options;
        std::function<void()> About;
    };
    void SetDialogs(TDialogs dialogs);

    // ---- Commands
    QAction* actAddDB = nullptr;
    QAction* actDelDB = nullptr;
    QAction* actImportDBList = nullptr;
    QAction* actExportDBList = nullptr;
    QAction* actClearDB = nullptr;
    QAction* actAddSQLFile = nullptr;
    QAction* actEditSQLFile = nullptr;
    QAction* actRemoveSQLFile = nullptr;
    QAction* actMoveUp = nullptr;
    QAction* actMoveDown = nullptr;
    QAction* actRun = nullptr;
    QAction* actStop = nullptr;
    QAction* actOptions = nullptr;
    QAction* actExportCurrentTabResult = nullptr;
    QAction* actExportCurrentDBResults = nullptr;
    QAction* actExportAllResults = nullptr;
    QAction* actHelp = nullptr;
    QAction* actAbout = nullptr;
    // The "Copy" entry of the grid menu.
    QAction* pmnCopy = nullptr;

    // ---- Controls
    QToolBar* ToolBar = nullptr;
    QMenu* pmDBPopup = nullptr;
    QMenu* pmSQLPopup = nullptr;
    QMenu* pmGrid = nullptr;
    QAction* pmnDelDB = nullptr;  // "Delete Databases" of pmDBPopup
    QTreeWidget* lvDatabases = nullptr;
    QTreeWidget* lvSQLFiles = nullptr;
    QTreeWidget* lvResults = nullptr;
    QPlainTextEdit* mmLog = nullptr;
    QLabel* pnlTitle = nullptr;
    QSplitter* splBottom = nullptr;  // between the work area and the result area
    QWidget* pnlMain = nullptr;
    QWidget* pnlBottom = nullptr;
    QLabel* pnlBottomTitle = nullptr;
    QWidget* pnlBottomClient = nullptr;
    QLabel* lblNoResult = nullptr;  // pnlBottomClient's own caption
    QLabel* StatusPanel0 = nullptr;
    QLabel* StatusPanel1 = nullptr;
    TProgressPanel* StatusPanel2 = nullptr;
    QLabel* StatusPanel3 = nullptr;

    // ---- Window state
    TStatusType Status() const { return FStatus; }
    void SetStatus(TStatusType value);
    IntPercent ExecPercent = 0;
    QPointer<TExecThread> ExecThread;
    qint32 TagIndex = 0;
    // The result pages of the last run, in the order the run reached them.
    std::vector<std::unique_ptr<TResultPageControl>> PageControls;
    QString SaveDestDir;

    // ---- Window operations
    void LoadDBList();
    void RenumberSQLFiles();
    void WMUpdateListActions();
    void WMUpdateSelActions();
    TResultPageControl* LastPageControl() const;
    qint32 NextTagIndex() { return TagIndex++; }
    void ResetTagIndex() { TagIndex = 1; }
    TResultPageControl* VisiblePageControl() const;
    void ExecThreadTerminated();
    // Full paths of the script list, in list order.
    QStringList SQLFilePaths() const;
    // Adds script files at the end of the list (Add SQL Files after its dialog).
    void AddSQLFiles(const QStringList& paths);
    // The grid a grid command acts on: the one the grid menu was opened on,
    // else the focused one; null when neither is a result grid.
    TResultStringGrid* GridOfContext() const;

    // ---- The handlers of the thread's notifications (GUI thread; the run
    // waits while each one runs)
    void WMExecStart();
    void WMExecLogs(const QStringList& lines);
    void WMExecMsgs(const QStringList& lines);
    void WMExecStatus(TStatusType status);
    void WMExecPercent(IntPercent percent);
    int WMExecNewDB(const QString& instanceName, const QString& databaseName);
    void WMExecResult(const TResultSnapshot& snapshot);
    int WMExecWarn(const QString& fileList);

    // The question asked when the window is closed during a run.
    static QString CloseDuringRunText();

signals:
    // Status panel 1 took a new text (run status, "Stoping ...").
    void StatusTextChanged(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateLayout();
    void CreateStatusBar();
    QAction* MakeAction(const QString& caption, const QString& category, const QString& icon,
                        void (TfrmMain::*handler)(), bool enabled);

    // Command handlers.
    void actAddDBExecute();
    void actDelDBExecute();
    void actImportDBListExecute();
    void actExportDBListExecute();
    void actClearDBExecute();
    void actAddSQLFileExecute();
    void actEditSQLFileExecute();
    void actRemoveSQLFileExecute();
    void actMoveUpExecute();
    void actMoveDownExecute();
    void actRunExecute();
    void actStopExecute();
    void actOptionsExecute();
    void actExportCurrentTabResultExecute();
    void actExportCurrentDBResultsExecute();
    void actExportAllResultsExecute();
    void actHelpExecute();
    void actAboutExecute();
    void pmnCopyClick();

    void lvResultsSelectItem();
    void MoveSQLFile(int step);
    void SetDBStatusText();
    void SetSQLFileCountText();
    void SetStatusText(const QString& text);
    void RepaintStatusBar();
    void FlushLog();
    void MarkLastDatabase(bool runEnded);
    void RunGuarded(const std::function<void()>& step);
    void ExportResults(int kind);

    TStatusType FStatus = stReady;
    bool FFirstShow = true;
    bool FCloseWhenStopped = false;
    TDialogs FDialogs;
    class TWindowReceiver;
    std::unique_ptr<TWindowReceiver> FReceiver;
    std::unique_ptr<TExecReceiverBridge> FBridge;
    // Log lines waiting for the next paint of mmLog.
    QStringList FPendingLog;
    QTimer* FLogTimer = nullptr;
    // The current database's outcome, read from the run's log lines.
    QStringList FDBLog;
};
