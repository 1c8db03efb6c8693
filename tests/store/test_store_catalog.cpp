// The server catalogue and the connection check, against a real tds-sandbox
// on a port of its own, through the FreeTDS ODBC driver.
#include "StoreTestSupport.h"

#include "SilentServer.h"
#include "TSandboxServer.h"
#include "untDBAccess.h"

#include <QFile>

namespace {

class StoreCatalog : public TOpenStoreTest {
protected:
    static TInstanceInfo Login(const TSandboxServer& server, const QString& user, const QString& password)
    {
        return {server.Instance(), user, password, false};
    }
    static TInstanceInfo Sa(const TSandboxServer& server)
    {
        return Login(server, QLatin1String(TSandboxServer::DefaultUser), QLatin1String(TSandboxServer::DefaultPassword));
    }
    // Creates databases on the server through the server-access layer.
    static void CreateDatabases(const TSandboxServer& server, const QStringList& names)
    {
        auto conn = CreateDBConnection();
        conn->Open(TDBConnectionData::From(Sa(server)));
        auto cmd = conn->CreateCommand();
        for (const QString& name : names) {
            cmd->SetCommandText(QStringLiteral("create database [%1]").arg(name));
            qint64 affected = -1;
            cmd->Execute(affected);
        }
        conn->Close();
    }

    // The dbname column of the procedure's rows, read directly.
    static QStringList RowsOfCatalogQuery(const TSandboxServer& server)
    {
        auto conn = CreateDBConnection();
        conn->Open(TDBConnectionData::From(Sa(server)));
        auto cmd = conn->CreateCommand();
        cmd->SetCommandText(QStringLiteral("exec sp_MShasdbaccess"));
        qint64 affected = -1;
        auto rs = cmd->Execute(affected);
        while (rs && rs->State() != adStateOpen && rs->NextRecordset(affected)) {
        }
        QStringList names;
        const int col = rs ? rs->FieldIndex(QStringLiteral("dbname")) : -1;
        for (; rs && col >= 0 && !rs->Eof(); rs->MoveNext())
            names << rs->AsString(col).toString();
        return names;
    }
};

TEST_F(StoreCatalog, NamesComeInRowOrderEachFollowedByABar)
{
    TSandboxServer server;
    CreateDatabases(server, {"Sales", "HR", "Archive"});
    const QString list = Dm().GetDBListOfInstance(Sa(server));
    ASSERT_TRUE(list.endsWith(QLatin1Char('|'))) << list.toStdString();
    const QStringList names = list.chopped(1).split(QLatin1Char('|'));
    EXPECT_TRUE(names.contains("Sales") && names.contains("HR") && names.contains("Archive")) << list.toStdString();
    // Exactly the procedure's rows, in the server's order.
    EXPECT_EQ(names, RowsOfCatalogQuery(server));
    // The same call again gives the same answer: nothing is left over.
    EXPECT_EQ(Dm().GetDBListOfInstance(Sa(server)), list);
    EXPECT_TRUE(FBoxes.Shown.isEmpty());
}

TEST_F(StoreCatalog, RefusedLoginFailsWithTheProvidersTextAndTheNextCallWorks)
{
    TSandboxServer::TOptions options;
    options.Logins << QStringLiteral("sa:Sandbox-2026") << QStringLiteral("app:O'Neil;\"x\"=y");
    TSandboxServer server(options);
    TSandboxServer other;
    CreateDatabases(other, {"OtherDb"});

    const TInstanceInfo wrong = Login(server, "sa", "wrong password");
    QString err = QStringLiteral("untouched");
    EXPECT_FALSE(Dm().ValidateConnInfo(wrong, err));
    EXPECT_TRUE(err.contains(QLatin1String("Login failed"), Qt::CaseInsensitive)) << err.toStdString();

    try {
        Dm().GetDBListOfInstance(wrong);
        ADD_FAILURE() << "the catalogue of a refused login worked";
    } catch (const EOrvexaError& e) {
        EXPECT_TRUE(e.Message().contains(QLatin1String("Login failed"), Qt::CaseInsensitive))
            << e.Message().toStdString();
    }
    ASSERT_EQ(FBoxes.Shown.size(), 1);
    EXPECT_EQ(FBoxes.Shown[0].Text, "Fail to get the database information.");
    EXPECT_EQ(FBoxes.Shown[0].Caption, "Error");
    EXPECT_EQ(FBoxes.Shown[0].Icon, TMsgIcon::Error);

    // The next call, for another instance, starts from scratch and works.
    EXPECT_TRUE(Dm().GetDBListOfInstance(Sa(other)).contains(QLatin1String("OtherDb|")));
    QString ok = QStringLiteral("untouched");
    EXPECT_TRUE(Dm().ValidateConnInfo(Login(server, "app", "O'Neil;\"x\"=y"), ok));
    EXPECT_EQ(ok, QStringLiteral("untouched"));
    EXPECT_EQ(FBoxes.Shown.size(), 1);
}

TEST_F(StoreCatalog, UnreachableServerFails)
{
    // Take a port, then free it: nothing listens there any more.
    QString instance;
    {
        TSandboxServer gone;
        instance = gone.Instance();
    }
    QString err;
    EXPECT_FALSE(Dm().ValidateConnInfo({instance, "sa", "x", false}, err));
    EXPECT_FALSE(err.isEmpty());
    EXPECT_THROW(Dm().GetDBListOfInstance({instance, "sa", "x", false}), EOrvexaError);
    EXPECT_EQ(FBoxes.Shown.size(), 1);
}

// A server that accepts the connection and never answers: both operations
// end at the login time-out and say which instance did not answer.
TEST_F(StoreCatalog, ASilentServerFailsAtTheLoginTimeout)
{
    TSilentServer silent;
    const TInstanceInfo info{silent.Instance(), "sa", "x", false};
    const QString expected =
        QStringLiteral("Login timeout expired: %1 did not answer within 2 seconds.").arg(silent.Instance());
    qputenv("ORVEXA_TEST_LOGIN_TIMEOUT", "2");
    QString err;
    FinishesWithin(std::chrono::seconds(40), "the connection check", [&] {
        EXPECT_FALSE(Dm().ValidateConnInfo(info, err));
    });
    EXPECT_EQ(err, expected);
    QString message;
    FinishesWithin(std::chrono::seconds(40), "the catalogue query", [&] {
        try {
            Dm().GetDBListOfInstance(info);
        } catch (const EOrvexaError& e) {
            message = e.Message();
        }
    });
    qunsetenv("ORVEXA_TEST_LOGIN_TIMEOUT");
    EXPECT_EQ(message, expected);
    ASSERT_EQ(FBoxes.Shown.size(), 1);
    EXPECT_EQ(FBoxes.Shown[0].Text, "Fail to get the database information.");
}

} // namespace
