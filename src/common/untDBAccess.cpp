#include "untDBAccess.h"
#include "untOdbcConnection.h"

EDBError::EDBError(QString message, QString sqlState, int nativeError)
    : EOrvexaError(std::move(message)), FSQLState(std::move(sqlState)), FNativeError(nativeError)
{
}

TDBConnectionData TDBConnectionData::From(const TInstanceInfo& info, const QString& database)
{
    return {info.InstanceName, info.UserName, info.UserPWD, info.NT, database};
}

TDBConnectionData TDBConnectionData::From(const TInstanceAndDBInfo& info)
{
    return {info.InstanceName, info.UserName, info.UserPWD, info.NT, info.DatabaseName};
}

std::unique_ptr<TDBConnection> CreateDBConnection()
{
    return std::make_unique<TOdbcConnection>();
}

void TestDBConnection(const TInstanceInfo& info, const QString& database)
{
    auto connection = CreateDBConnection();
    connection->Open(TDBConnectionData::From(info, database));
    connection->Close();
}
