#include "untShell.h"

#include "untCommon.h"

#include <QDesktopServices>
#include <QUrl>

bool ShellOpenFile(const QString& path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void OpenWebSite()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(MakerWebSite)));
}

void OpenSupportMail()
{
    QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + QString::fromLatin1(MakerSupportMail)));
}
