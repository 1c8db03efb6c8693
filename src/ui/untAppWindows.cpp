#include "untAppWindows.h"

TfrmMain::TDialogs MakeMainWindowDialogs(TfrmMain*)
{
    return {};
}
