// The result grid: one result set in a read-only table view that draws its
// cells straight from the grid's own result table.
//
// Layout: the title row is the horizontal header (column names, centred),
// the number column is the vertical header (record numbers, right-aligned),
// and the corner button is the corner cell. Indexes in the functions below
// count the title row and the number column, as a user sees the grid: row r
// (1 <= r <= RowCount) is record r, column c (1 <= c <= ColumnCount) is the
// table's column c - 1; the view's model row and column are r - 1 and c - 1.
//
// Cost: loading a result shares the snapshot's storage (no rows are copied)
// and makes no text; a cell's text is made when the cell is painted, copied
// or asked for its tool tip, always with TResultView::DisplayText, so the
// grid, the copy and the exports show the same text. Rows are all one height
// and column widths come from the titles alone, so loading never scans the
// rows.
//
// GUI thread only.
#pragma once

#include "untResultTable.h"

#include <QMenu>
#include <QPointer>
#include <QTableView>

class TResultGridModel;

class TResultStringGrid : public QTableView {
public:
    explicit TResultStringGrid(QWidget* AOwner = nullptr);
    ~TResultStringGrid() override;

    // Loads a result set: the grid's table shares the snapshot's rows. Sets
    // the row height (20 px at 96 dpi), the number column's width (the text
    // of record count + 1, plus 30 px) and each column's width (its title
    // plus 30 px), then repaints.
    void FillData(const TResultSnapshot& Data);
    // The grid's result set as a snapshot, independent of the grid.
    TResultSnapshot GetData() const;
    // The grid's own table (read-only).
    const TResultView& DataSet() const;

    // Selections of whole blocks, in grid indexes (see above). Each does
    // nothing while the result has no records or no columns; SelectRow(0)
    // and SelectCol(0) do nothing either.
    void SelectAll();
    void SelectRow(int ARow);
    void SelectCol(int ACol);

    // The selected block in grid indexes (left, top, right, bottom,
    // inclusive); false when nothing is selected. A block is the bounding
    // rectangle of the selection (the grid allows one rectangle only).
    bool Selection(int& ALeft, int& ATop, int& ARight, int& ABottom) const;

    // The selected block as text, one line per row: each cell's text
    // followed by a tab, trailing characters up to code 32 removed, CR LF
    // after every line including the last; with CopyTitle, the column names
    // the same way first. Empty when nothing is selected.
    QString SelectionText(bool CopyTitle) const;
    // Puts SelectionText on the clipboard as plain text. With nothing
    // selected the clipboard is left alone.
    void CopySelection(bool CopyTitle);

    // The popup menu opened by a right-click anywhere on the grid, its
    // titles and numbers included (not owned; null: none). The grid a menu
    // was last opened on is MenuGrid(menu).
    void SetPopupMenu(QMenu* AMenu);
    QMenu* PopupMenu() const { return FPopupMenu; }
    static TResultStringGrid* MenuGrid(const QMenu* AMenu);

    // Row height and fixed widths at this grid's screen resolution.
    int RowHeightPx() const;
    int Scaled(int px96) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    // Copy and select-all keys act as CopySelection (titles as the CopyTitle
    // option says) and SelectAll, in case no window handled them first.
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Only the left button selects cells; other buttons leave the selection
    // as it is (a right-click opens the menu on it).
    void mousePressEvent(QMouseEvent* event) override;

private:
    // A press on the title row, the number column or the corner (cell
    // indexes, -1 outside); selects as described above.
    void HeaderPressed(int ACol, int ARow);
    void ShowPopupMenu(const QPoint& globalPos);
    void SelectBlock(int ALeft, int ATop, int ARight, int ABottom);
    void ApplyGeometry();

    TResultTable FDataSet;
    TResultGridModel* FModel = nullptr;
    QPointer<QMenu> FPopupMenu;
    QWidget* FCorner = nullptr;
};
