// The about box on the offscreen platform: its texts, the two links opened
// through the platform, the Copy popup on the mail address, and Esc.
#include "DialogTestSupport.h"

#include "untAbout.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QMenu>
#include <QUrl>

namespace {

// Receives the addresses that the platform's "open" is given.
class TUrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void Open(const QUrl& url) { Opened.append(url); }
};

class AboutBox : public TDialogTest {
protected:
    void SetUp() override
    {
        TDialogTest::SetUp();
        for (const char* scheme : {"http", "https", "mailto"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), &FUrls, "Open");
        QPixmap icon(64, 64);
        icon.fill(Qt::red);
        QApplication::setWindowIcon(QIcon(icon));
        About = std::make_unique<TfrmAboutBox>();
        About->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(About.get()));
    }
    void TearDown() override
    {
        About.reset();
        for (const char* scheme : {"http", "https", "mailto"})
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
        TDialogTest::TearDown();
    }

    TUrlRecorder FUrls;
    std::unique_ptr<TfrmAboutBox> About;
};

TEST_F(AboutBox, ShowsTheProductVersionAndDescription)
{
    EXPECT_EQ(About->windowTitle(), "About");
    EXPECT_EQ(About->lbProductName->text(), "Orvexa");
    EXPECT_EQ(About->lbVersion->text(), "1.5.2");
    EXPECT_EQ(About->lbVersionText->text(), "1.5.2");
    EXPECT_EQ(About->lbDescription->text(),
              "Orvexa is a DBA tool for SQL Server, which executes multiple SQL files on multiple SQL Server "
              "databases by simply clicking mouse.");
    EXPECT_EQ(About->lbDescriptionHint->text(), "Description:");
    EXPECT_EQ(About->lbVersionHint->text(), "Version:");
    EXPECT_EQ(About->lbWebSite->text(), "Web site:");
    EXPECT_EQ(About->lbEmailHint->text(), "Support Email:");
    EXPECT_EQ(About->lbURL->text(), QLatin1String(MakerWebSite));
    EXPECT_EQ(About->lbEmail->text(), QLatin1String(MakerSupportMail));
    EXPECT_FALSE(About->Image1->pixmap().isNull());
    EXPECT_EQ(About->palette().color(QPalette::Window), QColor(0, 102, 204));
    EXPECT_EQ(About->ContentPanel->height(), 219);
}

TEST_F(AboutBox, LinksOpenTheSiteAndTheMailOtherLabelsDoNothing)
{
    struct TCase {
        const char* Title;
        QWidget* Label;
        bool ByKey;
        QString Opened;  // empty: nothing
    };
    const TCase cases[] = {
        {"web site", About->lbURL, false, QLatin1String(MakerWebSite)},
        {"mail", About->lbEmail, false, "mailto:" + QLatin1String(MakerSupportMail)},
        {"web site by Enter", About->lbURL, true, QLatin1String(MakerWebSite)},
        {"mail by Enter", About->lbEmail, true, "mailto:" + QLatin1String(MakerSupportMail)},
        {"description", About->lbDescription, false, ""},
        {"version", About->lbVersionText, false, ""},
        {"caption", About->lbWebSite, false, ""},
        {"product name", About->lbProductName, false, ""},
        {"icon", About->Image1, false, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Title);
        FUrls.Opened.clear();
        if (c.ByKey) {
            c.Label->setFocus();
            QTest::keyClick(c.Label, Qt::Key_Return);
        } else {
            QTest::mouseClick(c.Label, Qt::LeftButton);
        }
        if (c.Opened.isEmpty()) {
            EXPECT_TRUE(FUrls.Opened.isEmpty());
        } else {
            ASSERT_EQ(FUrls.Opened.size(), 1);
            EXPECT_EQ(FUrls.Opened[0], QUrl(c.Opened));
        }
        EXPECT_TRUE(About->isVisible());
    }
}

TEST_F(AboutBox, CopyPutsExactlyTheAddressOnTheClipboard)
{
    QApplication::clipboard()->setText("before");
    const QPoint at = About->lbEmail->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, About->lbEmail->mapToGlobal(at));
    QApplication::sendEvent(About->lbEmail, &event);
    ASSERT_TRUE(QTest::qWaitFor([this] { return About->pmCopy->isVisible(); }));
    ASSERT_EQ(About->pmCopy->actions().size(), 1);
    EXPECT_EQ(About->miCopy->text(), "Copy");
    About->pmCopy->setActiveAction(About->miCopy);
    QTest::keyClick(About->pmCopy, Qt::Key_Return);
    EXPECT_EQ(QApplication::clipboard()->text(), QLatin1String(MakerSupportMail));
    EXPECT_TRUE(FUrls.Opened.isEmpty());
}

TEST_F(AboutBox, EscapeClosesOtherKeysDoNot)
{
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space, Qt::Key_A, Qt::Key_F1})
        QTest::keyClick(About.get(), key);
    EXPECT_TRUE(About->isVisible());
    QTest::keyClick(About.get(), Qt::Key_Escape);
    EXPECT_FALSE(About->isVisible());
    // Shown again, it works the same.
    About->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(About.get()));
    QTest::keyClick(About->lbURL, Qt::Key_Escape);
    EXPECT_FALSE(About->isVisible());
    EXPECT_TRUE(FUrls.Opened.isEmpty());
}

} // namespace

#include "test_dialog_about.moc"
