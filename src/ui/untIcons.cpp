#include "untIcons.h"

#include <QFile>
#include <QHash>

QIcon AppIcon(const QString& name)
{
    static QHash<QString, QIcon> cache;
    auto it = cache.find(name);
    if (it != cache.end())
        return *it;
    QIcon icon;
    for (int size : {16, 32}) {
        const QString path = QStringLiteral(":/icons/%1/%2.svg").arg(size).arg(name);
        if (QFile::exists(path))
            icon.addFile(path, QSize(size, size));
    }
    cache.insert(name, icon);
    return icon;
}

QIcon ApplicationIcon()
{
    return AppIcon(QStringLiteral("network-server-database"));
}
