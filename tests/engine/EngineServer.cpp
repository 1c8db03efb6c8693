#include "EngineServer.h"
#include "OdbcConnectionString.h"

#include "TSandboxServer.h"
#include "untOdbcConnection.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QUuid>

namespace {

QString Bracketed(const QString& name)
{
    return QLatin1Char('[') + QString(name).replace(QLatin1Char(']'), QLatin1String("]]")) + QLatin1Char(']');
}

} // namespace

TTestServer::TTestServer(const QString& kind, const QStringList& extraLogins)
{
    if (kind == QLatin1String("sandbox")) {
        SetOdbcDriverOverride(QStringLiteral("FreeTDS"));
        TSandboxServer::TOptions options;
        if (!extraLogins.isEmpty())
            options.Logins = QStringList{QString::fromLatin1(TSandboxServer::DefaultUser) + QLatin1Char(':')
                                         + QString::fromLatin1(TSandboxServer::DefaultPassword)}
                           + extraLogins;
        FSandbox = std::make_unique<TSandboxServer>(options);
        FInstance = FSandbox->Instance();
        FLogin = {FInstance, QString::fromLatin1(TSandboxServer::DefaultUser),
                  QString::fromLatin1(TSandboxServer::DefaultPassword), false};
        return;
    }
    QMap<QString, QString> parts = ParseOdbc(qEnvironmentVariable("ORVEXA_TEST_SQLSERVER"));
    for (QString& value : parts)
        value = value.trimmed();
    // The driver named there, or the best one installed.
    SetOdbcDriverOverride(parts.value(QStringLiteral("DRIVER")));
    FInstance = parts.value(QStringLiteral("SERVER"));
    const QString trusted = parts.value(QStringLiteral("TRUSTED_CONNECTION")).toLower();
    FLogin = {FInstance, parts.value(QStringLiteral("UID")), parts.value(QStringLiteral("PWD")),
              trusted == QLatin1String("yes") || trusted == QLatin1String("true")};
}

TTestServer::~TTestServer()
{
    for (const QString& db : FCreated) {
        try {
            Exec(QStringLiteral("master"), QStringLiteral("ALTER DATABASE %1 SET SINGLE_USER WITH ROLLBACK IMMEDIATE; "
                                                          "DROP DATABASE %1")
                                               .arg(Bracketed(db)));
        } catch (const std::exception&) {
        }
    }
}

TInstanceInfo TTestServer::Login() const
{
    return FLogin;
}

TInstanceAndDBInfo TTestServer::Database(const QString& name) const
{
    return {FLogin.InstanceName, FLogin.UserName, FLogin.UserPWD, FLogin.NT, name};
}

QString TTestServer::CreateDatabase(const QString& name)
{
    if (FSandbox) {
        // A database of the sandbox is a SQLite file; an empty file is an
        // empty database, whatever characters its name holds.
        QFile file(QDir(FSandbox->DataDir()).filePath(name + QStringLiteral(".db")));
        if (!file.open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot create " + file.fileName().toStdString());
        return name;
    }
    const QString unique = name + QStringLiteral("_") + QUuid::createUuid().toString(QUuid::Id128).left(12);
    Exec(QStringLiteral("master"), QStringLiteral("CREATE DATABASE %1").arg(Bracketed(unique)));
    FCreated << unique;
    return unique;
}

namespace {

// Runs a batch on a connection of its own and hands every recordset to f, in
// the server's order.
template <typename F> void RunBatch(const TInstanceAndDBInfo& database, const QString& sql, F f)
{
    auto connection = CreateDBConnection();
    connection->Open(TDBConnectionData::From(database));
    auto command = connection->CreateCommand();
    command->SetCommandText(sql);
    qint64 affected = -1;
    auto rs = command->Execute(affected);
    do {
        f(*rs);
    } while (rs->NextRecordset(affected));
}

} // namespace

QStringList QueryBatch(const TInstanceAndDBInfo& database, const QString& sql)
{
    QStringList out;
    bool read = false;
    RunBatch(database, sql, [&](TDBRecordset& rs) {
        if (read || rs.State() != adStateOpen)
            return;
        read = true;
        for (; !rs.Eof(); rs.MoveNext())
            out << rs.AsString(0).toString();
    });
    return out;
}

void ExecBatch(const TInstanceAndDBInfo& database, const QString& sql)
{
    RunBatch(database, sql, [](TDBRecordset&) {});
}

QStringList TTestServer::Query(const QString& database, const QString& sql) const
{
    return QueryBatch(Database(database), sql);
}

void TTestServer::Exec(const QString& database, const QString& sql) const
{
    ExecBatch(Database(database), sql);
}

void TTestServer::StopSandbox()
{
    if (FSandbox)
        FSandbox->Stop();
}

QString TTestServer::DataDir() const
{
    return FSandbox ? FSandbox->DataDir() : QString();
}

// ---------------------------------------------------------------------------

void ServerTest::SetUp()
{
    const QString kind = QString::fromLatin1(GetParam());
    if (kind == QLatin1String("sqlserver") && qEnvironmentVariableIsEmpty("ORVEXA_TEST_SQLSERVER"))
        GTEST_SKIP() << "ORVEXA_TEST_SQLSERVER is not set: the run against a real SQL Server is skipped";
    ASSERT_TRUE(FDir.isValid());
    Server = std::make_unique<TTestServer>(kind, ExtraLogins());
}

void ServerTest::TearDown()
{
    Server.reset();
}

QString ServerTest::WriteScript(const QString& name, const QString& text)
{
    const QString path = FDir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write " + path.toStdString());
    file.write(text.toUtf8());
    return path;
}
