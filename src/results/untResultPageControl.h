// The result page of one database: a tab widget whose first tab ("Message")
// holds the text lines of that database's run and whose further tabs
// ("Result1", "Result2", ...) each show one result set in a result grid.
//
// The main window creates one TResultPageControl per database as a run
// reaches it, fills FInstanceName, FDBName, FGridMenu and Tag, then appends
// message lines (AddMsgs) and result sets (AddResult) as they arrive. The
// page also hands its result sets to the export (GetCurrentDBDataArr,
// GetCurrentTabDataArr, GetCurrentTabIndex).
//
// Ownership: a page is a child of its parent widget (freed with it unless
// freed before); the page owns its tabs, each tab its grid or text box, each
// grid its table. Result sets are snapshots, shared and immutable: a tab
// keeps its own copy, and the arrays handed out hold copies too, so they stay
// valid after the page is gone.
//
// A result tab makes its grid the first time it is shown or asked for it
// (ResultGrid), so a database with thousands of result sets adds thousands of
// light tabs, not thousands of views.
//
// GUI thread only.
#pragma once

#include "untCommon.h"
#include "untResultStringGrid.h"
#include "untResultTable.h"

#include <QMenu>
#include <QPointer>
#include <QStringList>
#include <QTabWidget>
#include <QWidget>

class QPlainTextEdit;

// The message tab: a read-only text box with a vertical scroll bar only,
// filling the tab (accessible name "Messages").
class TMsgTabSheet : public QWidget {
public:
    explicit TMsgTabSheet(QWidget* AOwner = nullptr);

    // Appends each line, in order, after the lines already there. An empty
    // entry is an empty line; an entry with line breaks gives several lines.
    void AddMsgs(const QStringList& Msgs);

    QPlainTextEdit* MsgLog = nullptr;  // owned by the tab
};

// A result tab: one result set and the grid that shows it (accessible name
// as the tab's caption, "Result1" ...). The grid is made on first show.
class TResultTabSheet : public QWidget {
public:
    explicit TResultTabSheet(QWidget* AOwner = nullptr);

    // Keeps the snapshot (and loads it into the grid when there is one).
    void FillData(const TResultSnapshot& Data);
    // The tab's result set; a copy, valid after the tab is gone.
    TResultSnapshot GetData() const { return FData; }

    // The tab's grid, made now if it has not been shown yet.
    TResultStringGrid* ResultGrid();
    // The grid if it exists already, else null.
    TResultStringGrid* ExistingGrid() const { return FGrid; }

    // Caption given to the grid as its accessible name; popup menu given
    // to the grid (not owned; null: none). Both apply to a grid made later.
    void SetGridName(const QString& name);
    void SetGridMenu(QMenu* menu);

protected:
    void showEvent(QShowEvent* event) override;

private:
    TResultSnapshot FData;
    TResultStringGrid* FGrid = nullptr;
    QString FGridName;
    QPointer<QMenu> FGridMenu;
};

class TResultPageControl : public QTabWidget {
public:
    // Places the page in AParent, or, when AParent is null, in AOwner if
    // that is a widget; otherwise throws EOrvexaError("Parameter 'Parent'
    // can't  be empty.") and makes nothing. The page starts hidden, with its
    // "Message" tab selected.
    TResultPageControl(QObject* AOwner, QWidget* AParent);
    ~TResultPageControl() override;

    // Adds a tab "Result<n>" (n = the number of result tabs after adding)
    // at the end, holding a copy of Data; its grid gets FGridMenu as its
    // popup menu when FGridMenu is set now. The selected tab stays as it is.
    void AddResult(const TResultSnapshot& Data);
    // Appends the lines to the "Message" tab.
    void AddMsgs(const QStringList& Msgs);

    // Every result tab's snapshot in tab order, each as a QVariant of
    // TResultSnapshot; without result tabs one null QVariant.
    TVariantArr GetCurrentDBDataArr() const;
    // The selected result tab's snapshot; one null QVariant when the
    // "Message" tab or no tab is selected.
    TVariantArr GetCurrentTabDataArr() const;
    // The selected tab's index: 0 the message tab, k the tab "Result<k>",
    // -1 none.
    int GetCurrentTabIndex() const;

    TMsgTabSheet* MsgTab() const { return FMsgTab; }
    // Result tab k (1 <= k <= result tab count), else null.
    TResultTabSheet* ResultTab(int k) const;
    int ResultCount() const { return count() - 1; }

    // Filled by the creator right after construction; never changed here.
    QPointer<QMenu> FGridMenu;  // not owned; may be null
    QString FInstanceName;
    QString FDBName;
    int Tag = 0;                // the creator's own key for this page

private:
    TMsgTabSheet* FMsgTab = nullptr;
};
