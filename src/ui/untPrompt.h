// Every message box and file or folder dialog of the desktop goes through
// one TPrompt: in the application it shows the real dialogs; a test installs
// its own (SetPrompt) and answers them.
#pragma once

#include "untMessageBox.h"

#include <QString>
#include <QStringList>

#include <exception>

class QWidget;

class TPrompt : public TMessageBox {
public:
    // A modal message box with exactly this text, caption, icon and buttons,
    // owned by the active window.
    TMsgAnswer Show(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons) override;

    // Open dialog for several files. Filter in Qt's form ("Name (*.sql)").
    // Empty when cancelled.
    virtual QStringList GetOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                         const QString& filter);
    // Open dialog for one file; empty when cancelled.
    virtual QString GetOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter);
    // Save dialog; empty when cancelled. defaultSuffix is added to a name
    // typed without one.
    virtual QString GetSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter, const QString& defaultSuffix);
    // Folder choice; empty when cancelled.
    virtual QString GetExistingDirectory(QWidget* parent, const QString& caption, const QString& dir);
};

// The prompt in force (the real one unless a test installed another).
TPrompt& Prompt();
// Installs a prompt (null: the real one again). The caller keeps ownership.
void SetPrompt(TPrompt* prompt);

// Shortcuts for the captions the application uses.
TMsgAnswer ShowMessage(const QString& text, const QString& caption, TMsgIcon icon,
                       TMsgButtons buttons = TMsgButton::OK);

// The application's standard report of an error that ends a command or an
// event handler: a message box captioned "Orvexa" with the error icon.
void ShowErrorReport(const QString& message);
void ShowErrorReport(const std::exception& error);

// Translates a filter of the "Name(*.sql)|*.sql|All(*.*)|*.*" form into Qt's
// "Name(*.sql);;All(*.*)" form: each pair's description is kept (it already
// names the patterns), the pattern part is dropped.
QString QtFileFilter(const QString& pipeFilter);
