#include "untAppWindows.h"

#include "untAbout.h"
#include "untOptions.h"
#include "untSelInstance.h"

TfrmMain::TDialogs MakeMainWindowDialogs(TfrmMain* owner)
{
    // Created in start-up order; the selection dialog creates the instance
    // dialog it opens. All are children of the main window and go with it.
    auto* frmDBSelect = new TfrmDBSelect(owner);
    auto* frmOptions = new TfrmOptions(owner);
    auto* frmAboutBox = new TfrmAboutBox(owner);
    TfrmMain::TDialogs dialogs;
    dialogs.AddDatabases = [frmDBSelect] { return frmDBSelect->Execute(); };
    dialogs.Options = [frmOptions] { frmOptions->Execute(); };
    dialogs.About = [frmAboutBox] { frmAboutBox->Execute(); };
    return dialogs;
}
