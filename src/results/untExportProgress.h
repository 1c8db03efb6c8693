// Running an export off the GUI thread while a progress dialog shows, and
// message boxes that such a worker shows on the GUI thread.
//
// GUI thread only (RunWithProgress); TGuiThreadMessageBox::Show from any
// thread.
#pragma once

#include "untExcelUtils.h"
#include "untMessageBox.h"

#include <QString>

#include <functional>

class QWidget;

// Shows its boxes through another TMessageBox on the GUI thread: called from
// a worker, it waits for the GUI thread to show the box and returns the
// answer; called on the GUI thread, it shows the box at once.
class TGuiThreadMessageBox : public TMessageBox {
public:
    explicit TGuiThreadMessageBox(TMessageBox& target) : FTarget(target) {}
    TMsgAnswer Show(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons) override;

private:
    TMessageBox& FTarget;
};

// The work of an export: given the progress callback, returns its result.
using TExportJob = std::function<bool(const TExportProgress& progress)>;

// Runs job on a worker thread while a window-modal progress dialog with a
// Cancel button shows over parent; the GUI thread goes on handling events
// meanwhile (painting, the dialog, message boxes the job asks for through a
// TGuiThreadMessageBox). Cancel makes the progress callback answer false, so
// ExportToExcel ends with UserCancelException and removes its partial file.
// Returns the job's result, or rethrows its exception here, on the GUI
// thread, once the worker has ended.
bool RunWithProgress(QWidget* parent, const QString& label, const TExportJob& job);
