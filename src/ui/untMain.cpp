#include "untMain.h"

#include "untDbOutcome.h"
#include "untDmMain.h"
#include "untExcelUtils.h"
#include "untExecBridge.h"
#include "untExportProgress.h"
#include "untIcons.h"
#include "untProgressPanel.h"
#include "untPrompt.h"
#include "untResultPageControl.h"
#include "untResultStringGrid.h"
#include "untShell.h"
#include "untThread.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// A report-style list: header, whole-row selection, no editing, no tree
// decoration; the selection stays visible without the focus.
QTreeWidget* MakeListView(QWidget* parent, const QStringList& headers, bool multiSelect,
                          const QString& accessibleName)
{
    auto* list = new QTreeWidget(parent);
    list->setHeaderLabels(headers);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(multiSelect ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setAccessibleName(accessibleName);
    list->header()->setSectionsMovable(false);
    // Inactive selections keep the active colours.
    QPalette palette = list->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    list->setPalette(palette);
    return list;
}

// Lays out a list whose updates are off, scroll bars included, so that
// turning its updates on paints it once. The scroll area shows or hides a
// scroll bar in a queued call, and each stretched column that the scroll bar
// narrows would ask for a repaint of its own on a zero timer: both happen
// here, with the header's signals held back (the one paint that follows
// covers every column).
void LayOutUnpainted(QTreeWidget* list)
{
    const QSignalBlocker columns(list->header());
    list->doItemsLayout();
    for (int pass = 0; pass < 2; ++pass)
        QCoreApplication::sendPostedEvents(list, 0);
}

// Frees result pages a slice at a time, one slice per pass of the event
// loop, earliest first: Qt takes a page apart in about a tenth of a
// millisecond, so freeing the pages of a run over thousands of databases in
// one go would hold the window for a noticeable time when the next run
// starts. The pages are hidden already; one still waiting when its parent
// goes is freed with the parent.
void FreeInSlices(std::vector<QPointer<TResultPageControl>> latestFirst, QObject* context)
{
    constexpr std::size_t slice = 25;
    for (std::size_t i = 0; i < slice && !latestFirst.empty(); ++i) {
        delete latestFirst.back().data();
        latestFirst.pop_back();
    }
    if (!latestFirst.empty())
        QTimer::singleShot(0, context, [pages = std::move(latestFirst), context] { FreeInSlices(pages, context); });
}

// A title bar: single border, highlight-coloured background.
QLabel* MakeTitleBar(const QString& caption, QWidget* parent)
{
    auto* title = new QLabel(caption, parent);
    title->setFrameShape(QFrame::Box);
    title->setAutoFillBackground(true);
    title->setBackgroundRole(QPalette::Highlight);
    title->setForegroundRole(QPalette::HighlightedText);
    title->setFixedHeight(23);
    title->setContentsMargins(4, 0, 4, 0);
    return title;
}

QLabel* MakeStatusPanel(const QString& text, int width, QWidget* parent)
{
    auto* panel = new QLabel(text, parent);
    panel->setFixedWidth(width);
    panel->setFrameShape(QFrame::NoFrame);
    return panel;
}

} // namespace

// Hands each notification to the window's handler of that message.
class TfrmMain::TWindowReceiver final : public TExecReceiver {
public:
    explicit TWindowReceiver(TfrmMain* window) : W(window) {}
    void ExecStart() override { W->WMExecStart(); }
    void ExecLogs(const QStringList& lines) override { W->WMExecLogs(lines); }
    void ExecMsgs(const QStringList& lines) override { W->WMExecMsgs(lines); }
    void ExecStatus(TStatusType status) override { W->WMExecStatus(status); }
    void ExecPercent(IntPercent percent) override { W->WMExecPercent(percent); }
    int ExecNewDB(const QString& instanceName, const QString& databaseName) override
    {
        return W->WMExecNewDB(instanceName, databaseName);
    }
    void ExecResult(const TResultSnapshot& snapshot) override { W->WMExecResult(snapshot); }
    int ExecWarn(const QString& fileList) override { return W->WMExecWarn(fileList); }

private:
    TfrmMain* W;
};

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Orvexa"));
    setWindowIcon(ApplicationIcon());
    setMinimumSize(640, 400);
    resize(1112, 586);
    SaveDestDir = GetDocumentsPath();
    FReceiver = std::make_unique<TWindowReceiver>(this);

    CreateActions();
    CreateLayout();
    CreateMenus();
    CreateStatusBar();

    FLogTimer = new QTimer(this);
    FLogTimer->setSingleShot(true);
    FLogTimer->setInterval(30);
    connect(FLogTimer, &QTimer::timeout, this, &TfrmMain::FlushLog);

    // Key preview: the window sees keys before the focused control.
    qApp->installEventFilter(this);
}

TfrmMain::~TfrmMain()
{
    qApp->removeEventFilter(this);
    if (FBridge)
        FBridge->Detach();
    // A run still going (the window is freed without being closed, as in a
    // test) gets its batch cancelled and no longer reaches this window: the
    // detached bridge answers its remaining notifications by itself, so it
    // lives until the thread, which frees itself when it ends, is gone.
    if (ExecThread) {
        ExecThread->Cancel();
        QObject::connect(ExecThread, &QObject::destroyed, [bridge = FBridge.release()] { delete bridge; });
    }
    PageControls.clear();
}

void TfrmMain::SetDialogs(TDialogs dialogs)
{
    FDialogs = std::move(dialogs);
    actAddDB->setVisible(bool(FDialogs.AddDatabases));
    actAddDB->setEnabled(bool(FDialogs.AddDatabases) && FStatus != stConstruct && FStatus != stExec);
    actOptions->setVisible(bool(FDialogs.Options));
    actOptions->setEnabled(bool(FDialogs.Options) && FStatus != stConstruct && FStatus != stExec);
    actAbout->setVisible(bool(FDialogs.About));
    actAbout->setEnabled(bool(FDialogs.About));
}

// ---------------------------------------------------------------- building

QAction* TfrmMain::MakeAction(const QString& caption, const QString& category, const QString& icon,
                              void (TfrmMain::*handler)(), bool enabled)
{
    auto* action = new QAction(AppIcon(icon), caption, this);
    QString hint = caption;
    hint.remove(QLatin1Char('&'));
    action->setToolTip(hint);
    action->setStatusTip(hint);
    action->setProperty("category", category);
    action->setEnabled(enabled);
    // A disabled action never triggers, whatever invokes it.
    connect(action, &QAction::triggered, this, [this, handler] { RunGuarded([this, handler] { (this->*handler)(); }); });
    addAction(action);
    return action;
}

void TfrmMain::CreateActions()
{
    const QString db = QStringLiteral("Databases"), sql = QStringLiteral("SQL"), exec = QStringLiteral("Execute"),
                  results = QStringLiteral("Results"), help = QStringLiteral("Help");
    actAddDB = MakeAction(QStringLiteral("&Add Databases..."), db, QStringLiteral("list-add"),
                          &TfrmMain::actAddDBExecute, true);
    actDelDB = MakeAction(QStringLiteral("&Delete Databases"), db, QStringLiteral("list-remove"),
                          &TfrmMain::actDelDBExecute, false);
    actImportDBList = MakeAction(QStringLiteral("&Import Database List..."), db, QStringLiteral("document-import"),
                                 &TfrmMain::actImportDBListExecute, true);
    actExportDBList = MakeAction(QStringLiteral("&Export Database List..."), db, QStringLiteral("document-export"),
                                 &TfrmMain::actExportDBListExecute, false);
    actClearDB = MakeAction(QStringLiteral("&Clear Database List"), db, QStringLiteral("edit-clear-list"),
                            &TfrmMain::actClearDBExecute, false);
    actAddSQLFile = MakeAction(QStringLiteral("&Add SQL Files..."), sql, QStringLiteral("document-open"),
                               &TfrmMain::actAddSQLFileExecute, true);
    actEditSQLFile = MakeAction(QStringLiteral("&Edit SQL File"), sql, QStringLiteral("document-edit"),
                                &TfrmMain::actEditSQLFileExecute, false);
    actRemoveSQLFile = MakeAction(QStringLiteral("Remove SQL Files"), sql, QStringLiteral("edit-delete"),
                                  &TfrmMain::actRemoveSQLFileExecute, false);
    actMoveUp = MakeAction(QStringLiteral("&Move Up"), sql, QStringLiteral("go-up"), &TfrmMain::actMoveUpExecute, false);
    actMoveDown = MakeAction(QStringLiteral("M&ove Down"), sql, QStringLiteral("go-down"),
                             &TfrmMain::actMoveDownExecute, false);
    actRun = MakeAction(QStringLiteral("&Run"), exec, QStringLiteral("media-playback-start"), &TfrmMain::actRunExecute,
                        false);
    actStop = MakeAction(QStringLiteral("&Stop"), exec, QStringLiteral("media-playback-stop"),
                         &TfrmMain::actStopExecute, false);
    actOptions = MakeAction(QStringLiteral("&Options..."), exec, QStringLiteral("configure"),
                            &TfrmMain::actOptionsExecute, true);
    actExportCurrentTabResult = MakeAction(QStringLiteral("&Export Current Result"), results,
                                           QStringLiteral("document-export-table"),
                                           &TfrmMain::actExportCurrentTabResultExecute, true);
    actExportCurrentDBResults = MakeAction(QStringLiteral("E&xport All Results of Current Database"), results,
                                           QStringLiteral("document-save-as"),
                                           &TfrmMain::actExportCurrentDBResultsExecute, true);
    actExportAllResults = MakeAction(QStringLiteral("Ex&port All Results"), results,
                                     QStringLiteral("document-save-all"), &TfrmMain::actExportAllResultsExecute, true);
    actHelp = MakeAction(QStringLiteral("&Help"), help, QStringLiteral("help-contents"), &TfrmMain::actHelpExecute,
                         true);
    actAbout = MakeAction(QStringLiteral("&About..."), help, QStringLiteral("help-about"), &TfrmMain::actAboutExecute,
                          true);
    actHelp->setShortcut(QKeySequence::HelpContents);
    actRun->setShortcut(QKeySequence(Qt::Key_F5));
    actRun->setShortcutContext(Qt::WindowShortcut);

    pmnCopy = new QAction(AppIcon(QStringLiteral("edit-copy")), QStringLiteral("Copy"), this);
    connect(pmnCopy, &QAction::triggered, this, [this] { RunGuarded([this] { pmnCopyClick(); }); });

    // The dialogs are offered once they are supplied (SetDialogs).
    for (QAction* action : {actAddDB, actOptions, actAbout}) {
        action->setVisible(false);
        action->setEnabled(false);
    }
}

void TfrmMain::CreateMenus()
{
    QMenuBar* bar = menuBar();
    QMenu* menu = bar->addMenu(QStringLiteral("&Databases"));
    menu->addActions({actAddDB, actDelDB, actImportDBList, actExportDBList, actClearDB});
    menu = bar->addMenu(QStringLiteral("&SQL"));
    menu->addActions({actAddSQLFile, actEditSQLFile, actRemoveSQLFile, actMoveUp, actMoveDown});
    menu = bar->addMenu(QStringLiteral("&Execute"));
    menu->addActions({actRun, actStop, actOptions});
    menu = bar->addMenu(QStringLiteral("&Results"));
    menu->addActions({actExportCurrentTabResult, actExportCurrentDBResults, actExportAllResults});
    menu = bar->addMenu(QStringLiteral("&Help"));
    menu->addActions({actHelp, actAbout});

    ToolBar = addToolBar(QStringLiteral("ToolBar"));
    ToolBar->setObjectName(QStringLiteral("ToolBar"));
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    ToolBar->setIconSize(QSize(32, 32));
    ToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    auto gap = [this] {
        auto* space = new QWidget(ToolBar);
        space->setFixedWidth(8);
        ToolBar->addWidget(space);
    };
    ToolBar->addActions({actAddDB, actDelDB, actImportDBList, actExportDBList, actClearDB});
    ToolBar->addSeparator();
    ToolBar->addActions({actRun, actStop, actOptions});
    ToolBar->addSeparator();
    ToolBar->addActions({actAddSQLFile, actRemoveSQLFile, actMoveUp, actMoveDown});
    gap();
    ToolBar->addActions({actExportCurrentTabResult, actExportCurrentDBResults, actExportAllResults});
    ToolBar->addSeparator();
    ToolBar->addActions({actHelp, actAbout});
    gap();

    pmDBPopup = new QMenu(this);
    pmDBPopup->addAction(actAddDB);
    // The popup's own "Delete Databases": enabled by the selection each time
    // the popup opens, running the same command.
    pmnDelDB = new QAction(actDelDB->icon(), actDelDB->text(), pmDBPopup);
    connect(pmnDelDB, &QAction::triggered, actDelDB, &QAction::trigger);
    pmDBPopup->addAction(pmnDelDB);
    pmDBPopup->addSeparator();
    pmDBPopup->addActions({actImportDBList, actExportDBList});
    pmDBPopup->addSeparator();
    pmDBPopup->addAction(actClearDB);

    pmSQLPopup = new QMenu(this);
    pmSQLPopup->addActions({actAddSQLFile, actRemoveSQLFile, actMoveUp, actMoveDown, actEditSQLFile});

    pmGrid = new QMenu(this);
    pmGrid->addAction(pmnCopy);
    pmGrid->addActions({actExportCurrentTabResult, actExportCurrentDBResults, actExportAllResults});

    for (QMenu* popup : {pmDBPopup, pmSQLPopup})
        connect(popup, &QMenu::aboutToShow, this,
                [this] { pmnDelDB->setEnabled(actDelDB->isEnabled() || !lvDatabases->selectedItems().isEmpty()); });

    lvDatabases->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvDatabases, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { pmDBPopup->popup(lvDatabases->viewport()->mapToGlobal(pos)); });
    lvSQLFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvSQLFiles, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { pmSQLPopup->popup(lvSQLFiles->viewport()->mapToGlobal(pos)); });
}

void TfrmMain::CreateLayout()
{
    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    setCentralWidget(central);

    splBottom = new QSplitter(Qt::Vertical, central);
    splBottom->setObjectName(QStringLiteral("splBottom"));
    splBottom->setHandleWidth(3);
    splBottom->setChildrenCollapsible(false);
    centralLayout->addWidget(splBottom);

    // Work area: databases | log | script files.
    auto* work = new QSplitter(Qt::Horizontal, splBottom);
    work->setObjectName(QStringLiteral("pnlMain"));
    work->setChildrenCollapsible(false);
    pnlMain = work;

    lvDatabases = MakeListView(work, {QStringLiteral("Instance"), QStringLiteral("Database")}, true,
                               QStringLiteral("Databases"));
    lvDatabases->setObjectName(QStringLiteral("lvDatabases"));
    lvDatabases->header()->setSectionResizeMode(QHeaderView::Stretch);
    lvDatabases->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lvDatabases->setMinimumWidth(120);

    auto* center = new QWidget(work);
    center->setObjectName(QStringLiteral("pnCenter"));
    auto* centerLayout = new QVBoxLayout(center);
    centerLayout->setContentsMargins(0, 0, 0, 0);
    centerLayout->setSpacing(0);
    pnlTitle = MakeTitleBar(QStringLiteral("Execution Log"), center);
    mmLog = new QPlainTextEdit(center);
    mmLog->setObjectName(QStringLiteral("mmLog"));
    mmLog->setReadOnly(true);
    mmLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    mmLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmLog->setAccessibleName(QStringLiteral("Execution Log"));
    mmLog->setUndoRedoEnabled(false);
    mmLog->setTabChangesFocus(true);
    mmLog->setPlaceholderText(QStringLiteral(
        "Add databases (Databases > Add Databases...) and SQL files (SQL > Add SQL Files...), then press Run."));
    centerLayout->addWidget(pnlTitle);
    centerLayout->addWidget(mmLog);

    lvSQLFiles = MakeListView(work, {QStringLiteral("SQL File"), QStringLiteral("Sequence"), QStringLiteral("Path")},
                              true, QStringLiteral("SQL Files"));
    lvSQLFiles->setObjectName(QStringLiteral("lvSQLFiles"));
    lvSQLFiles->header()->setStretchLastSection(false);
    lvSQLFiles->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    lvSQLFiles->header()->setSectionResizeMode(1, QHeaderView::Interactive);
    lvSQLFiles->header()->setSectionResizeMode(2, QHeaderView::Interactive);
    // Wide enough for the titles in the platform's font.
    const QFontMetrics titles(lvSQLFiles->header()->font());
    lvSQLFiles->setColumnWidth(1, qMax(38, titles.horizontalAdvance(QStringLiteral("Sequence")) + 16));
    lvSQLFiles->setColumnWidth(2, qMax(50, titles.horizontalAdvance(QStringLiteral("Path")) + 16));
    lvSQLFiles->setMinimumWidth(120);

    work->addWidget(lvDatabases);
    work->addWidget(center);
    work->addWidget(lvSQLFiles);
    work->setStretchFactor(0, 0);
    work->setStretchFactor(1, 1);
    work->setStretchFactor(2, 0);
    work->setSizes({200, 1112 - 200 - 225, 225});

    // Result area, hidden until the first run.
    pnlBottom = new QWidget(splBottom);
    pnlBottom->setObjectName(QStringLiteral("pnlBottom"));
    auto* bottomLayout = new QVBoxLayout(pnlBottom);
    bottomLayout->setContentsMargins(0, 0, 0, 0);
    bottomLayout->setSpacing(0);
    pnlBottomTitle = MakeTitleBar(QStringLiteral("Execution Result"), pnlBottom);
    bottomLayout->addWidget(pnlBottomTitle);
    auto* resultSplit = new QSplitter(Qt::Horizontal, pnlBottom);
    resultSplit->setObjectName(QStringLiteral("Splitter4"));
    resultSplit->setChildrenCollapsible(false);
    lvResults = MakeListView(resultSplit, {QStringLiteral("Instance"), QStringLiteral("Database")}, false,
                             QStringLiteral("Results"));
    lvResults->setObjectName(QStringLiteral("lvResults"));
    lvResults->setColumnWidth(0, 97);
    lvResults->setColumnWidth(1, 97);
    pnlBottomClient = new QWidget(resultSplit);
    pnlBottomClient->setObjectName(QStringLiteral("pnlBottomClient"));
    pnlBottomClient->setAccessibleName(QStringLiteral("Execution Result"));
    auto* clientLayout = new QGridLayout(pnlBottomClient);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    lblNoResult = new QLabel(QStringLiteral("No result or no result set is chose"), pnlBottomClient);
    lblNoResult->setAlignment(Qt::AlignCenter);
    clientLayout->addWidget(lblNoResult, 0, 0);
    resultSplit->addWidget(lvResults);
    resultSplit->addWidget(pnlBottomClient);
    resultSplit->setStretchFactor(1, 1);
    resultSplit->setSizes({198, 900});
    bottomLayout->addWidget(resultSplit);
    splBottom->addWidget(work);
    splBottom->addWidget(pnlBottom);
    splBottom->setStretchFactor(0, 1);
    splBottom->setStretchFactor(1, 0);
    pnlBottom->hide();

    connect(lvDatabases, &QTreeWidget::itemSelectionChanged, this, &TfrmMain::WMUpdateSelActions);
    connect(lvSQLFiles, &QTreeWidget::itemSelectionChanged, this, &TfrmMain::WMUpdateSelActions);
    connect(lvDatabases, &QTreeWidget::itemDoubleClicked, this, [this] { actAddDB->trigger(); });
    connect(lvSQLFiles, &QTreeWidget::itemDoubleClicked, this, [this] { actEditSQLFile->trigger(); });
    connect(lvResults, &QTreeWidget::itemSelectionChanged, this, &TfrmMain::lvResultsSelectItem);
}

void TfrmMain::CreateStatusBar()
{
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(true);
    StatusPanel0 = MakeStatusPanel(QStringLiteral("0 database(s)"), 180, bar);
    StatusPanel1 = MakeStatusPanel(QStringLiteral("Ready"), 280, bar);
    StatusPanel2 = new TProgressPanel(bar);
    StatusPanel2->setFixedWidth(100);
    StatusPanel3 = MakeStatusPanel(QStringLiteral("0 SQL file(s)"), 180, bar);
    StatusPanel0->setAccessibleName(QStringLiteral("Database count"));
    StatusPanel1->setAccessibleName(QStringLiteral("Run status"));
    StatusPanel3->setAccessibleName(QStringLiteral("SQL file count"));
    StatusPanel2->SetSource([this] { return std::pair<bool, IntPercent>(FStatus == stExec, ExecPercent); });
    bar->addWidget(StatusPanel0);
    bar->addWidget(StatusPanel1);
    bar->addWidget(StatusPanel2);
    bar->addWidget(StatusPanel3);
}

// ---------------------------------------------------------------- showing and closing

void TfrmMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!FFirstShow)
        return;
    FFirstShow = false;
    setWindowState(windowState() | Qt::WindowMaximized);
    // Without a window manager (a bare X server, a kiosk session) nothing
    // maximises the window: it then takes the screen's free area itself.
    // (Qt reports the state as asked for, so the size tells.)
    QTimer::singleShot(300, this, [this] {
        if (!screen() || isFullScreen())
            return;
        const QRect available = screen()->availableGeometry();
        if (frameGeometry().width() < available.width() * 9 / 10) {
            setWindowState(windowState() & ~Qt::WindowMaximized);
            setGeometry(available);
        }
    });
    FStatus = stReady;
    RunGuarded([this] { LoadDBList(); });
    WMUpdateListActions();
}

QString TfrmMain::CloseDuringRunText()
{
    return QStringLiteral("A run is in progress. Stop it and close?");
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    if (ExecThread) {
        // Never wait for the thread here: it may be blocked in a
        // notification that needs this thread. Ask it to stop (its running
        // batch cancelled and its file rolled back), keep the event loop
        // going, and close once it has ended.
        if (!FCloseWhenStopped
            && ShowMessage(CloseDuringRunText(), QStringLiteral("Hint"), TMsgIcon::Question,
                           TMsgButton::Yes | TMsgButton::No)
                   != TMsgButton::Yes) {
            event->ignore();
            return;
        }
        FCloseWhenStopped = true;
        if (ExecThread)
            ExecThread->Cancel();
        SetStatusText(QStringLiteral("Stoping ..."));
        event->ignore();
        return;
    }
    try {
        PageControls.clear();
        if (!CurrentConfig.SaveList && dmMain && dmMain->IsStoreOpen())
            dmMain->ClearDBList();
    } catch (...) {
        // Errors while closing are discarded.
    }
    QMainWindow::closeEvent(event);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress || !isActiveWindow())
        return QMainWindow::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this)
        return QMainWindow::eventFilter(watched, event);
    if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
        if (widget == lvDatabases)
            actDelDB->trigger();
        else if (widget == lvSQLFiles)
            actRemoveSQLFile->trigger();
        return QMainWindow::eventFilter(watched, event);
    }
    if (key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
        QTreeWidget* list = widget == lvDatabases ? lvDatabases : widget == lvSQLFiles ? lvSQLFiles : nullptr;
        if (list) {
            QTreeWidgetItem* current = list->currentItem();
            QPoint at = current ? list->visualItemRect(current).center() : QPoint(8, 8);
            (list == lvDatabases ? pmDBPopup : pmSQLPopup)->popup(list->viewport()->mapToGlobal(at));
            return true;
        }
    }
    // Ctrl+A and Ctrl+C on a result grid (only Ctrl is looked at): the grid's
    // own select-all and copy, with titles as the options say. The grid's
    // built-in copy of the current cell must not run after it.
    if ((key->modifiers() & Qt::ControlModifier) && (key->key() == Qt::Key_A || key->key() == Qt::Key_C)) {
        TResultStringGrid* grid = nullptr;
        for (QWidget* w = widget; w && w != this; w = w->parentWidget())
            if ((grid = dynamic_cast<TResultStringGrid*>(w)))
                break;
        if (grid) {
            if (key->key() == Qt::Key_A)
                grid->SelectAll();
            else
                grid->CopySelection(CurrentConfig.CopyTitle);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::RunGuarded(const std::function<void()>& step)
{
    // What a handler raises is shown in the standard error box and ends it.
    try {
        step();
    } catch (const std::exception& e) {
        ShowErrorReport(e);
    }
}

// ---------------------------------------------------------------- lists

void TfrmMain::LoadDBList()
{
    if (!dmMain)
        throw EOrvexaError(QStringLiteral("The local store is not available."));
    const TInstanceAndDBArr list = dmMain->GetDBList();
    lvDatabases->setUpdatesEnabled(false);
    const QSignalBlocker blocker(lvDatabases);
    lvDatabases->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(list.size());
    const QIcon icon = AppIcon(QStringLiteral("server-database"));
    for (const TInstanceAndDBInfo& info : list) {
        auto* item = new QTreeWidgetItem(QStringList{info.InstanceName, info.DatabaseName});
        item->setIcon(0, icon);
        items.append(item);
    }
    lvDatabases->addTopLevelItems(items);
    LayOutUnpainted(lvDatabases);
    lvDatabases->setUpdatesEnabled(true);
    StatusPanel0->setText(QStringLiteral(" %1 database(s)").arg(list.size()));
    WMUpdateSelActions();
}

void TfrmMain::RenumberSQLFiles()
{
    for (int i = 0; i < lvSQLFiles->topLevelItemCount(); ++i)
        lvSQLFiles->topLevelItem(i)->setText(1, QString::number(i + 1));
}

void TfrmMain::SetSQLFileCountText()
{
    StatusPanel3->setText(QStringLiteral(" %1 SQL file(s)").arg(lvSQLFiles->topLevelItemCount()));
}

void TfrmMain::WMUpdateListActions()
{
    const bool hasDB = lvDatabases->topLevelItemCount() > 0;
    actClearDB->setEnabled(hasDB);
    actExportDBList->setEnabled(hasDB);
    actRun->setEnabled(hasDB && lvSQLFiles->topLevelItemCount() > 0);
}

void TfrmMain::WMUpdateSelActions()
{
    const bool fileSelected = !lvSQLFiles->selectedItems().isEmpty();
    actMoveUp->setEnabled(fileSelected);
    actMoveDown->setEnabled(fileSelected);
    actEditSQLFile->setEnabled(fileSelected);
    actRemoveSQLFile->setEnabled(fileSelected);
    actDelDB->setEnabled(!lvDatabases->selectedItems().isEmpty());
}

QStringList TfrmMain::SQLFilePaths() const
{
    QStringList paths;
    for (int i = 0; i < lvSQLFiles->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = lvSQLFiles->topLevelItem(i);
        paths.append(item->text(2) + item->text(0));
    }
    return paths;
}

void TfrmMain::AddSQLFiles(const QStringList& paths)
{
    lvSQLFiles->setUpdatesEnabled(false);
    QList<QTreeWidgetItem*> items;
    items.reserve(paths.size());
    const QIcon icon = AppIcon(QStringLiteral("text-x-sql"));
    int sequence = lvSQLFiles->topLevelItemCount();
    for (const QString& path : paths) {
        const QString native = QDir::toNativeSeparators(path);
        const QFileInfo info(native);
        QString folder = QDir::toNativeSeparators(info.path());
        if (!folder.endsWith(QDir::separator()))
            folder += QDir::separator();
        auto* item = new QTreeWidgetItem(QStringList{info.fileName(), QString::number(++sequence), folder});
        item->setIcon(0, icon);
        item->setToolTip(2, folder);
        items.append(item);
    }
    lvSQLFiles->addTopLevelItems(items);
    LayOutUnpainted(lvSQLFiles);
    lvSQLFiles->setUpdatesEnabled(true);
    SetSQLFileCountText();
    WMUpdateListActions();
}

void TfrmMain::actAddDBExecute()
{
    if (!FDialogs.AddDatabases)
        return;
    if (FDialogs.AddDatabases()) {
        LoadDBList();
        WMUpdateListActions();
    }
}

void TfrmMain::actDelDBExecute()
{
    const QList<QTreeWidgetItem*> selected = lvDatabases->selectedItems();
    if (selected.isEmpty())
        return;
    TInstanceAndDBArr list;
    for (int i = 0; i < lvDatabases->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = lvDatabases->topLevelItem(i);
        if (!item->isSelected())
            continue;
        TInstanceAndDBInfo info;
        info.InstanceName = item->text(0);
        info.DatabaseName = item->text(1);
        list.push_back(info);
    }
    dmMain->DeleteDBList(list);
    LoadDBList();
    WMUpdateListActions();
}

void TfrmMain::actClearDBExecute()
{
    dmMain->ClearDBList();
    LoadDBList();
    WMUpdateListActions();
}

void TfrmMain::actImportDBListExecute()
{
    if (ShowMessage(QStringLiteral("Importing databse list will cause the existing list to be lost. Continue?"),
                    QStringLiteral("Hint"), TMsgIcon::Question, TMsgButton::Yes | TMsgButton::No)
        != TMsgButton::Yes)
        return;
    const QString file = Prompt().GetOpenFileName(
        this, QStringLiteral("Import database list"), QString(),
        QtFileFilter(QStringLiteral("XML Files(*.xml)|*.xml|Data Files(*.dat)|*.dat|All Files(*.*)|*")));
    if (file.isEmpty())
        return;
    // An import that fails has already said why and kept the lists; the
    // window shows the store as it is either way.
    dmMain->ImportDBList(file);
    LoadDBList();
    WMUpdateListActions();
}

void TfrmMain::actExportDBListExecute()
{
    if (lvDatabases->topLevelItemCount() == 0) {
        ShowMessage(QStringLiteral("List of database is empty."), QStringLiteral("Hint"), TMsgIcon::Information);
        return;
    }
    const QString file = Prompt().GetSaveFileName(
        this, QStringLiteral("Export database list"), QString(),
        QtFileFilter(QStringLiteral("XML Files(*.xml)|*.xml|Data Files(*.dat)|*.dat|All Files(*.*)|*")),
        QStringLiteral("dat"));
    if (file.isEmpty())
        return;
    dmMain->ExportDBList(file);
}

void TfrmMain::actAddSQLFileExecute()
{
    const QStringList files =
        Prompt().GetOpenFileNames(this, QStringLiteral("Select SQL Files"), QString(),
                                  QtFileFilter(QStringLiteral("SQL Files(*.sql)|*.sql|TEXT Files(*.txt)|*.txt")));
    if (files.isEmpty())
        return;
    AddSQLFiles(files);
}

void TfrmMain::actEditSQLFileExecute()
{
    for (int i = 0; i < lvSQLFiles->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = lvSQLFiles->topLevelItem(i);
        if (item->isSelected()) {
            ShellOpenFile(item->text(2) + item->text(0));
            return;
        }
    }
}

void TfrmMain::actRemoveSQLFileExecute()
{
    lvSQLFiles->setUpdatesEnabled(false);
    if (!lvSQLFiles->selectedItems().isEmpty()) {
        for (int i = lvSQLFiles->topLevelItemCount() - 1; i >= 0; --i)
            if (lvSQLFiles->topLevelItem(i)->isSelected())
                delete lvSQLFiles->takeTopLevelItem(i);
        RenumberSQLFiles();
        SetSQLFileCountText();
    }
    lvSQLFiles->setUpdatesEnabled(true);
    WMUpdateListActions();
}

void TfrmMain::MoveSQLFile(int step)
{
    int first = -1;
    for (int i = 0; i < lvSQLFiles->topLevelItemCount(); ++i)
        if (lvSQLFiles->topLevelItem(i)->isSelected()) {
            first = i;
            break;
        }
    const int target = first + step;
    if (first < 0 || target < 0 || target >= lvSQLFiles->topLevelItemCount())
        return;
    lvSQLFiles->setUpdatesEnabled(false);
    // The entry changes places with its neighbour; selections stay as they were.
    QTreeWidgetItem* item = lvSQLFiles->takeTopLevelItem(first);
    lvSQLFiles->insertTopLevelItem(target, item);
    item->setSelected(true);
    lvSQLFiles->setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
    RenumberSQLFiles();
    lvSQLFiles->setUpdatesEnabled(true);
    WMUpdateListActions();
}

void TfrmMain::actMoveUpExecute()
{
    MoveSQLFile(-1);
}

void TfrmMain::actMoveDownExecute()
{
    MoveSQLFile(1);
}

void TfrmMain::actOptionsExecute()
{
    if (FDialogs.Options)
        FDialogs.Options();
}

void TfrmMain::actAboutExecute()
{
    if (FDialogs.About)
        FDialogs.About();
}

void TfrmMain::actHelpExecute()
{
    // The help page installed beside the program (or its share folder).
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {dir + QStringLiteral("/Orvexa.html"), dir + QStringLiteral("/../share/doc/orvexa/Orvexa.html"),
          dir + QStringLiteral("/../share/orvexa/Orvexa.html"), QDir::currentPath() + QStringLiteral("/Orvexa.html")}) {
        if (QFileInfo::exists(candidate)) {
            ShellOpenFile(QFileInfo(candidate).absoluteFilePath());
            return;
        }
    }
}

// ---------------------------------------------------------------- status and results

void TfrmMain::SetStatus(TStatusType value)
{
    switch (value) {
    case stReady:
        ResetTagIndex();
        lvResults->clear();
        {
            std::vector<QPointer<TResultPageControl>> pages;
            for (auto it = PageControls.rbegin(); it != PageControls.rend(); ++it) {
                (*it)->hide();
                pages.emplace_back(it->release());
            }
            PageControls.clear();
            FreeInSlices(std::move(pages), this);
        }
        lblNoResult->show();
        SetStatusText(QStringLiteral("Ready"));
        break;
    case stConstruct:
        lvDatabases->setEnabled(false);
        lvSQLFiles->setEnabled(false);
        for (QAction* action : {actAddDB, actDelDB, actClearDB, actImportDBList, actAddSQLFile, actRemoveSQLFile,
                                actMoveUp, actMoveDown, actRun})
            action->setEnabled(false);
        actStop->setEnabled(true);
        for (QAction* action : {actOptions, actExportCurrentTabResult, actExportCurrentDBResults, actExportAllResults})
            action->setEnabled(false);
        if (!pnlBottom->isVisible()) {
            pnlBottom->show();
            const int total = splBottom->height();
            splBottom->setSizes({qMax(total - 250, 100), 250});
        }
        SetStatusText(QStringLiteral("Constructing task list..."));
        break;
    case stExec:
        SetStatusText(QStringLiteral("Executing..."));
        break;
    case stOK:
    case stFail:
        lvDatabases->setEnabled(true);
        lvSQLFiles->setEnabled(true);
        actAddDB->setEnabled(bool(FDialogs.AddDatabases));
        actImportDBList->setEnabled(true);
        actAddSQLFile->setEnabled(true);
        WMUpdateSelActions();
        WMUpdateListActions();
        actRun->setEnabled(true);
        actStop->setEnabled(false);
        actOptions->setEnabled(bool(FDialogs.Options));
        for (QAction* action : {actExportCurrentTabResult, actExportCurrentDBResults, actExportAllResults})
            action->setEnabled(true);
        SetStatusText(value == stOK ? QStringLiteral("Execution completed successfully")
                                    : QStringLiteral("Execution failed. Please check the detailed log."));
        break;
    }
    FStatus = value;
    RepaintStatusBar();
}

void TfrmMain::SetStatusText(const QString& text)
{
    StatusPanel1->setText(text);
    emit StatusTextChanged(text);
}

void TfrmMain::RepaintStatusBar()
{
    StatusPanel2->update();
    statusBar()->update();
}

TResultPageControl* TfrmMain::LastPageControl() const
{
    return PageControls.empty() ? nullptr : PageControls.back().get();
}

TResultPageControl* TfrmMain::VisiblePageControl() const
{
    for (auto it = PageControls.rbegin(); it != PageControls.rend(); ++it)
        if ((*it)->isVisibleTo(pnlBottomClient))
            return it->get();
    return nullptr;
}

void TfrmMain::lvResultsSelectItem()
{
    QTreeWidgetItem* item = lvResults->currentItem();
    if (!item)
        return;
    const qint32 key = item->data(0, Qt::UserRole).toInt();
    for (auto it = PageControls.rbegin(); it != PageControls.rend(); ++it)
        (*it)->setVisible((*it)->Tag == key);
    pnlBottomTitle->setText(QStringLiteral("Execution Result   [ Instance:") + item->text(0)
                            + QStringLiteral("   Database:") + item->text(1) + QStringLiteral(" ]"));
    lblNoResult->setVisible(VisiblePageControl() == nullptr);
}

TResultStringGrid* TfrmMain::GridOfContext() const
{
    if (TResultStringGrid* grid = TResultStringGrid::MenuGrid(pmGrid))
        return grid;
    for (QWidget* w = QApplication::focusWidget(); w; w = w->parentWidget())
        if (auto* grid = dynamic_cast<TResultStringGrid*>(w))
            return grid;
    return nullptr;
}

void TfrmMain::pmnCopyClick()
{
    if (TResultStringGrid* grid = GridOfContext())
        grid->CopySelection(CurrentConfig.CopyTitle);
}

// ---------------------------------------------------------------- runs

void TfrmMain::actRunExecute()
{
    // One run at a time: a thread that is still set (between Run and its
    // first status, or finishing) blocks another.
    if (ExecThread)
        return;
    if (lvDatabases->topLevelItemCount() == 0 || lvSQLFiles->topLevelItemCount() == 0)
        return;
    SetStatus(stReady);
    const QStringList paths = SQLFilePaths();
    const TInstanceAndDBArr databases = dmMain->GetDBList();

    FBridge = std::make_unique<TExecReceiverBridge>(FReceiver.get(), this);
    auto* thread = new TExecThread(FBridge.get(), paths, databases);
    ExecThread = thread;
    thread->SetFreeOnTerminate(true);
    connect(thread, &QThread::finished, this, &TfrmMain::ExecThreadTerminated, Qt::QueuedConnection);
    actRun->setEnabled(false);
    thread->Start();
}

void TfrmMain::actStopExecute()
{
    if (ExecThread) {
        // The first Stop is honoured before the next batch; a second one
        // cancels the batch that is running.
        if (ExecThread->Terminated())
            ExecThread->Cancel();
        else
            ExecThread->Terminate();
    }
    SetStatusText(QStringLiteral("Stoping ..."));
}

void TfrmMain::ExecThreadTerminated()
{
    FlushLog();
    ExecThread = nullptr;
    // The bridge outlives every call the thread made: it has finished.
    FBridge.reset();
    if (FStatus == stConstruct || FStatus == stExec || FStatus == stReady) {
        // A run that ended without its final status (a receiver failure)
        // still unlocks the window.
        if (FStatus != stReady)
            SetStatus(stFail);
        else
            actRun->setEnabled(lvDatabases->topLevelItemCount() > 0 && lvSQLFiles->topLevelItemCount() > 0);
    }
    if (FCloseWhenStopped)
        QTimer::singleShot(0, this, &QWidget::close);
}

void TfrmMain::WMExecStart()
{
    FPendingLog.clear();
    FDBLog.clear();
    mmLog->clear();
}

void TfrmMain::WMExecLogs(const QStringList& lines)
{
    FPendingLog.append(lines);
    if (!PageControls.empty())
        FDBLog.append(lines);
    if (!FLogTimer->isActive())
        FLogTimer->start();
}

void TfrmMain::FlushLog()
{
    if (FPendingLog.isEmpty())
        return;
    QScrollBar* bar = mmLog->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum() - 2;
    const int keep = bar->value();
    // One append for the whole batch: a single layout pass. Entries may hold
    // line breaks of their own.
    QString text = FPendingLog.join(QLatin1Char('\n'));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    FPendingLog.clear();
    mmLog->appendPlainText(text);
    if (atEnd)
        bar->setValue(bar->maximum());
    else
        bar->setValue(keep);
}

void TfrmMain::WMExecMsgs(const QStringList& lines)
{
    if (TResultPageControl* page = LastPageControl())
        page->AddMsgs(lines);
}

void TfrmMain::WMExecStatus(TStatusType status)
{
    if (status == stOK || status == stFail) {
        FlushLog();
        MarkLastDatabase(status == stFail);
    }
    SetStatus(status);
}

void TfrmMain::WMExecPercent(IntPercent percent)
{
    ExecPercent = percent;
    RepaintStatusBar();
}

int TfrmMain::WMExecNewDB(const QString& instanceName, const QString& databaseName)
{
    int result = 1;
    try {
        MarkLastDatabase(false);
        FDBLog.clear();
        const QString instance = instanceName;  // copies: the payload is the thread's
        const QString database = databaseName;
        auto* item = new QTreeWidgetItem(QStringList{instance, database});
        const qint32 key = NextTagIndex();
        item->setData(0, Qt::UserRole, key);
        item->setIcon(0, AppIcon(QStringLiteral("media-playback-start")));
        lvResults->addTopLevelItem(item);

        auto page = std::make_unique<TResultPageControl>(pnlBottomClient, pnlBottomClient);
        static_cast<QGridLayout*>(pnlBottomClient->layout())->addWidget(page.get(), 0, 0);
        page->hide();
        page->Tag = key;
        page->FInstanceName = instance;
        page->FDBName = database;
        page->FGridMenu = pmGrid;
        PageControls.push_back(std::move(page));
        if (lvResults->topLevelItemCount() == 1)
            lvResults->setCurrentItem(item);
        result = 0;
    } catch (const std::exception& e) {
        ShowErrorReport(e);
    }
    return result;
}

void TfrmMain::MarkLastDatabase(bool runEnded)
{
    // The database the run has left (or ended with): its outcome from the
    // log lines it wrote.
    QTreeWidgetItem* item = lvResults->topLevelItem(lvResults->topLevelItemCount() - 1);
    if (PageControls.empty() || !item)
        return;
    const TDbOutcome parsed = ParseDbOutcome(FDBLog, runEnded);
    const TDBOutcome outcome = parsed.Outcome;
    const QString& firstError = parsed.FirstError;
    QString icon, tip;
    switch (outcome) {
    case TDBOutcome::Running: icon = QStringLiteral("media-playback-start"); tip = QStringLiteral("Running"); break;
    case TDBOutcome::Succeeded: icon = QStringLiteral("dialog-ok-apply"); tip = QStringLiteral("Succeeded"); break;
    case TDBOutcome::RolledBack:
        icon = QStringLiteral("dialog-warning");
        tip = QStringLiteral("Failed and rolled back");
        break;
    case TDBOutcome::Failed: icon = QStringLiteral("dialog-error"); tip = QStringLiteral("Failed"); break;
    case TDBOutcome::Stopped: icon = QStringLiteral("process-stop"); tip = QStringLiteral("Stopped"); break;
    }
    if (!firstError.isEmpty())
        tip += QStringLiteral(": ") + firstError;
    item->setIcon(0, AppIcon(icon));
    item->setToolTip(0, tip);
    item->setToolTip(1, tip);
    item->setData(1, Qt::UserRole, int(outcome));
}

void TfrmMain::WMExecResult(const TResultSnapshot& snapshot)
{
    if (TResultPageControl* page = LastPageControl())
        page->AddResult(snapshot);
}

int TfrmMain::WMExecWarn(const QString& fileList)
{
    if (ShowMessage(UseGoNQuestion(fileList), QStringLiteral("Warn"), TMsgIcon::Warning,
                    TMsgButton::Yes | TMsgButton::No)
        == TMsgButton::Yes)
        return 0;
    if (ExecThread)
        ExecThread->Terminate();
    return 1;
}

// ---------------------------------------------------------------- exports

void TfrmMain::actExportCurrentTabResultExecute()
{
    ExportResults(0);
}

void TfrmMain::actExportCurrentDBResultsExecute()
{
    ExportResults(1);
}

void TfrmMain::actExportAllResultsExecute()
{
    ExportResults(2);
}

void TfrmMain::ExportResults(int kind)
{
    const auto info = [](const QString& text) {
        ShowMessage(text, QStringLiteral("Information"), TMsgIcon::Information);
    };
    const auto hasResults = [](const TVariantArr& data) {
        return !data.isEmpty() && data.first().isValid() && !data.first().isNull();
    };
    const TFolderChooser chooseFolder = [this](const QString& caption, const QString& start) {
        return Prompt().GetExistingDirectory(this, caption, start);
    };
    // What to export: one source per database (all of them, or the page
    // shown), or the tab selected on the page shown.
    QList<TExportSource> sources;
    int tabIndex = -1;
    if (kind == 2) {
        if (PageControls.empty()) {
            info(QStringLiteral("There are no database results."));
            return;
        }
        if (!SelectDestDir(SaveDestDir, Prompt(), chooseFolder))
            return;
        for (const auto& page : PageControls)
            sources.append({page->FInstanceName, page->FDBName, page->GetCurrentDBDataArr()});
    } else {
        TResultPageControl* page = VisiblePageControl();
        if (!page) {
            info(QStringLiteral("There are no database results."));
            return;
        }
        const TVariantArr data = kind == 0 ? page->GetCurrentTabDataArr() : page->GetCurrentDBDataArr();
        if (!hasResults(data)) {
            info(kind == 0 ? QStringLiteral("Current tab is message tab or has no results.")
                           : QStringLiteral("Current database has no results."));
            return;
        }
        if (!SelectDestDir(SaveDestDir, Prompt(), chooseFolder))
            return;
        sources.append({page->FInstanceName, page->FDBName, data});
        if (kind == 0)
            tabIndex = page->GetCurrentTabIndex();
    }

    // The workbooks are written on a worker behind a progress dialog that
    // can cancel; message boxes the export asks for show here, on the GUI
    // thread. Errors reach the standard error box (RunGuarded).
    TGuiThreadMessageBox messages(Prompt());
    const QString destDir = SaveDestDir;
    bool ok = true;
    try {
        ok = RunWithProgress(this, QStringLiteral("Exporting results..."), [&](const TExportProgress& progress) {
            if (tabIndex >= 0) {
                const TExportSource& s = sources.first();
                return ExportToExcel(ExportFileName(destDir, s.DBName), s.InstanceName, s.DBName, s.Data, tabIndex,
                                     messages, progress);
            }
            return ExportDatabases(sources, destDir, messages, progress);
        });
    } catch (const UserCancelException&) {
        // Cancelled in the progress dialog: the partial workbook is gone and
        // the user knows why.
        return;
    }
    if (ok)
        info(QStringLiteral("Export successfully completed."));
    else
        ShowMessage(QStringLiteral("Some error occured when exporting."), QStringLiteral("Error"), TMsgIcon::Error);
}
