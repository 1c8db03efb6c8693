// orvexa: the desktop application. Creates the data module before any
// window, shows a start-up error in the standard error box and goes on, and
// frees the data module after the event loop has ended.
//
// The main window and the dialogs are still to come; until then the window
// shows the stored database list so that the store and the start-up can be
// tried from the desktop.
#include "untDmMain.h"
#include "untPrompt.h"

#include <QApplication>
#include <QListWidget>
#include <QMainWindow>
#include <QMessageBox>
#include <QStatusBar>


int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvexa"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orvexa"));

    auto dm = std::make_unique<TdmMain>(&Prompt());
    dmMain = dm.get();
    try {
        dm->DataModuleCreate();
    } catch (const EOrvexaError& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Orvexa"), e.Message());
    }

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Orvexa"));
    auto* databases = new QListWidget(&window);
    if (dm->IsStoreOpen()) {
        for (const TInstanceAndDBInfo& db : dm->GetDBList())
            databases->addItem(QStringLiteral("[%1].[%2]").arg(db.InstanceName, db.DatabaseName));
    }
    window.setCentralWidget(databases);
    window.statusBar()->showMessage(dm->IsStoreOpen() ? QStringLiteral("Ready") : dm->StartupError());
    window.resize(640, 400);
    window.show();

    const int result = QApplication::exec();
    dmMain = nullptr;
    dm.reset();
    return result;
}
