// The result page of a database with real widgets on the offscreen
// platform: its tabs, the message lines, the arrays handed to the export, the
// grid menu and the grids made when their tab is first shown.
#include "untResultPageControl.h"

#include "ResultGridSupport.h"

#include <QMenu>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <memory>

// Readable QStrings in test failures.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

class ResultPages : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        FWindow = std::make_unique<QWidget>();
        FWindow->resize(640, 480);
    }

    // Result k of a test: k rows of one column named "r<k>".
    static TResultSnapshot Numbered(int k) { return CountingResult(k, QStringLiteral("r%1").arg(k)); }

    // "Null", or the column name of the snapshot an element holds.
    static QString Describe(const QVariant& element)
    {
        if (element.isNull())
            return QStringLiteral("Null");
        if (!element.canConvert<TResultSnapshot>())
            return QStringLiteral("not a snapshot");
        const TResultSnapshot s = element.value<TResultSnapshot>();
        return s.Column(0).Name + QLatin1Char('/') + QString::number(s.RowCount());
    }
    static QStringList Describe(const TVariantArr& arr)
    {
        QStringList out;
        for (const QVariant& v : arr)
            out << Describe(v);
        return out;
    }

    static QStringList Captions(const QTabWidget& tabs)
    {
        QStringList out;
        for (int i = 0; i < tabs.count(); ++i)
            out << tabs.tabText(i);
        return out;
    }

    std::unique_ptr<QWidget> FWindow;
};

TEST_F(ResultPages, ParentIsTheGivenWidgetOrTheOwnerOrAnError)
{
    QObject notAWidget;
    struct Case {
        QObject* owner;
        QWidget* parent;
        QWidget* placedIn;  // null: construction fails
    };
    QWidget other;
    const Case cases[] = {
        {FWindow.get(), FWindow.get(), FWindow.get()},
        {&notAWidget, FWindow.get(), FWindow.get()},
        {&other, FWindow.get(), FWindow.get()},
        {FWindow.get(), nullptr, FWindow.get()},
        {&notAWidget, nullptr, nullptr},
        {nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        if (!c.placedIn) {
            try {
                TResultPageControl page(c.owner, c.parent);
                ADD_FAILURE() << "no error";
            } catch (const EOrvexaError& e) {
                EXPECT_EQ(e.Message(), QStringLiteral("Parameter 'Parent' can't  be empty."));
            }
            continue;
        }
        auto* page = new TResultPageControl(c.owner, c.parent);
        EXPECT_EQ(page->parentWidget(), c.placedIn);
        EXPECT_TRUE(page->isHidden());
        EXPECT_EQ(Captions(*page), QStringList{QStringLiteral("Message")});
        EXPECT_EQ(page->GetCurrentTabIndex(), 0);
        delete page;
    }
    EXPECT_TRUE(FWindow->findChildren<TResultPageControl*>().isEmpty());
}

TEST_F(ResultPages, TwelveResultsAndTheArrayShapes)
{
    auto* page = new TResultPageControl(FWindow.get(), FWindow.get());
    EXPECT_EQ(Describe(page->GetCurrentDBDataArr()), QStringList{QStringLiteral("Null")});
    EXPECT_EQ(Describe(page->GetCurrentTabDataArr()), QStringList{QStringLiteral("Null")});

    QStringList captions{QStringLiteral("Message")};
    QStringList all;
    for (int k = 1; k <= 12; ++k) {
        page->AddResult(Numbered(k));
        captions << QStringLiteral("Result%1").arg(k);
        all << QStringLiteral("r%1/%1").arg(k);
    }
    EXPECT_EQ(Captions(*page), captions);
    EXPECT_EQ(Describe(page->GetCurrentDBDataArr()), all);

    struct Case {
        int select;
        int index;
        const char* tab;
    };
    for (const Case& c : {Case{0, 0, "Null"}, Case{3, 3, "r3/3"}, Case{12, 12, "r12/12"}, Case{10, 10, "r10/10"}}) {
        page->setCurrentIndex(c.select);
        EXPECT_EQ(page->GetCurrentTabIndex(), c.index);
        EXPECT_EQ(Describe(page->GetCurrentTabDataArr()), QStringList{QLatin1String(c.tab)}) << c.select;
    }

    // Adding never moves the selection: Result10 stays selected.
    page->AddResult(Numbered(13));
    EXPECT_EQ(page->GetCurrentTabIndex(), 10);
    EXPECT_EQ(page->tabText(13), QStringLiteral("Result13"));

}

TEST_F(ResultPages, MessageLinesGoToTheMessageTabInOrder)
{
    auto* page = new TResultPageControl(FWindow.get(), FWindow.get());
    page->AddMsgs({QStringLiteral("first"), QString(), QStringLiteral("third")});
    page->AddResult(Numbered(1));
    page->AddResult(Numbered(2));
    page->setCurrentIndex(2);
    page->AddMsgs({QStringLiteral("two\r\nlines"), QStringLiteral("last")});
    page->AddMsgs({});
    QPlainTextEdit* log = page->MsgTab()->MsgLog;
    EXPECT_EQ(log->toPlainText(), QStringLiteral("first\n\nthird\ntwo\nlines\nlast"));
    EXPECT_EQ(page->GetCurrentTabIndex(), 2);
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(log->accessibleName(), QStringLiteral("Messages"));

    // Thousands of lines, appended in batches as a run sends them.
    QStringList batch;
    for (int i = 0; i < 500; ++i)
        batch << QStringLiteral("line %1").arg(i);
    for (int i = 0; i < 20; ++i)
        page->AddMsgs(batch);
    EXPECT_EQ(log->document()->blockCount(), 6 + 20 * 500);
    EXPECT_EQ(log->document()->lastBlock().text(), QStringLiteral("line 499"));
}

TEST_F(ResultPages, ArraysOutliveThePage)
{
    auto* page = new TResultPageControl(FWindow.get(), FWindow.get());
    page->AddResult(TextResult({QStringLiteral("a")}, {{QStringLiteral("x")}, {Null}}));
    page->AddResult(Numbered(5));
    page->setCurrentIndex(1);
    const TVariantArr db = page->GetCurrentDBDataArr();
    const TVariantArr tab = page->GetCurrentTabDataArr();
    page->ResultTab(1)->ResultGrid();  // a grid made and freed with the page
    delete page;
    ASSERT_EQ(db.size(), 2);
    const TResultSnapshot first = db[0].value<TResultSnapshot>();
    EXPECT_EQ(first.DisplayText(0, 0), QStringLiteral("x"));
    EXPECT_TRUE(first.IsNull(1, 0));
    EXPECT_EQ(db[1].value<TResultSnapshot>().AsInteger(4, 0), 5);
    ASSERT_EQ(tab.size(), 1);
    EXPECT_EQ(tab[0].value<TResultSnapshot>().Column(0).Name, QStringLiteral("a"));
}

TEST_F(ResultPages, GridsAreMadeWhenFirstShownWithNameAndMenu)
{
    QMenu menu;
    auto* page = new TResultPageControl(FWindow.get(), FWindow.get());
    page->resize(600, 400);
    page->AddResult(Numbered(1));  // before the menu is set
    page->FGridMenu = &menu;
    page->AddResult(Numbered(2));
    page->AddResult(Numbered(3));
    page->show();
    FWindow->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(FWindow.get()));

    // Nothing but the message tab has been shown: no grid exists yet.
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(page->ResultTab(k)->ExistingGrid(), nullptr) << k;
    page->setCurrentIndex(2);
    QCoreApplication::processEvents();
    TResultStringGrid* shown = page->ResultTab(2)->ExistingGrid();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_EQ(shown->accessibleName(), QStringLiteral("Result2"));
    EXPECT_EQ(shown->PopupMenu(), &menu);
    EXPECT_EQ(shown->model()->rowCount(), 2);
    EXPECT_EQ(page->ResultTab(1)->ExistingGrid(), nullptr);
    EXPECT_EQ(page->ResultTab(3)->ExistingGrid(), nullptr);

    // Asked for, a grid is made at once; only grids added after the menu
    // was set carry it.
    EXPECT_EQ(page->ResultTab(1)->ResultGrid()->PopupMenu(), nullptr);
    EXPECT_EQ(page->ResultTab(1)->ResultGrid()->accessibleName(), QStringLiteral("Result1"));
    EXPECT_EQ(page->ResultTab(3)->ResultGrid()->PopupMenu(), &menu);

    // The grid fills its tab.
    EXPECT_EQ(shown->geometry(), page->ResultTab(2)->rect());
    delete page;
}

TEST_F(ResultPages, ThousandsOfResultsStayLight)
{
    auto* page = new TResultPageControl(FWindow.get(), FWindow.get());
    page->show();
    FWindow->show();
    const TResultSnapshot one = Numbered(1);
    for (int k = 0; k < 2000; ++k)
        page->AddResult(one);
    EXPECT_EQ(page->count(), 2001);
    EXPECT_EQ(page->tabText(2000), QStringLiteral("Result2000"));
    EXPECT_EQ(page->GetCurrentDBDataArr().size(), 2000);
    EXPECT_TRUE(page->findChildren<TResultStringGrid*>().isEmpty());
    delete page;
}

}  // namespace
