// The instance dialog on the offscreen platform, with a real store and a real
// tds-sandbox: the name checks, the connection test off the GUI thread and
// its question, the history, the authentication controls.
#include "DialogTestSupport.h"

#include "untAddInstance.h"

#include <QComboBox>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>

namespace {

constexpr int WaitMs = 30000;

class AddInstanceDialog : public TDialogTest {
protected:
    void SetUp() override
    {
        TDialogTest::SetUp();
        Dialog = std::make_unique<TfrmAddInstance>();
        Dialog->IsDBExists = [this](const QString& name) {
            for (const QString& existing : Existing)
                if (existing.compare(name, Qt::CaseInsensitive) == 0)
                    return true;
            return false;
        };
    }
    void TearDown() override
    {
        Dialog.reset();
        TDialogTest::TearDown();
    }

    // Opens the dialog (not modally) as the selection dialog would.
    void Open(TShowMode mode, const TInstanceInfo& info)
    {
        Dialog->SetShowMode(mode, info);
        Dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Dialog.get()));
    }
    // Presses OK and waits until a connection test started by it has been
    // handled. False when no test ran (a name check stopped it).
    bool PressOK()
    {
        QSignalSpy done(Dialog.get(), &TfrmAddInstance::ConnectionTestDone);
        QTest::mouseClick(Dialog->btnOK, Qt::LeftButton);
        if (!Dialog->IsTesting())
            return false;
        EXPECT_TRUE(done.wait(WaitMs));
        return true;
    }
    QStringList ComboItems() const
    {
        QStringList items;
        for (int i = 0; i < Dialog->cbxInstance->count(); ++i)
            items << Dialog->cbxInstance->itemText(i);
        return items;
    }

    QStringList Existing;
    std::unique_ptr<TfrmAddInstance> Dialog;
};

TEST_F(AddInstanceDialog, NameChecksComeFirstAndKeepTheDialogOpen)
{
    TSandboxServer server;
    const QString sandbox = server.Instance();
    struct TCase {
        const char* Title;
        QString Name;
        TShowMode Mode;
        QStringList Existing;
        QString Message;  // empty: accepted after a good connection test
        QString Caption;
        TMsgIcon Icon;
    };
    const TCase cases[] = {
        {"empty", "", smAdd, {}, "Server name should not be empty.", "Hint", TMsgIcon::Information},
        {"blanks only", "   ", smAdd, {}, "Server name should not be empty.", "Hint", TMsgIcon::Information},
        {"blanks and tabs", " \t ", smEdit, {}, "Server name should not be empty.", "Hint", TMsgIcon::Information},
        {"same name, other case", "SRV-ONE", smAdd, {"srv-one"}, "Server name has existed.", "Error", TMsgIcon::Error},
        {"same name", sandbox, smAdd, {sandbox}, "Server name has existed.", "Error", TMsgIcon::Error},
        {"editing never checks", sandbox, smEdit, {sandbox}, "", "", TMsgIcon::Information},
        {"a new name", sandbox, smAdd, {"srv-one"}, "", "", TMsgIcon::Information},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Title);
        FPrompt.Shown.clear();
        Existing = c.Existing;
        Open(c.Mode, {c.Name, "sa", QLatin1String(TSandboxServer::DefaultPassword), false});
        Dialog->rdoPwd->click();
        const bool tested = PressOK();
        if (c.Message.isEmpty()) {
            EXPECT_TRUE(tested);
            EXPECT_TRUE(FPrompt.Shown.isEmpty()) << ShownTexts().join(" / ").toStdString();
            EXPECT_FALSE(Dialog->isVisible());
            EXPECT_EQ(Dialog->result(), QDialog::Accepted);
            EXPECT_EQ(Dialog->GetInstanceInfo().InstanceName, c.Name);
        } else {
            EXPECT_FALSE(tested);
            ASSERT_EQ(FPrompt.Shown.size(), 1);
            EXPECT_EQ(FPrompt.Shown[0].Text, c.Message);
            EXPECT_EQ(FPrompt.Shown[0].Caption, c.Caption);
            EXPECT_EQ(FPrompt.Shown[0].Icon, c.Icon);
            EXPECT_TRUE(Dialog->isVisible());
        }
        Dialog->hide();
    }
}

TEST_F(AddInstanceDialog, AFailedTestAsksAndTheNameGoesFirstInTheHistoryEitherWay)
{
    TSandboxServer server;
    struct TCase {
        const char* Title;
        TInstanceInfo Info;
        TMsgAnswer Answer;
        const char* ErrorPart;  // expected in the provider's text
    };
    const TCase cases[] = {
        {"nothing listens, No", {UnreachableInstance(), "sa", "x", false}, TMsgButton::No, ""},
        {"nothing listens, Yes", {UnreachableInstance(), "sa", "x", false}, TMsgButton::Yes, ""},
        {"login refused, No", {server.Instance(), "sa", "wrong", false}, TMsgButton::No, "Login failed"},
        {"login refused, Yes", {server.Instance(), "sa", "wrong", false}, TMsgButton::Yes, "Login failed"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Title);
        FPrompt.Shown.clear();
        FPrompt.Answers.clear();
        FPrompt.Answers.enqueue(c.Answer);
        Open(smAdd, c.Info);
        Dialog->rdoPwd->click();
        ASSERT_TRUE(PressOK());
        ASSERT_EQ(FPrompt.Shown.size(), 1);
        const auto& shown = FPrompt.Shown[0];
        EXPECT_TRUE(shown.Text.startsWith("ERROR:")) << shown.Text.toStdString();
        EXPECT_TRUE(shown.Text.endsWith("\r\nCan't Connect to this instance, would you want to continue?"))
            << shown.Text.toStdString();
        EXPECT_TRUE(shown.Text.contains(QLatin1String(c.ErrorPart), Qt::CaseInsensitive)) << shown.Text.toStdString();
        EXPECT_GT(shown.Text.size(), QStringLiteral("ERROR:\r\nCan't Connect to this instance, would you want to continue?").size());
        EXPECT_EQ(shown.Caption, "Connection Error");
        EXPECT_EQ(shown.Icon, TMsgIcon::Error);
        EXPECT_EQ(shown.Buttons, TMsgButton::Yes | TMsgButton::No);
        EXPECT_EQ(Dialog->isVisible(), c.Answer == TMsgButton::No);
        EXPECT_TRUE(Dm().GetInstanceHist().startsWith(c.Info.InstanceName + "|")) << Dm().GetInstanceHist().toStdString();
        if (c.Answer == TMsgButton::Yes) {
            EXPECT_EQ(Dialog->result(), QDialog::Accepted);
            EXPECT_EQ(Dialog->GetInstanceInfo(), c.Info);
        }
        Dialog->hide();
    }
}

TEST_F(AddInstanceDialog, HistoryKeepsEightNamesMostRecentFirstAndKeepsTheListsLetterCase)
{
    TSandboxServer server;
    const QString sandbox = server.Instance();
    const QString upper = "TCP:" + sandbox;
    const QString lower = "tcp:" + sandbox;
    const TInstanceInfo login{QString(), "sa", QLatin1String(TSandboxServer::DefaultPassword), false};

    // A ninth name goes first and the oldest drops out of the store; the
    // combo box's own list keeps all nine until the next showing.
    Dm().UpdateInstanceHist("s1|s2|s3|s4|s5|s6|s7|s8|");
    Open(smAdd, {sandbox, login.UserName, login.UserPWD, false});
    Dialog->rdoPwd->click();
    EXPECT_EQ(ComboItems(), QStringList({"s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8"}));
    EXPECT_EQ(Dialog->cbxInstance->currentText(), sandbox);  // the list leaves the text alone
    ASSERT_TRUE(PressOK());
    EXPECT_EQ(Dm().GetInstanceHist(), sandbox + "|s1|s2|s3|s4|s5|s6|s7|");
    EXPECT_EQ(ComboItems().size(), 9);
    EXPECT_EQ(ComboItems().last(), "s8");

    // A name already there in another letter case moves up with its own
    // spelling; the instance keeps the spelling typed.
    Dm().UpdateInstanceHist("s1|" + upper + "|s2|");
    Open(smAdd, {lower, login.UserName, login.UserPWD, false});
    ASSERT_TRUE(PressOK());
    EXPECT_TRUE(FPrompt.Shown.isEmpty()) << ShownTexts().join(" / ").toStdString();
    EXPECT_EQ(Dm().GetInstanceHist(), upper + "|s1|s2|");
    EXPECT_EQ(Dialog->GetInstanceInfo().InstanceName, lower);
}

TEST_F(AddInstanceDialog, RadioButtonsDriveThePanelAndKeepWhatWasTyped)
{
    Open(smAdd, {"srv", "", "", true});
    EXPECT_TRUE(Dialog->rdoNT->isChecked());
    EXPECT_FALSE(Dialog->pnlUserPwd->isEnabled());
    const QColor face = Dialog->palette().color(QPalette::Button);
    const QColor window = Dialog->palette().color(QPalette::Base);
    EXPECT_EQ(Dialog->edtUserName->palette().color(QPalette::Base), face);

    QTest::mouseClick(Dialog->rdoPwd, Qt::LeftButton);
    EXPECT_TRUE(Dialog->pnlUserPwd->isEnabled());
    EXPECT_EQ(Dialog->edtUserName->palette().color(QPalette::Base), window);
    EXPECT_EQ(Dialog->edtUserPwd->palette().color(QPalette::Base), window);
    QTest::keyClicks(Dialog->edtUserName, "O'Neil");
    QTest::keyClicks(Dialog->edtUserPwd, "p;w{d}");
    EXPECT_EQ(Dialog->edtUserPwd->echoMode(), QLineEdit::Password);

    QTest::mouseClick(Dialog->rdoNT, Qt::LeftButton);
    EXPECT_FALSE(Dialog->pnlUserPwd->isEnabled());
    EXPECT_EQ(Dialog->edtUserPwd->palette().color(QPalette::Base), face);
    Dialog->InstanceName = "srv";
    EXPECT_EQ(Dialog->GetInstanceInfo(), (TInstanceInfo{"srv", "O'Neil", "p;w{d}", true}));
}

TEST_F(AddInstanceDialog, EditingKeepsTheNameAndDeselectsWindowsAuthentication)
{
    Open(smAdd, {"", "", "", true});
    Dialog->hide();
    Open(smEdit, {"srv", "app", "pw", false});
    EXPECT_FALSE(Dialog->cbxInstance->isEnabled());
    EXPECT_EQ(Dialog->cbxInstance->currentText(), "srv");
    EXPECT_FALSE(Dialog->rdoNT->isChecked());
    // rdoPwd and the panel stay as the previous opening left them.
    EXPECT_FALSE(Dialog->rdoPwd->isChecked());
    EXPECT_FALSE(Dialog->pnlUserPwd->isEnabled());
    EXPECT_EQ(Dialog->edtUserName->text(), "app");
    EXPECT_EQ(Dialog->edtUserPwd->text(), "pw");
    EXPECT_FALSE(Dialog->GetInstanceInfo().NT);

    Dialog->hide();
    Open(smAdd, {"", "", "", true});
    EXPECT_TRUE(Dialog->cbxInstance->isEnabled());
    EXPECT_TRUE(Dialog->rdoNT->isChecked());
}

TEST_F(AddInstanceDialog, TheConnectionTestDoesNotHoldTheDialogAndEndsAfterTheTimeOut)
{
    TSilentServer silent;
    Dialog->ConnectionTimeout = 2;
    FPrompt.Answers.enqueue(TMsgButton::No);
    Open(smAdd, {silent.Instance(), "sa", "x", false});
    Dialog->rdoPwd->click();
    QSignalSpy done(Dialog.get(), &TfrmAddInstance::ConnectionTestDone);
    QTest::mouseClick(Dialog->btnOK, Qt::LeftButton);

    // The click has returned while the server has not answered.
    ASSERT_TRUE(Dialog->IsTesting());
    EXPECT_TRUE(FPrompt.Shown.isEmpty());
    EXPECT_FALSE(Dialog->btnOK->isEnabled());
    EXPECT_FALSE(Dialog->btnCancel->isEnabled());
    EXPECT_FALSE(Dialog->cbxInstance->isEnabled());
    EXPECT_EQ(Dialog->cursor().shape(), Qt::BusyCursor);
    QTest::keyClick(Dialog.get(), Qt::Key_Escape);
    EXPECT_TRUE(Dialog->isVisible());

    ASSERT_TRUE(done.wait(WaitMs));
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_EQ(FPrompt.Shown[0].Caption, "Connection Error");
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_TRUE(Dialog->btnOK->isEnabled());
    EXPECT_TRUE(Dialog->btnCancel->isEnabled());
    EXPECT_TRUE(Dialog->cbxInstance->isEnabled());
    EXPECT_TRUE(Dialog->pnlUserPwd->isEnabled());
    EXPECT_EQ(Dialog->cursor().shape(), Qt::ArrowCursor);
    QTest::keyClick(Dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(Dialog->isVisible());
    EXPECT_EQ(Dialog->result(), QDialog::Rejected);
}

TEST_F(AddInstanceDialog, PasswordsAndNamesWithQuotesAndBracesPassUnchanged)
{
    const QString password = QStringLiteral("p'a\"s;s{w}o}rd");
    TSandboxServer::TOptions options;
    options.Logins << QStringLiteral("sa:Sandbox-2026") << (QStringLiteral("o'ne;\"il\":") + password);
    TSandboxServer server(options);
    Open(smAdd, {server.Instance(), "", "", true});
    QTest::mouseClick(Dialog->rdoPwd, Qt::LeftButton);
    QTest::keyClicks(Dialog->edtUserName, "o'ne;\"il\"");
    QTest::keyClicks(Dialog->edtUserPwd, password);
    ASSERT_TRUE(PressOK());
    EXPECT_TRUE(FPrompt.Shown.isEmpty()) << ShownTexts().join(" / ").toStdString();
    EXPECT_EQ(Dialog->result(), QDialog::Accepted);
    EXPECT_EQ(Dialog->GetInstanceInfo(), (TInstanceInfo{server.Instance(), "o'ne;\"il\"", password, false}));
}

TEST_F(AddInstanceDialog, KeyboardReachesEveryControlInTheGivenOrder)
{
    Open(smAdd, {"", "", "", true});
    Dialog->rdoPwd->click();
    const QList<QWidget*> order{Dialog->rdoNT, Dialog->rdoPwd, Dialog->edtUserName, Dialog->edtUserPwd,
                                Dialog->btnOK, Dialog->btnCancel, Dialog->cbxInstance};
    for (int i = 0; i < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        while (next && next->focusPolicy() == Qt::NoFocus)
            next = next->nextInFocusChain();
        QWidget* expected = order[(i + 1) % order.size()];
        // The combo box's own line edit sits inside it.
        if (next && expected == Dialog->cbxInstance && Dialog->cbxInstance->isAncestorOf(next))
            next = Dialog->cbxInstance;
        if (i + 1 < order.size()) {
            EXPECT_EQ(next, expected) << i;
        }
    }
    // Enter in the name box is OK.
    QTest::keyClick(Dialog->cbxInstance->lineEdit(), Qt::Key_Return);
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_EQ(FPrompt.Shown[0].Text, "Server name should not be empty.");
}

} // namespace
