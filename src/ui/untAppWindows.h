// The application's windows besides the main one: each dialog is created once
// for the life of the process (in start-up order, after the main window) and
// reused for every showing.
#pragma once

#include "untMain.h"

// Creates the dialogs owned by `owner` and returns the main window's hooks
// that show them.
TfrmMain::TDialogs MakeMainWindowDialogs(TfrmMain* owner);
