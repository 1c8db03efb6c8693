// The list packet: the whole stored instance and database list as one
// self-contained value. The selection dialog edits one, the data module reads
// and rewrites the store from one, and the exchange file holds one.
#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// One row of an instance's nested table fdtDatabases. In the store and the
// exchange file its fields are declared DataBaseID, InstanceID, DataBaseName;
// field names are compared without regard to letter case everywhere.
struct TPacketDatabase {
    qint32 DatabaseID = 0;
    qint32 InstanceID = 0;  // the owning instance; writers use the owner's own InstanceID
    QString DatabaseName;

    bool operator==(const TPacketDatabase&) const = default;
};

// One instance row with its databases in stored order.
struct TPacketInstance {
    qint32 InstanceID = 0;
    QString InstanceName;
    QString UserName;
    QString UserPWD;  // plain text
    bool NT = false;
    QList<TPacketDatabase> Databases;  // fdtDatabases

    bool operator==(const TPacketInstance&) const = default;
};

// Instances in packet order (ascending InstanceID when read from the store).
struct TDBListPacket {
    QList<TPacketInstance> Instances;

    bool operator==(const TDBListPacket&) const = default;
};

Q_DECLARE_METATYPE(TDBListPacket)

// Field names of the packet as the store declares them.
namespace ListPacketFields {
inline constexpr const char* InstanceID = "InstanceID";
inline constexpr const char* InstanceName = "InstanceName";
inline constexpr const char* UserName = "UserName";
inline constexpr const char* UserPWD = "UserPWD";
inline constexpr const char* NT = "NT";
inline constexpr const char* Databases = "fdtDatabases";
inline constexpr const char* DatabaseID = "DataBaseID";
inline constexpr const char* DatabaseName = "DataBaseName";
} // namespace ListPacketFields
