#include "untDBListFile.h"

#include "untCommon.h"
#include "untDBListFileInternal.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QtEndian>

TDBListFileForm DBListFileFormFor(const QString& fileName)
{
    const QString ext = QFileInfo(fileName).suffix();
    if (ext.compare(QLatin1String("xml"), Qt::CaseInsensitive) == 0 || ext == QLatin1String("txt"))
        return TDBListFileForm::Xml;
    return TDBListFileForm::Binary;
}

TDBListPacket ReadDBList(const QByteArray& content)
{
    if (content.isEmpty())
        throw EOrvexaError(QStringLiteral("the file is empty."));
    if (IsBinaryDBList(content))
        return ReadDBListBinary(content);
    // The magic number with a later version: say so rather than report bad XML.
    if (content.size() >= 8 && qFromLittleEndian<quint32>(content.constData()) == 0xBDE01996u)
        throw EOrvexaError(QStringLiteral("it is a binary database list of version %1.%2, which this program "
                                          "cannot read.")
                               .arg(qFromLittleEndian<quint16>(content.constData() + 4))
                               .arg(qFromLittleEndian<quint16>(content.constData() + 6)));
    return ReadDBListXml(content);
}

void CheckDBListPacket(const TDBListPacket& packet)
{
    QHash<qint32, int> instances;  // identifier -> row number
    QHash<qint32, QString> databases;
    int rowNo = 0;
    for (const TPacketInstance& inst : packet.Instances) {
        ++rowNo;
        if (const auto it = instances.constFind(inst.InstanceID); it != instances.cend())
            throw EOrvexaError(QStringLiteral("instance rows %1 and %2 have the same InstanceID %3.")
                                   .arg(*it)
                                   .arg(rowNo)
                                   .arg(inst.InstanceID));
        instances.insert(inst.InstanceID, rowNo);
        for (const TPacketDatabase& db : inst.Databases) {
            if (const auto it = databases.constFind(db.DatabaseID); it != databases.cend())
                throw EOrvexaError(QStringLiteral("the databases %1 and %2 have the same DataBaseID %3.")
                                       .arg(*it, inst.InstanceName + QLatin1Char('/') + db.DatabaseName)
                                       .arg(db.DatabaseID));
            databases.insert(db.DatabaseID, inst.InstanceName + QLatin1Char('/') + db.DatabaseName);
        }
    }
}

void SaveDBListFile(const QString& fileName, const TDBListPacket& packet)
{
    const auto fail = [&](const QString& why) {
        return EOrvexaError(QStringLiteral("Cannot export the database list to \"%1\": %2").arg(fileName, why));
    };
    QByteArray content;
    try {
        content = DBListFileFormFor(fileName) == TDBListFileForm::Xml ? WriteDBListXml(packet)
                                                                      : WriteDBListBinary(packet);
    } catch (const EOrvexaError& e) {
        throw fail(e.Message());
    }
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw fail(file.errorString());
    if (file.write(content) != content.size() || !file.commit())
        throw fail(file.errorString());
}

TDBListPacket LoadDBListFile(const QString& fileName)
{
    const auto fail = [&](const QString& why) {
        return EOrvexaError(QStringLiteral("Cannot import the database list from \"%1\": %2").arg(fileName, why));
    };
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw fail(file.errorString());
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw fail(file.errorString());
    try {
        TDBListPacket packet = ReadDBList(content);
        CheckDBListPacket(packet);
        return packet;
    } catch (const EOrvexaError& e) {
        throw fail(e.Message());
    }
}
