// The result grid with real widgets on the offscreen platform: geometry,
// what the cells show, selection by the title row, the number column and the
// corner with every mouse button, and the text that the copy puts on the
// clipboard.
#include "untCommon.h"
#include "untResultStringGrid.h"

#include "ResultGridSupport.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>

#include <gtest/gtest.h>

#include <memory>

// Readable QStrings in test failures.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

class ResultGrid : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }

    // A grid showing this result, laid out and exposed.
    TResultStringGrid& Show(const TResultSnapshot& data, QSize size = QSize(600, 400))
    {
        FGrid = std::make_unique<TResultStringGrid>();
        FGrid->FillData(data);
        FGrid->resize(size);
        FGrid->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(FGrid.get()));
        QCoreApplication::processEvents();
        return *FGrid;
    }

    // The selected block as "left,top,right,bottom" in grid indexes, or "none".
    QString Block() const
    {
        int l = 0, t = 0, r = 0, b = 0;
        if (!FGrid->Selection(l, t, r, b))
            return QStringLiteral("none");
        return QStringLiteral("%1,%2,%3,%4").arg(l).arg(t).arg(r).arg(b);
    }

    // A point in the middle of title c (grid column) or number r (grid row).
    QPoint TitlePoint(int c) const
    {
        QHeaderView* h = FGrid->horizontalHeader();
        return {h->sectionViewportPosition(c - 1) + h->sectionSize(c - 1) / 2, h->height() / 2};
    }
    QPoint NumberPoint(int r) const
    {
        QHeaderView* v = FGrid->verticalHeader();
        return {v->width() / 2, v->sectionViewportPosition(r - 1) + v->sectionSize(r - 1) / 2};
    }
    QWidget* Corner() const { return FGrid->findChild<QAbstractButton*>(); }

    std::unique_ptr<TResultStringGrid> FGrid;
};

// Columns of dark pixels (text) of an image inside a rectangle.
struct TInk {
    int Left = INT_MAX;
    int Right = -1;
};
TInk InkIn(const QImage& image, const QRect& area)
{
    TInk ink;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(image.pixel(x, y)) < 100) {
                ink.Left = qMin(ink.Left, x);
                ink.Right = qMax(ink.Right, x);
            }
    return ink;
}

TEST_F(ResultGrid, ThreeRecordsOfTwoColumns)
{
    TResultStringGrid& g = Show(TextResult({QStringLiteral("Name"), QStringLiteral("City")},
                                           {{QStringLiteral("Ann"), QStringLiteral("Oslo")},
                                            {QStringLiteral("Bob"), QStringLiteral("Rome")},
                                            {QStringLiteral("Cy"), QStringLiteral("Lima")}}));
    QAbstractItemModel* m = g.model();
    ASSERT_EQ(m->rowCount(), 3);
    ASSERT_EQ(m->columnCount(), 2);
    EXPECT_EQ(m->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
    EXPECT_EQ(m->headerData(1, Qt::Horizontal).toString(), QStringLiteral("City"));
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(m->headerData(r, Qt::Vertical).toString(), QString::number(r + 1));
    EXPECT_EQ(m->index(2, 1).data().toString(), QStringLiteral("Lima"));
    EXPECT_EQ(m->index(0, 0).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
    QAbstractButton* corner = g.findChild<QAbstractButton*>();
    ASSERT_NE(corner, nullptr);
    EXPECT_TRUE(corner->text().isEmpty());

    // Every row, the title row included, is 20 px at 96 dpi; columns are
    // their title plus 30 px, whatever the values.
    const QFontMetrics fm = g.fontMetrics();
    EXPECT_EQ(g.horizontalHeader()->height(), g.Scaled(20));
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(g.rowHeight(r), g.Scaled(20));
    EXPECT_EQ(g.columnWidth(0), fm.horizontalAdvance(QStringLiteral("Name")) + g.Scaled(30));
    EXPECT_EQ(g.columnWidth(1), fm.horizontalAdvance(QStringLiteral("City")) + g.Scaled(30));

    // On screen: numbers end 5 px left of the number column's edge, titles
    // sit in the middle of their cells.
    const QImage left = g.verticalHeader()->grab().toImage();
    for (int r = 1; r <= 3; ++r) {
        const int top = g.verticalHeader()->sectionViewportPosition(r - 1);
        const TInk ink = InkIn(left, QRect(0, top + 2, left.width() - 1, g.Scaled(20) - 4));
        const int edge = left.width() - 1 - g.Scaled(5);
        EXPECT_LE(ink.Right, edge) << "row " << r;
        EXPECT_GE(ink.Right, edge - 3) << "row " << r;
    }
    const QImage top = g.horizontalHeader()->grab().toImage();
    for (int c = 1; c <= 2; ++c) {
        const int start = g.horizontalHeader()->sectionViewportPosition(c - 1);
        const int width = g.columnWidth(c - 1);
        const TInk ink = InkIn(top, QRect(start + 2, 2, width - 4, top.height() - 4));
        ASSERT_GE(ink.Right, 0) << "title " << c;
        const double middle = start + (width - 1) / 2.0;
        EXPECT_NEAR((ink.Left + ink.Right) / 2.0, middle, 2.5) << "title " << c;
    }
}

TEST_F(ResultGrid, NumberColumnFitsTheNextRecordNumber)
{
    struct Case {
        qint64 rows;
        const char* widest;
    };
    for (const Case c : {Case{0, "1"}, Case{9, "10"}, Case{99, "100"}, Case{100, "101"}, Case{1000, "1001"}}) {
        TResultStringGrid& g = Show(CountingResult(c.rows));
        EXPECT_EQ(g.verticalHeader()->width(),
                  g.fontMetrics().horizontalAdvance(QLatin1String(c.widest)) + g.Scaled(30))
            << c.rows << " records";
    }
}

TEST_F(ResultGrid, NullAndEmptyTextLookAlikeButNullIsTinted)
{
    TResultStringGrid& g = Show(TextResult({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                                            QStringLiteral("d")},
                                           {{QStringLiteral("x"), Null, QString(), QStringLiteral("y")}}));
    QAbstractItemModel* m = g.model();
    EXPECT_EQ(m->index(0, 1).data().toString(), QString());
    EXPECT_EQ(m->index(0, 2).data().toString(), QString());
    EXPECT_TRUE(m->index(0, 1).data(Qt::BackgroundRole).isValid());
    EXPECT_FALSE(m->index(0, 2).data(Qt::BackgroundRole).isValid());
    EXPECT_FALSE(m->index(0, 0).data(Qt::BackgroundRole).isValid());
    // On screen the Null cell is tinted, the empty one is not, both carry no text.
    g.clearSelection();
    g.setCurrentIndex(QModelIndex());
    const QImage shot = g.viewport()->grab().toImage();
    auto inside = [&](int column) { return g.visualRect(m->index(0, column)).adjusted(3, 3, -3, -3); };
    const QRgb nullColour = shot.pixel(inside(1).topLeft());
    const QRgb emptyColour = shot.pixel(inside(2).topLeft());
    EXPECT_NE(nullColour, emptyColour);
    EXPECT_EQ(emptyColour, shot.pixel(inside(3).topLeft()));
    EXPECT_EQ(InkIn(shot, inside(1)).Right, -1);
    EXPECT_EQ(InkIn(shot, inside(2)).Right, -1);
    EXPECT_GE(InkIn(shot, inside(0)).Right, 0);
    g.SelectAll();
    EXPECT_EQ(g.SelectionText(false), QStringLiteral("x\t\t\ty\r\n"));
}

TEST_F(ResultGrid, LongValueIsCutOnScreenButCopiedWholeAndShownInTheToolTip)
{
    const QString longValue = QString(300, QLatin1Char('W')) + QStringLiteral(" end");
    const QString markup = QStringLiteral("<b>not bold</b> and long enough to be cut in a narrow column");
    TResultStringGrid& g = Show(TextResult({QStringLiteral("v")}, {{longValue}, {markup}, {QStringLiteral("ok")}}));
    const int textRoom = g.columnWidth(0);
    EXPECT_LT(textRoom, g.fontMetrics().horizontalAdvance(longValue));
    g.SelectCol(1);
    EXPECT_EQ(g.SelectionText(true), QStringLiteral("v\r\n") + longValue + QStringLiteral("\r\n") + markup
                                         + QStringLiteral("\r\nok\r\n"));

    struct Case {
        int row;
        QString tip;  // the tool tip's plain text; empty: no tool tip
    };
    for (const Case& c : {Case{0, longValue}, Case{1, markup}, Case{2, QString()}}) {
        QToolTip::hideText();
        const QRect cell = g.visualRect(g.model()->index(c.row, 0));
        QHelpEvent help(QEvent::ToolTip, cell.center(), g.viewport()->mapToGlobal(cell.center()));
        QCoreApplication::sendEvent(g.viewport(), &help);
        if (c.tip.isEmpty()) {
            EXPECT_FALSE(help.isAccepted()) << c.row;  // no tool tip of the grid's own
            continue;
        }
        EXPECT_TRUE(help.isAccepted()) << c.row;
        ASSERT_TRUE(QToolTip::isVisible()) << c.row;
        QTextDocument doc;
        doc.setHtml(QToolTip::text());
        EXPECT_EQ(doc.toPlainText(), c.tip) << c.row;
    }
    QToolTip::hideText();
}

TEST_F(ResultGrid, TitlesNumbersAndCornerSelectWithEveryButton)
{
    TResultStringGrid& g = Show(TextResult({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")},
                                           {{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")},
                                            {QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("6")},
                                            {QStringLiteral("7"), QStringLiteral("8"), QStringLiteral("9")},
                                            {QStringLiteral("10"), QStringLiteral("11"), QStringLiteral("12")}}));
    EXPECT_EQ(Block(), QStringLiteral("1,1,1,1"));  // a grid starts on its first cell

    enum Target { Title, Number, CornerCell };
    struct Case {
        Target target;
        int index;
        Qt::MouseButton button;
        const char* block;
    };
    const Case cases[] = {
        {Title, 2, Qt::LeftButton, "2,1,2,4"},   {Title, 3, Qt::RightButton, "3,1,3,4"},
        {Title, 1, Qt::MiddleButton, "1,1,1,4"}, {Number, 3, Qt::LeftButton, "1,3,3,3"},
        {Number, 4, Qt::RightButton, "1,4,3,4"}, {Number, 1, Qt::MiddleButton, "1,1,3,1"},
        {CornerCell, 0, Qt::LeftButton, "1,1,3,4"},
    };
    for (const Case& c : cases) {
        g.clearSelection();
        switch (c.target) {
        case Title: QTest::mouseClick(g.horizontalHeader()->viewport(), c.button, {}, TitlePoint(c.index)); break;
        case Number: QTest::mouseClick(g.verticalHeader()->viewport(), c.button, {}, NumberPoint(c.index)); break;
        case CornerCell: QTest::mouseClick(Corner(), c.button, {}, QPoint(2, 2)); break;
        }
        EXPECT_EQ(Block(), QLatin1String(c.block)) << c.target << " " << c.index << " button " << c.button;
    }
    g.clearSelection();
    QTest::mousePress(Corner(), Qt::RightButton, {}, QPoint(2, 2));
    EXPECT_EQ(Block(), QStringLiteral("1,1,3,4"));

    // The functions themselves, in grid indexes; index 0 selects nothing.
    g.clearSelection();
    g.SelectRow(0);
    g.SelectCol(0);
    EXPECT_EQ(Block(), QStringLiteral("none"));
    g.SelectRow(2);
    EXPECT_EQ(Block(), QStringLiteral("1,2,3,2"));
    g.SelectCol(3);
    EXPECT_EQ(Block(), QStringLiteral("3,1,3,4"));
    g.SelectAll();
    EXPECT_EQ(Block(), QStringLiteral("1,1,3,4"));
}

TEST_F(ResultGrid, RightClickOnATitleSelectsBeforeTheMenuOpens)
{
    TResultStringGrid& g = Show(TextResult({QStringLiteral("a"), QStringLiteral("b")},
                                           {{QStringLiteral("1"), QStringLiteral("2")},
                                            {QStringLiteral("3"), QStringLiteral("4")}}));
    QMenu menu;
    menu.addAction(QStringLiteral("Copy"));
    g.SetPopupMenu(&menu);
    QString seen;
    QObject::connect(&menu, &QMenu::aboutToShow, [&] { seen = Block(); });

    QWidget* top = g.horizontalHeader()->viewport();
    const QPoint at = TitlePoint(2);
    QTest::mousePress(top, Qt::RightButton, {}, at);
    QContextMenuEvent context(QContextMenuEvent::Mouse, at, top->mapToGlobal(at));
    QCoreApplication::sendEvent(top, &context);
    QTest::mouseRelease(top, Qt::RightButton, {}, at);
    EXPECT_EQ(seen, QStringLiteral("2,1,2,2"));
    EXPECT_EQ(TResultStringGrid::MenuGrid(&menu), &g);
    menu.hide();

    // On a cell outside the selection the menu opens too, and the selection stays.
    seen.clear();
    const QPoint cell = g.visualRect(g.model()->index(1, 0)).center();
    QTest::mousePress(g.viewport(), Qt::RightButton, {}, cell);
    QTest::mouseRelease(g.viewport(), Qt::RightButton, {}, cell);
    QContextMenuEvent onCell(QContextMenuEvent::Mouse, cell, g.viewport()->mapToGlobal(cell));
    QCoreApplication::sendEvent(g.viewport(), &onCell);
    EXPECT_EQ(seen, QStringLiteral("2,1,2,2"));
    menu.hide();
    FGrid.reset();
    EXPECT_EQ(TResultStringGrid::MenuGrid(&menu), nullptr);
}

TEST_F(ResultGrid, AResultWithoutRecordsShowsTitlesAndSelectsNothing)
{
    TResultStringGrid& g = Show(TextResult({QStringLiteral("a"), QStringLiteral("b")}, {}));
    EXPECT_EQ(g.model()->rowCount(), 0);
    EXPECT_EQ(g.model()->columnCount(), 2);
    EXPECT_EQ(g.horizontalHeader()->height(), g.Scaled(20));
    g.SelectAll();
    g.SelectRow(1);
    g.SelectCol(1);
    QTest::mouseClick(g.horizontalHeader()->viewport(), Qt::LeftButton, {}, TitlePoint(1));
    QTest::mouseClick(Corner(), Qt::RightButton, {}, QPoint(2, 2));
    EXPECT_EQ(Block(), QStringLiteral("none"));
    QApplication::clipboard()->setText(QStringLiteral("before"));
    g.CopySelection(true);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before"));
}

TEST_F(ResultGrid, CopyPutsTheSelectedBlockOnTheClipboard)
{
    TResultStringGrid& g = Show(TextResult(
        {QStringLiteral("id"), QStringLiteral("name"), QStringLiteral("note"), QStringLiteral("tail ")},
        {
            {QStringLiteral("1"), QStringLiteral("one"), QStringLiteral("n1"), QStringLiteral("t1")},
            {QStringLiteral("2"), QStringLiteral("two"), QStringLiteral("n2"), QStringLiteral("t2")},
            {QStringLiteral("3"), QStringLiteral("three"), QStringLiteral("n3"), QStringLiteral("t3")},
            {Null, QStringLiteral("   "), Null, QString()},
            {QStringLiteral("5"), QStringLiteral("five  "), Null, Null},
            {QStringLiteral(" 6"), QString(), QStringLiteral("x\ty"), QStringLiteral("end \t ")},
        }));
    struct Case {
        int left, top, right, bottom;
        bool title;
        const char* text;
    };
    const Case cases[] = {
        // rows 2-3 of columns 1-2, without and with titles
        {1, 2, 2, 3, false, "2\ttwo\r\n3\tthree\r\n"},
        {1, 2, 2, 3, true, "id\tname\r\n2\ttwo\r\n3\tthree\r\n"},
        // a row of Nulls and blanks still gives its (empty) line
        {1, 3, 4, 5, false, "3\tthree\tn3\tt3\r\n\r\n5\tfive\r\n"},
        // trailing spaces of the last cell and of the last title go
        {2, 5, 2, 5, false, "five\r\n"},
        {4, 6, 4, 6, true, "tail\r\nend\r\n"},
        // inner blanks and tabs of values stay; leading spaces stay
        {1, 6, 4, 6, false, " 6\t\tx\ty\tend\r\n"},
        {2, 4, 2, 4, true, "name\r\n\r\n"},
    };
    for (const Case& c : cases) {
        QItemSelection block(g.model()->index(c.top - 1, c.left - 1), g.model()->index(c.bottom - 1, c.right - 1));
        g.selectionModel()->select(block, QItemSelectionModel::ClearAndSelect);
        g.CopySelection(c.title);
        EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf8(c.text))
            << c.left << "," << c.top << "," << c.right << "," << c.bottom << " titles " << c.title;
    }

    // The keys copy the same text, with titles as the option in force says.
    for (const bool titles : {false, true}) {
        const TConfig saved = CurrentConfig;
        CurrentConfig.CopyTitle = titles;
        g.clearSelection();
        QTest::keyClick(&g, Qt::Key_A, Qt::ControlModifier);
        EXPECT_EQ(Block(), QStringLiteral("1,1,4,6"));
        g.SelectRow(2);
        QApplication::clipboard()->clear();
        QTest::keyClick(&g, Qt::Key_C, Qt::ControlModifier);
        CurrentConfig = saved;
        EXPECT_EQ(QApplication::clipboard()->text(),
                  QString::fromUtf8(titles ? "id\tname\tnote\ttail\r\n2\ttwo\tn2\tt2\r\n" : "2\ttwo\tn2\tt2\r\n"));
    }

    // A block dragged with the mouse, extended with Shift.
    const QRect from = g.visualRect(g.model()->index(0, 1));
    const QRect to = g.visualRect(g.model()->index(1, 2));
    QTest::mouseClick(g.viewport(), Qt::LeftButton, {}, from.center());
    QTest::mouseClick(g.viewport(), Qt::LeftButton, Qt::ShiftModifier, to.center());
    EXPECT_EQ(Block(), QStringLiteral("2,1,3,2"));
    g.CopySelection(false);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("one\tn1\r\ntwo\tn2\r\n"));
}

TEST_F(ResultGrid, EveryValueKindCopiesAsTheGridShowsIt)
{
    TResultTable table;
    table.DefineColumns({{QStringLiteral("i"), ftInteger, 0, 0, false},
                         {QStringLiteral("f"), ftFloat, 0, 0, false},
                         {QStringLiteral("d"), ftBCD, 2, 10, false},
                         {QStringLiteral("t"), ftDateTime, 0, 0, false},
                         {QStringLiteral("b"), ftVarBytes, 4, 0, false},
                         {QStringLiteral("flag"), ftSmallint, 0, 0, true}});
    table.AppendInteger(-42);
    table.AppendFloat(0.5);
    table.AppendDecimal("-12.50");
    table.AppendTicks(TicksFromParts(2024, 2, 29, 13, 5, 9, 123000000));
    table.AppendBytes(QByteArray::fromHex("00ff10"));
    table.AppendInteger(1);
    table.Post();
    const TResultSnapshot snapshot = table.Snapshot();
    TResultStringGrid& g = Show(snapshot);
    g.SelectAll();
    g.CopySelection(false);
    QStringList shown;
    for (int c = 0; c < snapshot.ColumnCount(); ++c) {
        EXPECT_EQ(g.model()->index(0, c).data().toString(), snapshot.DisplayText(0, c)) << c;
        shown << snapshot.DisplayText(0, c);
    }
    EXPECT_EQ(QApplication::clipboard()->text(), shown.join(QLatin1Char('\t')) + QStringLiteral("\r\n"));
    EXPECT_FALSE(shown.contains(QString()));
}

TEST_F(ResultGrid, GetDataIsTheLoadedResultAndOutlivesTheGrid)
{
    const TResultSnapshot data = TextResult({QStringLiteral("a")}, {{QStringLiteral("kept")}, {Null}});
    Show(data);
    const TResultSnapshot back = FGrid->GetData();
    FGrid.reset();
    ASSERT_EQ(back.RowCount(), 2);
    EXPECT_EQ(back.Column(0).Name, QStringLiteral("a"));
    EXPECT_EQ(back.DisplayText(0, 0), QStringLiteral("kept"));
    EXPECT_TRUE(back.IsNull(1, 0));
}

}  // namespace
