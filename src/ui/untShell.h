// The platform's "open": script files in their editor, the help page, the
// maker's web site and support mail.
#pragma once

#include <QString>

// Opens a local file with the application the desktop associates with it.
// False when the platform could not open it.
bool ShellOpenFile(const QString& path);
void OpenWebSite();
void OpenSupportMail();
