// The window as a user sees it after a run: painted for real (offscreen),
// with the result area, a grid and the progress panel. With
// ORVEXA_SCREENSHOT_DIR set, the pictures are saved there to be looked at.
#include "EngineServer.h"
#include "PromptRecorder.h"
#include "UiTestSupport.h"
#include "untAbout.h"
#include "untAppWindows.h"
#include "untOptions.h"
#include "untSelInstance.h"
#include "untDmMain.h"
#include "untMain.h"
#include "untResultPageControl.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QStatusBar>
#include <QTreeWidget>

namespace {

class Screens : public ServerTest {
protected:
    void Save(QWidget* widget, const QString& name)
    {
        const QImage image = widget->grab().toImage();
        ASSERT_FALSE(image.isNull());
        // Something was painted: more than one colour.
        bool varied = false;
        const QRgb first = image.pixel(0, 0);
        for (int y = 0; y < image.height() && !varied; y += 7)
            for (int x = 0; x < image.width() && !varied; x += 7)
                varied = image.pixel(x, y) != first;
        EXPECT_TRUE(varied) << name.toStdString();
        const QString dir = qEnvironmentVariable("ORVEXA_SCREENSHOT_DIR");
        if (!dir.isEmpty())
            image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
    }
};

TEST_P(Screens, TheWindowAfterARun)
{
    TestApp();
    qputenv("XDG_DATA_HOME", FDir.path().toUtf8());
    TPromptRecorder prompt;
    TdmMain dm(&prompt);
    dm.DataModuleCreate();
    dmMain = &dm;
    CurrentConfig.TransExecution = CurrentConfig.ContinueOnError = CurrentConfig.ReceiveResults = true;
    CurrentConfig.CopyTitle = true;

    const QStringList names = {Server->CreateDatabase(QStringLiteral("Sales")),
                               Server->CreateDatabase(QStringLiteral("HR")),
                               Server->CreateDatabase(QStringLiteral("Archive"))};
    for (int i = 0; i < 2; ++i)
        Server->Exec(names[i], QStringLiteral("CREATE TABLE Customers (Id int, Name nvarchar(40), Since datetime, "
                                              "Balance decimal(12,2), Note nvarchar(200) NULL)"));
    for (int i = 0; i < 2; ++i)
        for (int r = 1; r <= 40; ++r)
            Server->Exec(names[i], QStringLiteral("INSERT INTO Customers VALUES (%1, 'Customer %1', '2026-0%2-1%3 "
                                                  "09:30:00', %1.25, %4)")
                                       .arg(r)
                                       .arg(r % 9 + 1)
                                       .arg(r % 10)
                                       .arg(r % 3 ? QStringLiteral("'regular'") : QStringLiteral("NULL")));
    const TInstanceInfo login = Server->Login();
    TDBListPacket packet;
    TPacketInstance inst{1, login.InstanceName, login.UserName, login.UserPWD, login.NT, {}};
    for (int i = 0; i < names.size(); ++i)
        inst.Databases.append({i + 1, 1, names[i]});
    packet.Instances.append(inst);
    ASSERT_TRUE(dm.UpdateDBListData(packet));

    {
        TfrmMain w;
        w.SetDialogs(MakeMainWindowDialogs(&w));
        w.resize(1280, 760);
        w.show();
        QCoreApplication::processEvents();
        prompt.Files.enqueue({WriteScript(QStringLiteral("01-add-loyalty.sql"),
                                          QStringLiteral("UPDATE Customers SET Balance = Balance + 1\r\nGO\r\n")),
                              WriteScript(QStringLiteral("02-report.sql"),
                                          QStringLiteral("SELECT * FROM Customers ORDER BY Id\r\nGO\r\n"
                                                         "SELECT COUNT(*) AS Customers FROM Customers\r\n"))});
        w.actAddSQLFile->trigger();
        w.lvSQLFiles->topLevelItem(0)->setSelected(true);
        Save(&w, QStringLiteral("main-before-run"));

        w.actRun->trigger();
        ASSERT_TRUE(PumpUntil([&] { return !w.ExecThread; }, 60000));
        ASSERT_EQ(w.PageControls.size(), 3u);
        // The second database's first result set.
        w.lvResults->setCurrentItem(w.lvResults->topLevelItem(1));
        ASSERT_GE(w.PageControls[1]->count(), 2);
        w.PageControls[1]->setCurrentIndex(1);
        QCoreApplication::processEvents();
        Save(&w, QStringLiteral("main-after-run"));
        // The progress panel as it paints while a run executes.
        w.SetStatus(stExec);
        w.ExecPercent = 60;
        QCoreApplication::processEvents();
        Save(w.statusBar(), QStringLiteral("status-executing"));
        w.SetStatus(stFail);

        // The dialogs as they open over the window (shown without their
        // modal loop; each rebuilds itself when shown).
        for (QDialog* dialog : std::initializer_list<QDialog*>{w.findChild<TfrmDBSelect*>(), w.findChild<TfrmOptions*>(),
                                                              w.findChild<TfrmAboutBox*>()}) {
            ASSERT_NE(dialog, nullptr);
            dialog->show();
            QCoreApplication::processEvents();
            PumpUntil([] { return false; }, 300);
            Save(dialog, QString::fromLatin1(dialog->metaObject()->className()));
            dialog->hide();
        }
    }
    dmMain = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Servers, Screens, ::testing::Values("sandbox"));

} // namespace
