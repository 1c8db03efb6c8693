// orvexa: the desktop application. Start-up creates the data module before
// any window (a failure there is shown and start-up goes on without a
// store), then every window once for the life of the process, runs the event
// loop until the main window closes, and frees the data module last, also
// when start-up failed.
#include "untDmMain.h"
#include "untAppWindows.h"
#include "untIcons.h"
#include "untMain.h"
#include "untPrompt.h"
#include "untToolTips.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvexa"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orvexa"));
    QApplication::setDesktopFileName(QStringLiteral("orvexa"));
    QApplication::setWindowIcon(ApplicationIcon());

    auto dm = std::make_unique<TdmMain>(&Prompt());
    dmMain = dm.get();
    int result = 1;
    try {
        try {
            dm->DataModuleCreate();
        } catch (const EOrvexaError& e) {
            ShowErrorReport(e);
        }

        TfrmMain frmMain;
        frmMain.SetDialogs(MakeMainWindowDialogs(&frmMain));
        SetToolTipDuration(&app, 15000);
        frmMain.show();
        result = QApplication::exec();
    } catch (const std::exception& e) {
        ShowErrorReport(e);
    }
    dmMain = nullptr;
    dm.reset();
    return result;
}
