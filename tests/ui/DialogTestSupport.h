// What the dialog tests share: the application object, a started data module
// that is the global dmMain, a prompt recorder that answers the message
// boxes, driving of nested modal dialogs, sandbox helpers, and a listening
// socket that never answers.
#pragma once

#include "SilentServer.h"

#include "PromptRecorder.h"
#include "StoreTestSupport.h"

#include "TSandboxServer.h"
#include "TestApp.h"
#include "untDBAccess.h"
#include "untDmMain.h"

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <functional>


// Readable texts in test failures.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os)
{
    *os << '[' << list.join(QLatin1String(" | ")).toStdString() << ']';
}

class TDialogTest : public TOpenStoreTest {
protected:
    void SetUp() override
    {
        TestApp();
        TOpenStoreTest::SetUp();
        dmMain = FDm.get();
        // The data module's boxes are answered and recorded with the dialogs'.
        FDm->SetMessageBox(&FPrompt);
    }
    void TearDown() override
    {
        // Dialog drivers that never found their dialog end with the test.
        for (QTimer* timer : TestApp().findChildren<QTimer*>(QStringLiteral("OnModal"), Qt::FindDirectChildrenOnly))
            delete timer;
        QApplication::processEvents();
        dmMain = nullptr;
        TOpenStoreTest::TearDown();
    }

    // The texts of the boxes shown so far.
    QStringList ShownTexts() const
    {
        QStringList texts;
        for (const auto& shown : FPrompt.Shown)
            texts << shown.Text;
        return texts;
    }

    TPromptRecorder FPrompt;
};

// Runs action on the next modal dialog of type T once it is the active modal
// widget and ready() holds. The action runs inside that dialog's event loop
// (or a loop nested in it); it should end the dialog (or arrange for it to
// end).
template <class T>
void OnModal(std::function<void(T*)> action, std::function<bool()> ready = {})
{
    auto* timer = new QTimer(&TestApp());
    timer->setObjectName(QStringLiteral("OnModal"));
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action, ready] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible() || (ready && !ready()))
            return;
        timer->stop();
        timer->deleteLater();
        action(dialog);
    });
    timer->start();
}

inline TInstanceInfo SaLogin(const TSandboxServer& server)
{
    return {server.Instance(), QLatin1String(TSandboxServer::DefaultUser),
            QLatin1String(TSandboxServer::DefaultPassword), false};
}

inline void CreateDatabases(const TSandboxServer& server, const QStringList& names)
{
    auto conn = CreateDBConnection();
    conn->Open(TDBConnectionData::From(SaLogin(server)));
    auto cmd = conn->CreateCommand();
    for (const QString& name : names) {
        QString quoted = name;
        quoted.replace(QLatin1Char(']'), QLatin1String("]]"));
        cmd->SetCommandText(QStringLiteral("create database [%1]").arg(quoted));
        qint64 affected = -1;
        cmd->Execute(affected);
    }
    conn->Close();
}

inline void DropDatabase(const TSandboxServer& server, const QString& name)
{
    auto conn = CreateDBConnection();
    conn->Open(TDBConnectionData::From(SaLogin(server)));
    auto cmd = conn->CreateCommand();
    cmd->SetCommandText(QStringLiteral("drop database [%1]").arg(name));
    qint64 affected = -1;
    cmd->Execute(affected);
    conn->Close();
}

// A server name where nothing listens.
inline QString UnreachableInstance()
{
    TSilentServer probe;
    const QString instance = probe.Instance();
    probe.Close();
    return instance;
}
