#include "untResultStringGrid.h"

#include "untCommon.h"

#include <QAbstractButton>
#include <QAbstractTableModel>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionHeader>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <climits>

namespace {

// Design sizes at 96 dpi.
constexpr int RowHeight96 = 20;
constexpr int TitlePadding96 = 30;    // added to a title's or a number's text width
constexpr int NumberRightGap96 = 5;   // numbers end this far left of the cell's edge
constexpr int ToolTipChars = 4000;    // longest value shown whole in a tool tip

const char* const MenuGridProperty = "orvexaMenuGrid";

// A line break inside a value would leave a one-line cell showing a fragment;
// on screen it reads as a space (the copy keeps the value as it is).
QString OneLine(QString text)
{
    for (QChar& ch : text)
        if (ch == QLatin1Char('\n') || ch == QLatin1Char('\r') || ch == QChar::LineSeparator
            || ch == QChar::ParagraphSeparator)
            ch = QLatin1Char(' ');
    return text;
}

// Removes every trailing character with a code up to 32 (space and the
// control characters).
void TrimRight(QString& line)
{
    qsizetype n = line.size();
    while (n > 0 && line.at(n - 1).unicode() <= 32)
        --n;
    line.truncate(n);
}

// Headers that paint their own one-line labels: titles centred, numbers
// right-aligned a fixed gap from the edge, both cut with an ellipsis. The
// extent across the header (the number column's width, the title row's
// height) is fixed by the grid, so the view never measures labels.
class TGridHeader final : public QHeaderView {
public:
    TGridHeader(Qt::Orientation orientation, QWidget* parent) : QHeaderView(orientation, parent) {}

    void SetExtent(int extent, int rightGap)
    {
        FExtent = extent;
        FRightGap = rightGap;
        updateGeometry();
    }

    QSize sizeHint() const override
    {
        return orientation() == Qt::Horizontal ? QSize(length(), FExtent) : QSize(FExtent, length());
    }

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override
    {
        if (!rect.isValid())
            return;
        QStyleOptionHeader opt;
        initStyleOption(&opt);
        initStyleOptionForIndex(&opt, logicalIndex);
        const QString text = opt.text;
        opt.rect = rect;
        opt.text.clear();
        opt.icon = QIcon();
        style()->drawControl(QStyle::CE_Header, &opt, painter, this);

        const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, &opt, this);
        QRect textRect = orientation() == Qt::Horizontal ? rect.adjusted(margin, 0, -margin, 0)
                                                         : rect.adjusted(margin, 0, -FRightGap, 0);
        const Qt::Alignment align = (orientation() == Qt::Horizontal ? Qt::AlignHCenter : Qt::AlignRight)
                                    | Qt::AlignVCenter;
        painter->save();
        painter->setClipRect(rect);
        painter->setPen(opt.palette.color(QPalette::ButtonText));
        painter->drawText(textRect, int(align) | Qt::TextSingleLine,
                          fontMetrics().elidedText(OneLine(text), Qt::ElideRight, textRect.width()));
        painter->restore();
    }

private:
    int FExtent = 0;
    int FRightGap = 0;
};

// Draws a cell's text straight onto the cell: one line, centred, cut with an
// ellipsis; the background shows selection, focus and Null. Lighter than
// the style's item drawing, which lays every cell's text out as a document.
class TResultCellDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QWidget* view = option.widget;
        const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (option.state & QStyle::State_Active) ? QPalette::Normal
                                                                                    : QPalette::Inactive;
        const bool selected = option.state & QStyle::State_Selected;
        if (selected) {
            painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
        } else {
            const QVariant background = index.data(Qt::BackgroundRole);
            if (background.isValid())
                painter->fillRect(option.rect, background.value<QBrush>());
        }
        const QString text = index.data(Qt::DisplayRole).toString();
        if (!text.isEmpty()) {
            const QStyle* style = view ? view->style() : QApplication::style();
            const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
            const QRect textRect = option.rect.adjusted(margin, 0, -margin, 0);
            painter->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
            painter->setFont(option.font);
            painter->drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine,
                              option.fontMetrics.elidedText(text, Qt::ElideRight, textRect.width()));
        }
        if (option.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(option);
            focus.backgroundColor = option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
            const QStyle* style = view ? view->style() : QApplication::style();
            style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, view);
        }
    }
};

}  // namespace

// The view's model: model row r - 1 / column c - 1 of grid row r / column c.
// Reads the grid's table; holds nothing per row or cell.
class TResultGridModel final : public QAbstractTableModel {
public:
    TResultGridModel(const TResultView& view, QObject* parent) : QAbstractTableModel(parent), FView(view) {}

    void BeginLoad() { beginResetModel(); }
    void EndLoad() { endResetModel(); }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : int(qMin<qint64>(FView.RowCount(), INT_MAX));
    }
    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : FView.ColumnCount();
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        QModelRoleData one(role);
        multiData(index, QModelRoleDataSpan(one));
        return one.data();
    }

    // One look at the table per painted cell, whatever the roles asked.
    void multiData(const QModelIndex& index, QModelRoleDataSpan roles) const override
    {
        if (!index.isValid()) {
            for (QModelRoleData& r : roles)
                r.clearData();
            return;
        }
        const bool isNull = FView.IsNull(index.row(), index.column());
        for (QModelRoleData& r : roles) {
            switch (r.role()) {
            case Qt::DisplayRole:
            case Qt::AccessibleTextRole:
                r.setData(isNull ? QString() : OneLine(FView.DisplayText(index.row(), index.column())));
                break;
            case Qt::TextAlignmentRole: r.setData(int(Qt::AlignCenter)); break;
            case Qt::BackgroundRole:
                if (isNull)
                    r.setData(QBrush(NullTint()));
                else
                    r.clearData();
                break;
            default: r.clearData(); break;
            }
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal) {
            if (section < 0 || section >= FView.ColumnCount())
                return {};
            if (role == Qt::DisplayRole)
                return FView.Column(section).Name;
            if (role == Qt::TextAlignmentRole)
                return int(Qt::AlignCenter);
            return {};
        }
        if (role == Qt::DisplayRole)
            return QString::number(qint64(section) + 1);
        if (role == Qt::TextAlignmentRole)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    }

    // A faint tint that marks a Null cell on light and dark palettes alike.
    static QColor NullTint() { return QColor(128, 128, 128, 40); }

private:
    const TResultView& FView;
};

// ---------------------------------------------------------------------------

TResultStringGrid::TResultStringGrid(QWidget* AOwner) : QTableView(AOwner)
{
    FModel = new TResultGridModel(FDataSet, this);

    auto* top = new TGridHeader(Qt::Horizontal, this);
    auto* left = new TGridHeader(Qt::Vertical, this);
    setHorizontalHeader(top);
    setVerticalHeader(left);
    setModel(FModel);
    setItemDelegate(new TResultCellDelegate(this));

    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::ContiguousSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setShowGrid(true);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setCornerButtonEnabled(true);
    setTabKeyNavigation(false);
    verticalScrollBar()->setTracking(true);
    horizontalScrollBar()->setTracking(true);

    for (QHeaderView* header : {horizontalHeader(), verticalHeader()}) {
        header->setSectionsMovable(false);
        // Presses on titles and numbers select through HeaderPressed, for
        // every mouse button alike.
        header->setSectionsClickable(false);
        header->setSectionResizeMode(QHeaderView::Interactive);
        header->setHighlightSections(true);
        header->setMinimumSectionSize(1);
        header->viewport()->installEventFilter(this);
    }
    // The corner cell is a button child of the view; QTableView connects it
    // to its own select-all, which HeaderPressed replaces.
    for (QAbstractButton* button : findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly)) {
        disconnect(button, nullptr, this, nullptr);
        button->installEventFilter(this);
        FCorner = button;
    }
    ApplyGeometry();
}

TResultStringGrid::~TResultStringGrid()
{
    // The view lets go of its model before the table the model reads goes.
    setModel(nullptr);
}

int TResultStringGrid::Scaled(int px96) const
{
    return qRound(px96 * logicalDpiY() / 96.0);
}

int TResultStringGrid::RowHeightPx() const
{
    return Scaled(RowHeight96);
}

void TResultStringGrid::ApplyGeometry()
{
    const int rowHeight = RowHeightPx();
    const QFontMetrics fm = fontMetrics();
    auto* top = static_cast<TGridHeader*>(horizontalHeader());
    auto* left = static_cast<TGridHeader*>(verticalHeader());
    // Qt walks every row when the default height changes: it is set before
    // a result is loaded and again only when the resolution changes it.
    if (left->defaultSectionSize() != rowHeight)
        left->setDefaultSectionSize(rowHeight);
    top->SetExtent(rowHeight, 0);
    left->SetExtent(fm.horizontalAdvance(QString::number(FDataSet.RowCount() + 1)) + Scaled(TitlePadding96),
                    Scaled(NumberRightGap96));
    for (int c = 0; c < FDataSet.ColumnCount(); ++c)
        top->resizeSection(c, fm.horizontalAdvance(FDataSet.Column(c).Name) + Scaled(TitlePadding96));
}

void TResultStringGrid::FillData(const TResultSnapshot& Data)
{
    FModel->BeginLoad();
    FDataSet.LoadFromSnapshot(Data);
    FModel->EndLoad();
    ApplyGeometry();
    // The first record's first cell is current and selected, as a grid
    // starts out.
    if (FModel->rowCount() > 0 && FModel->columnCount() > 0)
        setCurrentIndex(FModel->index(0, 0));
    updateGeometries();
    viewport()->update();
}

TResultSnapshot TResultStringGrid::GetData() const
{
    return FDataSet.Snapshot();
}

const TResultView& TResultStringGrid::DataSet() const
{
    return FDataSet;
}

void TResultStringGrid::SelectBlock(int ALeft, int ATop, int ARight, int ABottom)
{
    const QModelIndex topLeft = FModel->index(ATop - 1, ALeft - 1);
    const QModelIndex bottomRight = FModel->index(ABottom - 1, ARight - 1);
    selectionModel()->setCurrentIndex(topLeft, QItemSelectionModel::NoUpdate);
    selectionModel()->select(QItemSelection(topLeft, bottomRight), QItemSelectionModel::ClearAndSelect);
}

void TResultStringGrid::SelectAll()
{
    const int rows = FModel->rowCount();
    const int cols = FModel->columnCount();
    if (rows < 1 || cols < 1)
        return;
    SelectBlock(1, 1, cols, rows);
}

void TResultStringGrid::SelectRow(int ARow)
{
    const int rows = FModel->rowCount();
    const int cols = FModel->columnCount();
    if (rows < 1 || cols < 1 || ARow < 1 || ARow > rows)
        return;
    SelectBlock(1, ARow, cols, ARow);
}

void TResultStringGrid::SelectCol(int ACol)
{
    const int rows = FModel->rowCount();
    const int cols = FModel->columnCount();
    if (rows < 1 || cols < 1 || ACol < 1 || ACol > cols)
        return;
    SelectBlock(ACol, 1, ACol, rows);
}

bool TResultStringGrid::Selection(int& ALeft, int& ATop, int& ARight, int& ABottom) const
{
    const QItemSelection selection = selectionModel()->selection();
    bool any = false;
    for (const QItemSelectionRange& range : selection) {
        if (!range.isValid())
            continue;
        if (!any) {
            ALeft = range.left();
            ATop = range.top();
            ARight = range.right();
            ABottom = range.bottom();
            any = true;
        } else {
            ALeft = qMin(ALeft, range.left());
            ATop = qMin(ATop, range.top());
            ARight = qMax(ARight, range.right());
            ABottom = qMax(ABottom, range.bottom());
        }
    }
    if (!any)
        return false;
    ++ALeft;
    ++ATop;
    ++ARight;
    ++ABottom;
    return true;
}

QString TResultStringGrid::SelectionText(bool CopyTitle) const
{
    int left = 0, top = 0, right = 0, bottom = 0;
    if (!Selection(left, top, right, bottom))
        return {};
    QString text;
    QString line;
    const QLatin1String lineEnd("\r\n");
    if (CopyTitle) {
        for (int c = left; c <= right; ++c)
            line += FDataSet.Column(c - 1).Name + QLatin1Char('\t');
        TrimRight(line);
        text += line + lineEnd;
    }
    for (int r = top; r <= bottom; ++r) {
        line.clear();
        for (int c = left; c <= right; ++c)
            line += FDataSet.DisplayText(r - 1, c - 1) + QLatin1Char('\t');
        TrimRight(line);
        text += line;
        text += lineEnd;
    }
    return text;
}

void TResultStringGrid::CopySelection(bool CopyTitle)
{
    int left = 0, top = 0, right = 0, bottom = 0;
    if (!Selection(left, top, right, bottom))
        return;
    QApplication::clipboard()->setText(SelectionText(CopyTitle), QClipboard::Clipboard);
}

void TResultStringGrid::SetPopupMenu(QMenu* AMenu)
{
    FPopupMenu = AMenu;
}

TResultStringGrid* TResultStringGrid::MenuGrid(const QMenu* AMenu)
{
    if (!AMenu)
        return nullptr;
    const QPointer<QObject> grid = AMenu->property(MenuGridProperty).value<QPointer<QObject>>();
    return dynamic_cast<TResultStringGrid*>(grid.data());
}

void TResultStringGrid::ShowPopupMenu(const QPoint& globalPos)
{
    if (!FPopupMenu)
        return;
    FPopupMenu->setProperty(MenuGridProperty, QVariant::fromValue(QPointer<QObject>(this)));
    FPopupMenu->popup(globalPos);
}

void TResultStringGrid::contextMenuEvent(QContextMenuEvent* event)
{
    if (!FPopupMenu) {
        QTableView::contextMenuEvent(event);
        return;
    }
    ShowPopupMenu(event->globalPos());
    event->accept();
}

void TResultStringGrid::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void TResultStringGrid::HeaderPressed(int ACol, int ARow)
{
    if (ARow == 0 && ACol == 0)
        SelectAll();
    else if (ARow == 0 && ACol > 0)
        SelectCol(ACol);
    else if (ACol == 0 && ARow > 0)
        SelectRow(ARow);
}

namespace {

// The section under a header press, or -1 when the press is outside every
// section or on a border that the header resizes by dragging.
int PressedSection(const QHeaderView* header, const QPoint& pos)
{
    const int along = header->orientation() == Qt::Horizontal ? pos.x() : pos.y();
    const int section = header->logicalIndexAt(along);
    if (section < 0)
        return -1;
    const int start = header->sectionViewportPosition(section);
    const int size = header->sectionSize(section);
    const int grip = header->style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, header);
    const int offset = along - start;
    if ((offset < grip && header->visualIndex(section) > 0) || offset > size - grip)
        return -1;
    return section;
}

}  // namespace

bool TResultStringGrid::eventFilter(QObject* watched, QEvent* event)
{
    const bool onTop = watched == horizontalHeader()->viewport();
    const bool onLeft = watched == verticalHeader()->viewport();
    const bool onCorner = watched == FCorner;
    if (!onTop && !onLeft && !onCorner)
        return QTableView::eventFilter(watched, event);

    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint pos = mouse->position().toPoint();
        setFocus(Qt::MouseFocusReason);
        if (onCorner) {
            HeaderPressed(0, 0);
            return true;  // the corner button has nothing of its own left to do
        }
        const int section = PressedSection(onTop ? horizontalHeader() : verticalHeader(), pos);
        if (section >= 0) {
            if (onTop)
                HeaderPressed(section + 1, 0);
            else
                HeaderPressed(0, section + 1);
        }
        return false;  // the header still starts a resize on a border
    }
    if (event->type() == QEvent::ContextMenu && FPopupMenu) {
        ShowPopupMenu(static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    }
    return QTableView::eventFilter(watched, event);
}

bool TResultStringGrid::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = indexAt(help->pos());
        if (index.isValid()) {
            const QString text = FDataSet.DisplayText(index.row(), index.column());
            const QRect cell = visualRect(index);
            const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
            const QString shown = OneLine(text);
            if (shown != text || fontMetrics().horizontalAdvance(shown) > cell.width() - 2 * margin) {
                QString tip = text.left(ToolTipChars);
                if (text.size() > ToolTipChars)
                    tip += QChar(0x2026);
                // Escaped, so that a value that looks like markup shows as it is.
                QToolTip::showText(help->globalPos(),
                                   QStringLiteral("<p style='white-space:pre-wrap'>") + tip.toHtmlEscaped()
                                       + QStringLiteral("</p>"),
                                   viewport(), cell);
                return true;
            }
        }
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    return QTableView::viewportEvent(event);
}

void TResultStringGrid::keyPressEvent(QKeyEvent* event)
{
    if (event == QKeySequence::Copy) {
        CopySelection(CurrentConfig.CopyTitle);
        event->accept();
        return;
    }
    if (event == QKeySequence::SelectAll) {
        SelectAll();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}
