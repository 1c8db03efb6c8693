// The data module's server work: the database catalogue of an instance and
// the connection check, on the server-access layer (untDBAccess.h). The
// connection adoSQLConn is closed between calls and rebuilt from the
// instance's record by each, so nothing carries over from one instance to the
// next. QueryDBListOfInstance and CheckConnInfo do the same work on a
// connection of their own, for the dialogs' worker threads.
#include "untDmMain.h"

#include "untDBAccess.h"

namespace {

const char* const CatalogQuery = "exec sp_MShasdbaccess";

// With Windows authentication the login's name and password play no part.
TDBConnectionData ServerConnectionData(const TInstanceInfo& info)
{
    TDBConnectionData data = TDBConnectionData::From(info);
    if (data.NT) {
        data.UserName.clear();
        data.UserPWD.clear();
    }
    return data;
}

// The catalogue query on an open connection: every row's dbname followed by "|".
QString ReadCatalog(TDBConnection& conn, int commandTimeout)
{
    QString names;
    auto cmd = conn.CreateCommand();
    cmd->SetCommandTimeout(commandTimeout);
    cmd->SetCommandText(QLatin1String(CatalogQuery));
    qint64 affected = -1;
    auto rs = cmd->Execute(affected);
    // Row counts and messages come as closed results before the rows.
    while (rs && rs->State() != adStateOpen && rs->NextRecordset(affected)) {
    }
    if (rs && rs->State() == adStateOpen) {
        const int col = rs->FieldIndex(QStringLiteral("dbname"));
        if (col < 0)
            throw EOrvexaError(QStringLiteral("The server's answer to \"%1\" has no column dbname.")
                                   .arg(QLatin1String(CatalogQuery)));
        for (; !rs->Eof(); rs->MoveNext()) {
            names += rs->AsString(col);
            names += QLatin1Char('|');
        }
        rs->Close();
    }
    return names;
}

} // namespace

QString TdmMain::GetDBListOfInstance(const TInstanceInfo& Info)
{
    CloseServerConnection();
    QString names;
    try {
        if (!adoSQLConn)
            adoSQLConn = CreateDBConnection();
        adoSQLConn->Open(ServerConnectionData(Info));
        names = ReadCatalog(*adoSQLConn, 0);
        CloseServerConnection();
    } catch (const EOrvexaError&) {
        CloseServerConnection();
        ShowMessage(QStringLiteral("Fail to get the database information."), QStringLiteral("Error"), TMsgIcon::Error);
        throw;
    }
    return names;
}

bool TdmMain::ValidateConnInfo(const TInstanceInfo& Info, QString& ErrMsg)
{
    CloseServerConnection();
    try {
        if (!adoSQLConn)
            adoSQLConn = CreateDBConnection();
        adoSQLConn->Open(ServerConnectionData(Info));
        adoSQLConn->Close();
        return true;
    } catch (const EOrvexaError& e) {
        CloseServerConnection();
        ErrMsg = e.Message();
        return false;
    }
}

QString QueryDBListOfInstance(const TInstanceInfo& Info, int timeoutSeconds)
{
    auto conn = CreateDBConnection();
    conn->SetConnectionTimeout(timeoutSeconds);
    conn->Open(ServerConnectionData(Info));
    QString names = ReadCatalog(*conn, timeoutSeconds);
    conn->Close();
    return names;
}

bool CheckConnInfo(const TInstanceInfo& Info, QString& ErrMsg, int timeoutSeconds)
{
    try {
        auto conn = CreateDBConnection();
        conn->SetConnectionTimeout(timeoutSeconds);
        conn->Open(ServerConnectionData(Info));
        conn->Close();
        return true;
    } catch (const EOrvexaError& e) {
        ErrMsg = e.Message();
        return false;
    }
}
