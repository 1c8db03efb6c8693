// Helpers shared by the data module's tests: a private XDG_DATA_HOME per test,
// direct access to the store file, and small packet builders.
#pragma once

#include "untCommon.h"
#include "untDmMain.h"
#include "untListPacket.h"
#include "untStoreDB.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Each test gets its own application-data folder. ctest runs every test in a
// process of its own, so setting the variable affects that test only.
class TStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FTemp.isValid());
        qputenv("XDG_DATA_HOME", FTemp.path().toUtf8());
        CurrentConfig = {};
    }

    QString DataHome() const { return FTemp.path(); }
    QString StoreFolder() const { return FTemp.path() + QStringLiteral("/Velmora"); }
    QString StoreFile() const { return StoreFolder() + QStringLiteral("/Data.db"); }
    QString TempFile(const QString& name) const { return FTemp.filePath(name); }

    static QByteArray ReadAll(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void WriteAll(const QString& path, const QByteArray& data)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(data), data.size());
    }

    // A second connection to the store file, as the data module opens it.
    std::unique_ptr<TStoreConnection> OpenDirect() const
    {
        auto c = std::make_unique<TStoreConnection>();
        c->Open(StoreFile(), QLatin1String(TdmMain::StorePassword));
        return c;
    }

    // Runs a command-line tool with the given standard input.
    struct TToolResult {
        int ExitCode = -1;
        QString Out;
        QString Err;
    };
    static TToolResult RunTool(const QString& program, const QStringList& args, const QByteArray& input = {})
    {
        QProcess p;
        p.start(program, args);
        TToolResult r;
        if (!p.waitForStarted(10000))
            return r;
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(30000);
        r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.Out = QString::fromUtf8(p.readAllStandardOutput());
        r.Err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    QTemporaryDir FTemp;
    TRecordingMessageBox FBoxes;
};

// The same with the data module started on that folder.
class TOpenStoreTest : public TStoreTest {
protected:
    void SetUp() override
    {
        TStoreTest::SetUp();
        FDm = std::make_unique<TdmMain>(&FBoxes);
        FDm->DataModuleCreate();
    }
    void TearDown() override { FDm.reset(); }
    TdmMain& Dm() { return *FDm; }

    std::unique_ptr<TdmMain> FDm;
};

inline TPacketInstance MakeInstance(qint32 id, const QString& name, const QString& user, const QString& pwd, bool nt,
                                    const QList<QPair<qint32, QString>>& dbs = {})
{
    TPacketInstance inst{id, name, user, pwd, nt, {}};
    for (const auto& [dbId, dbName] : dbs)
        inst.Databases.append({dbId, id, dbName});
    return inst;
}

inline std::ostream& operator<<(std::ostream& os, const TInstanceAndDBInfo& e)
{
    return os << "{" << e.InstanceName.toStdString() << ", " << e.UserName.toStdString() << ", "
              << e.UserPWD.toStdString() << ", " << (e.NT ? "NT" : "SQL") << ", " << e.DatabaseName.toStdString()
              << "}";
}

inline std::ostream& operator<<(std::ostream& os, const TDBListPacket& p)
{
    for (const TPacketInstance& i : p.Instances) {
        os << "[" << i.InstanceID << " " << i.InstanceName.toStdString() << " " << i.UserName.toStdString() << " "
           << i.UserPWD.toStdString() << " " << i.NT << ":";
        for (const TPacketDatabase& d : i.Databases)
            os << " (" << d.DatabaseID << " " << d.InstanceID << " " << d.DatabaseName.toStdString() << ")";
        os << "]";
    }
    return os;
}
