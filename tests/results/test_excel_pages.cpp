// The export fed by real result pages (offscreen widgets): the arrays the
// page control hands out go into ExportToExcel as the window's actions pass
// them.
#include "TestApp.h"
#include "test_excel_support.h"

#include "untExcelUtils.h"
#include "untResultPageControl.h"

#include <QTemporaryDir>
#include <QWidget>

namespace {

class PagesExport : public ::testing::Test {
protected:
    QApplication& App = TestApp();  // before the widgets
    QWidget Window;
    QTemporaryDir Dir;
    TRecordingMessageBox Messages;

    // A page control of database Sales on SRV1 with `results` result tabs;
    // result k has k rows.
    std::unique_ptr<TResultPageControl> Page(int results)
    {
        auto page = std::make_unique<TResultPageControl>(&Window, &Window);
        page->FInstanceName = QStringLiteral("SRV1");
        page->FDBName = QStringLiteral("Sales");
        for (int k = 1; k <= results; ++k)
            page->AddResult(SmallResult(k, QStringLiteral("r%1-").arg(k)));
        return page;
    }
};

TEST_F(PagesExport, TheSelectedTabResult3GivesSheetResult3)
{
    auto page = Page(4);
    page->setCurrentIndex(3);
    const TVariantArr data = page->GetCurrentTabDataArr();
    const int tabIndex = page->GetCurrentTabIndex();
    ASSERT_EQ(tabIndex, 3);
    const QString name = ExportFileName(Dir.path() + QLatin1Char('/'), page->FDBName);
    ASSERT_TRUE(ExportToExcel(name, page->FInstanceName, page->FDBName, data, tabIndex, Messages));
    const auto sheets = ReadWorkbook(name + QStringLiteral(".xlsx"));
    ASSERT_EQ(SheetNames(sheets), QStringList{QStringLiteral("Result3")});
    ASSERT_EQ(sheets[0].Rows.size(), 4);
    EXPECT_EQ(sheets[0].Rows[3], (QStringList{"s:SRV1", "s:Sales", "n:3", "s:r3-3"}));
}

TEST_F(PagesExport, TheDatabasesTabsGiveTheirSheetsInOrder)
{
    auto page = Page(2);
    const QString name = ExportFileName(Dir.path() + QLatin1Char('/'), page->FDBName);
    ASSERT_TRUE(ExportToExcel(name, page->FInstanceName, page->FDBName, page->GetCurrentDBDataArr(), -1, Messages));
    const auto sheets = ReadWorkbook(name + QStringLiteral(".xlsx"));
    ASSERT_EQ(SheetNames(sheets), (QStringList{"Result1", "Result2"}));
    EXPECT_EQ(sheets[1].Rows.size(), 3);
}

TEST_F(PagesExport, MessageTabAndMessageOnlyPagesHaveNothingToExport)
{
    auto page = Page(0);
    const QList<TExportSource> sources{{page->FInstanceName, page->FDBName, page->GetCurrentDBDataArr()}};
    EXPECT_TRUE(ExportDatabases(sources, Dir.path() + QLatin1Char('/'), Messages));
    EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());
    auto withResults = Page(1);
    withResults->setCurrentIndex(0);
    EXPECT_TRUE(withResults->GetCurrentTabDataArr().value(0).isNull());
}

} // namespace
