// The terminal the runner was started from, if any: questions, password
// prompts and the progress bar go there, never into redirected output.
#pragma once

#include <QString>

// True when stderr is a terminal (the progress bar is drawn only then).
bool StderrIsTerminal();

// Asks a yes/no question on the controlling terminal. Returns false (no) when
// there is no terminal or the answer is not yes.
bool AskYesNo(const QString& question);

// Reads a password from the controlling terminal without echo. Returns false
// when there is no terminal.
bool ReadPassword(const QString& prompt, QString& password);
