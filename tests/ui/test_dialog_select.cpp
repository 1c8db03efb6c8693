// The database selection dialog on the offscreen platform, with a real store
// and real tds-sandbox servers: the working copy, the tree with its
// placeholders and on-demand children loaded off the GUI thread, ">" and "<",
// the instance commands, OK and Cancel.
#include "DialogTestSupport.h"

#include "untAddInstance.h"
#include "untSelInstance.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTreeWidget>

namespace {

constexpr int WaitMs = 30000;

class SelectDialog : public TDialogTest {
protected:
    void SetUp() override
    {
        TDialogTest::SetUp();
        Select = std::make_unique<TfrmDBSelect>();
        Select->ServerTimeout = 2;
        Select->frmAddInstance->ConnectionTimeout = 2;
    }
    void TearDown() override
    {
        Select.reset();
        TDialogTest::TearDown();
    }

    void Store(const TDBListPacket& packet) { ASSERT_TRUE(Dm().UpdateDBListData(packet)); }

    void Show()
    {
        Select->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Select.get()));
    }

    QTreeWidget* Tree() const { return Select->tvInstances; }
    QTreeWidgetItem* Node(const QString& instance) const
    {
        for (int i = 0; i < Tree()->topLevelItemCount(); ++i)
            if (Tree()->topLevelItem(i)->text(0) == instance)
                return Tree()->topLevelItem(i);
        return nullptr;
    }
    static QTreeWidgetItem* Child(QTreeWidgetItem* node, const QString& name)
    {
        for (int i = 0; node && i < node->childCount(); ++i)
            if (node->child(i)->text(0) == name)
                return node->child(i);
        return nullptr;
    }
    static QStringList Children(QTreeWidgetItem* node)
    {
        QStringList names;
        for (int i = 0; node && i < node->childCount(); ++i)
            names << node->child(i)->text(0);
        return names;
    }
    QStringList ListTexts() const
    {
        QStringList texts;
        for (int i = 0; i < Select->lbDatabases->count(); ++i)
            texts << Select->lbDatabases->item(i)->text();
        return texts;
    }
    // A click on a node as the user makes it.
    void Click(QTreeWidgetItem* item, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        ASSERT_TRUE(item);
        Tree()->scrollToItem(item);
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, modifiers, Tree()->visualItemRect(item).center());
    }
    // Opens an instance node and waits for its catalogue query.
    bool Expand(QTreeWidgetItem* node)
    {
        QSignalSpy loaded(Select.get(), &TfrmDBSelect::InstanceLoaded);
        Tree()->expandItem(node);
        if (!loaded.wait(WaitMs))
            return false;
        return loaded.first().at(1).toBool();
    }
    // Fills in the instance dialog when it opens and presses OK or Cancel.
    void AnswerInstanceDialog(const TInstanceInfo& info, bool ok, bool* handled)
    {
        OnModal<TfrmAddInstance>([info, ok, handled](TfrmAddInstance* dialog) {
            dialog->cbxInstance->setEditText(info.InstanceName);
            (info.NT ? dialog->rdoNT : dialog->rdoPwd)->click();
            dialog->edtUserName->setText(info.UserName);
            dialog->edtUserPwd->setText(info.UserPWD);
            *handled = true;
            QTest::mouseClick(ok ? dialog->btnOK : dialog->btnCancel, Qt::LeftButton);
        });
    }
    bool WaitForInstanceDialog(const bool& handled)
    {
        return QTest::qWaitFor([&] { return handled && !Select->frmAddInstance->isVisible(); }, WaitMs);
    }

    std::unique_ptr<TfrmDBSelect> Select;
};

TEST_F(SelectDialog, TheFirstShowingWithoutInstancesAsksForOne)
{
    struct TCase {
        const char* Title;
        bool Ok;
    };
    TSandboxServer server;
    for (const TCase c : {TCase{"Cancel", false}, TCase{"OK", true}}) {
        SCOPED_TRACE(c.Title);
        bool handled = false;
        AnswerInstanceDialog(SaLogin(server), c.Ok, &handled);
        Show();
        ASSERT_TRUE(WaitForInstanceDialog(handled));
        EXPECT_TRUE(Select->isVisible());
        EXPECT_TRUE(Select->lbDatabases->count() == 0);
        if (!c.Ok) {
            EXPECT_EQ(Tree()->topLevelItemCount(), 0);
        } else {
            ASSERT_EQ(Tree()->topLevelItemCount(), 1);
            QTreeWidgetItem* node = Tree()->topLevelItem(0);
            EXPECT_EQ(node->text(0), server.Instance());
            EXPECT_EQ(Children(node), QStringList{"JustForPlace"});
            EXPECT_EQ(Tree()->currentItem(), node);
            EXPECT_EQ(Select->CurrentTopLevelNode, node);
            EXPECT_EQ(Select->WorkingCopy().Instances.size(), 1);
        }
        Select->reject();
    }
    EXPECT_TRUE(Dm().GetDBListData().Instances.isEmpty());
}

// From an empty store to chosen databases in the store, through Execute().
TEST_F(SelectDialog, AddASandboxInstanceChooseDatabasesAndStoreThem)
{
    TSandboxServer server;
    CreateDatabases(server, {"Sales", "HR", "Archive"});
    bool added = false;
    AnswerInstanceDialog(SaLogin(server), true, &added);
    bool chosen = false;
    // Once the instance the empty store asked for is in the tree (and the
    // instance dialog's loop has ended), choose its databases.
    OnModal<TfrmDBSelect>([&](TfrmDBSelect* dialog) {
        QTreeWidgetItem* node = Node(server.Instance());
        ASSERT_TRUE(node);
        ASSERT_TRUE(Expand(node));
        EXPECT_TRUE(node->isExpanded());
        EXPECT_EQ(Tree()->currentItem(), node);
        Click(Child(node, "Sales"));
        Click(Child(node, "HR"), Qt::ControlModifier);
        QTest::mouseClick(dialog->btnSel, Qt::LeftButton);
        EXPECT_EQ(ListTexts(), QStringList({"HR", "Sales"}));
        chosen = true;
        QTest::mouseClick(dialog->btnOK, Qt::LeftButton);
    }, [&] { return added && !Select->frmAddInstance->isVisible() && Node(server.Instance()); });
    EXPECT_TRUE(Select->Execute());
    EXPECT_TRUE(chosen);
    EXPECT_FALSE(Select->IsWorkingCopyOpen());
    const TInstanceInfo sa = SaLogin(server);
    const TInstanceAndDBArr expected{{sa.InstanceName, sa.UserName, sa.UserPWD, false, "HR"},
                                     {sa.InstanceName, sa.UserName, sa.UserPWD, false, "Sales"}};
    EXPECT_EQ(Dm().GetDBList(), expected);
    EXPECT_EQ(FPrompt.Shown.size(), 0) << ShownTexts().join(" / ").toStdString();
}

TEST_F(SelectDialog, MovingDatabasesFollowsTheCaseRules)
{
    TSandboxServer server;
    CreateDatabases(server, {"Sales", "HR", "Archive"});
    const TInstanceInfo sa = SaLogin(server);
    Store({{MakeInstance(1, sa.InstanceName, sa.UserName, sa.UserPWD, false, {{1, "SALES"}})}});
    Show();
    QTreeWidgetItem* node = Node(sa.InstanceName);
    ASSERT_TRUE(Expand(node));
    const qint32 firstNewID = Dm().GetNextDatabaseID() + 1;

    struct TCase {
        const char* Title;
        QStringList Select;  // nodes clicked in order with Ctrl; "" is the instance node
        const char* Button;  // ">" or "<"
        QStringList ListSelect;
        QStringList Expected;
    };
    const TCase cases[] = {
        {"only the instance node", {""}, ">", {}, {"SALES"}},
        {"chosen already in another case", {"Sales"}, ">", {}, {"SALES"}},
        {"two new ones", {"Archive", "HR"}, ">", {}, {"Archive", "HR", "SALES"}},
        {"again, with one chosen", {"Archive", "Sales"}, ">", {}, {"Archive", "HR", "SALES"}},
        {"back, two of three", {}, "<", {"Archive", "SALES"}, {"HR"}},
        {"back, none selected", {}, "<", {}, {"HR"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Title);
        Tree()->clearSelection();
        for (int i = 0; i < c.Select.size(); ++i)
            Click(c.Select[i].isEmpty() ? node : Child(node, c.Select[i]), i ? Qt::ControlModifier : Qt::NoModifier);
        Select->lbDatabases->clearSelection();
        for (const QString& entry : c.ListSelect)
            Select->lbDatabases->findItems(entry, Qt::MatchExactly).value(0)->setSelected(true);
        QTest::mouseClick(QLatin1String(c.Button) == ">" ? Select->btnSel : Select->btnDel, Qt::LeftButton);
        EXPECT_EQ(ListTexts(), c.Expected);
    }
    // The new rows got fresh identifiers and the instance's key.
    for (const TPacketDatabase& db : Select->WorkingCopy().Instances[0].Databases) {
        EXPECT_EQ(db.InstanceID, 1);
        if (db.DatabaseName == "HR") {
            EXPECT_GE(db.DatabaseID, firstNewID - 1);
        }
    }
}

TEST_F(SelectDialog, SelectionIsSiblingsOnly)
{
    TSandboxServer server;
    CreateDatabases(server, {"Sales", "HR"});
    const TInstanceInfo sa = SaLogin(server);
    Store({{MakeInstance(1, sa.InstanceName, sa.UserName, sa.UserPWD, false)}});
    Show();
    QTreeWidgetItem* node = Node(sa.InstanceName);
    ASSERT_TRUE(Expand(node));
    Click(Child(node, "Sales"));
    Click(Child(node, "HR"), Qt::ControlModifier);
    EXPECT_EQ(Tree()->selectedItems().size(), 2);
    Click(node, Qt::ControlModifier);
    EXPECT_EQ(Tree()->selectedItems(), QList<QTreeWidgetItem*>{node});
}

TEST_F(SelectDialog, TheListFollowsTheInstanceOfTheCurrentNode)
{
    Store({{MakeInstance(1, "srv-a", "", "", true, {{1, "b2"}, {2, "a1"}, {3, "C3"}}),
            MakeInstance(2, "srv-b", "", "", true, {{4, "x"}}),
            MakeInstance(3, "srv-c", "", "", true)}});
    Show();
    // After the showing the last instance is current.
    EXPECT_EQ(Select->CurrentTopLevelNode, Node("srv-c"));
    EXPECT_EQ(ListTexts(), QStringList());
    struct TCase {
        const char* Node;
        QStringList Expected;
    };
    for (const TCase& c : {TCase{"srv-a", {"a1", "b2", "C3"}}, TCase{"srv-b", {"x"}}, TCase{"srv-c", {}},
                           TCase{"srv-a", {"a1", "b2", "C3"}}}) {
        SCOPED_TRACE(c.Node);
        Click(Node(c.Node));
        EXPECT_EQ(ListTexts(), c.Expected);
        EXPECT_EQ(Select->CurrentTopLevelNode, Node(c.Node));
    }
}

TEST_F(SelectDialog, ChosenDatabasesStayWhenNotOpenedOrNoLongerReported)
{
    TSandboxServer server;
    CreateDatabases(server, {"Sales", "Gone"});
    const TInstanceInfo sa = SaLogin(server);
    const TDBListPacket stored{{MakeInstance(1, sa.InstanceName, sa.UserName, sa.UserPWD, false,
                                             {{1, "Gone"}, {2, "Sales"}}),
                                MakeInstance(2, "never-opened", "", "", true, {{3, "Keep"}})}};
    Store(stored);
    DropDatabase(server, "Gone");
    Show();
    QTreeWidgetItem* node = Node(sa.InstanceName);
    ASSERT_TRUE(Expand(node));
    EXPECT_FALSE(Children(node).contains("Gone"));
    EXPECT_TRUE(Children(node).contains("Sales"));
    EXPECT_EQ(ListTexts(), QStringList({"Gone", "Sales"}));
    QTest::mouseClick(Select->btnOK, Qt::LeftButton);
    EXPECT_FALSE(Select->isVisible());
    EXPECT_EQ(Dm().GetDBListData(), stored);
}

TEST_F(SelectDialog, RemoveInstanceTakesTheWholeInstanceWithoutAQuestion)
{
    const TDBListPacket stored{{MakeInstance(1, "srv-a", "", "", true, {{1, "a1"}}),
                                MakeInstance(2, "srv-b", "", "", true, {{2, "b1"}, {3, "b2"}}),
                                MakeInstance(3, "srv-c", "", "", true, {{4, "c1"}})}};
    struct TCase {
        const char* Title;
        const char* Instance;  // whose node is selected; null: none
        bool Child;            // a database node of it
        QStringList Left;      // instances after the removal
        QString Message;
    };
    const TCase cases[] = {
        {"nothing selected", nullptr, false, {"srv-a", "srv-b", "srv-c"}, "No instance is selected."},
        {"an instance node", "srv-b", false, {"srv-a", "srv-c"}, ""},
        {"a database node", "srv-a", true, {"srv-b", "srv-c"}, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Title);
        Store(stored);
        FPrompt.Shown.clear();
        Show();
        if (!c.Instance) {
            Tree()->setCurrentItem(nullptr);
            Tree()->clearSelection();
        } else if (!c.Child) {
            Click(Node(c.Instance));
        } else {
            // The database children of an opened instance, as the server would report them.
            QTreeWidgetItem* node = Node(c.Instance);
            qDeleteAll(node->takeChildren());
            auto* child = new QTreeWidgetItem(node, {"a1"});
            child->setData(0, Qt::UserRole, node->data(0, Qt::UserRole));
            node->setExpanded(false);
            Tree()->expandItem(node);
            Click(child);
        }
        QTest::mouseClick(Select->btnRemoveInstance, Qt::LeftButton);
        QStringList nodes;
        for (int i = 0; i < Tree()->topLevelItemCount(); ++i)
            nodes << Tree()->topLevelItem(i)->text(0);
        EXPECT_EQ(nodes, c.Left);
        QStringList copy;
        for (const TPacketInstance& i : Select->WorkingCopy().Instances)
            copy << i.InstanceName;
        EXPECT_EQ(copy, c.Left);
        if (c.Message.isEmpty()) {
            EXPECT_TRUE(FPrompt.Shown.isEmpty()) << ShownTexts().join(" / ").toStdString();
        } else {
            ASSERT_EQ(FPrompt.Shown.size(), 1);
            EXPECT_EQ(FPrompt.Shown[0].Text, c.Message);
            EXPECT_EQ(FPrompt.Shown[0].Caption, "Hint");
            EXPECT_EQ(FPrompt.Shown[0].Icon, TMsgIcon::Information);
        }
        // The list shows the instance of the node that is now current.
        QTreeWidgetItem* current = Tree()->currentItem();
        if (current && c.Instance) {
            const qint32 id = current->data(0, Qt::UserRole).toInt();
            EXPECT_EQ(Select->CurrentInstanceID(), id);
        }
        QTest::mouseClick(Select->btnOK, Qt::LeftButton);
        QStringList storedNames;
        for (const TPacketInstance& i : Dm().GetDBListData().Instances)
            storedNames << i.InstanceName;
        EXPECT_EQ(storedNames, c.Left);
    }
}

TEST_F(SelectDialog, CancelAndEscapeAfterChangesStoreNothing)
{
    TSandboxServer server;
    CreateDatabases(server, {"Sales"});
    const TInstanceInfo sa = SaLogin(server);
    const TDBListPacket stored{{MakeInstance(1, sa.InstanceName, sa.UserName, sa.UserPWD, false, {{1, "x"}}),
                                MakeInstance(2, "srv-b", "", "", true, {{2, "b1"}})}};
    Store(stored);
    for (const bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Escape" : "Cancel");
        const qint32 nextInstance = Dm().GetNextInstanceID();
        Show();
        // Add an instance, remove one, choose a database, drop another.
        bool handled = false;
        FPrompt.Answers.enqueue(TMsgButton::Yes);  // keep the instance nothing answers for
        AnswerInstanceDialog({UnreachableInstance(), "", "", true}, true, &handled);
        QTimer::singleShot(0, Select.get(), [this] { Select->btnAddInstanceClick(); });
        ASSERT_TRUE(WaitForInstanceDialog(handled));
        ASSERT_EQ(Tree()->topLevelItemCount(), 3);
        Click(Node("srv-b"));
        QTest::mouseClick(Select->btnRemoveInstance, Qt::LeftButton);
        QTreeWidgetItem* node = Node(sa.InstanceName);
        ASSERT_TRUE(Expand(node));
        Click(Child(node, "Sales"));
        QTest::mouseClick(Select->btnSel, Qt::LeftButton);
        Select->lbDatabases->findItems("x", Qt::MatchExactly).value(0)->setSelected(true);
        QTest::mouseClick(Select->btnDel, Qt::LeftButton);
        EXPECT_EQ(ListTexts(), QStringList{"Sales"});

        if (escape)
            QTest::keyClick(Tree(), Qt::Key_Escape);
        else
            QTest::mouseClick(Select->btnCancel, Qt::LeftButton);
        EXPECT_FALSE(Select->isVisible());
        EXPECT_EQ(Select->result(), QDialog::Rejected);
        EXPECT_FALSE(Select->IsWorkingCopyOpen());
        EXPECT_EQ(Dm().GetDBListData(), stored);
        // The counters moved on for the rows handed out meanwhile.
        EXPECT_GT(Dm().GetNextInstanceID(), nextInstance + 1);
        FPrompt.Shown.clear();
    }
}

TEST_F(SelectDialog, AFailedInstanceOpensAgainOnlyAfterYes)
{
    const QString instance = UnreachableInstance();
    Store({{MakeInstance(1, instance, "sa", "x", false)}});
    Show();
    QTreeWidgetItem* node = Node(instance);
    EXPECT_FALSE(Expand(node));
    EXPECT_FALSE(node->isExpanded());
    EXPECT_EQ(Children(node), QStringList{"ErrorPlace"});
    ASSERT_EQ(FPrompt.Shown.size(), 1);
    EXPECT_EQ(FPrompt.Shown[0].Text, "Fail to get the database information.");
    EXPECT_EQ(FPrompt.Shown[0].Caption, "Error");
    EXPECT_EQ(FPrompt.Shown[0].Icon, TMsgIcon::Error);

    // No: it stays closed and nothing is asked of the server.
    FPrompt.Answers.enqueue(TMsgButton::No);
    Tree()->expandItem(node);
    EXPECT_FALSE(node->isExpanded());
    EXPECT_FALSE(Select->IsLoading(1));
    ASSERT_EQ(FPrompt.Shown.size(), 2);
    EXPECT_EQ(FPrompt.Shown[1].Text, "This instance ever failed to open, retry?");
    EXPECT_EQ(FPrompt.Shown[1].Caption, "Hint");
    EXPECT_EQ(FPrompt.Shown[1].Icon, TMsgIcon::Question);
    EXPECT_EQ(FPrompt.Shown[1].Buttons, TMsgButton::Yes | TMsgButton::No);
    EXPECT_EQ(Children(node), QStringList{"ErrorPlace"});

    // Yes: queried again, and it fails again.
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    EXPECT_FALSE(Expand(node));
    EXPECT_EQ(ShownTexts(), QStringList({"Fail to get the database information.",
                                         "This instance ever failed to open, retry?",
                                         "This instance ever failed to open, retry?",
                                         "Fail to get the database information."}));
    EXPECT_EQ(Children(node), QStringList{"ErrorPlace"});
}

TEST_F(SelectDialog, ASilentServerIsGivenUpOnAndTheDialogStaysUsable)
{
    TSilentServer silent;
    Store({{MakeInstance(1, silent.Instance(), "sa", "x", false), MakeInstance(2, "srv-b", "", "", true, {{1, "b1"}})}});
    Show();
    QTreeWidgetItem* node = Node(silent.Instance());
    QSignalSpy loaded(Select.get(), &TfrmDBSelect::InstanceLoaded);
    Tree()->expandItem(node);
    ASSERT_TRUE(Select->IsLoading(1));
    EXPECT_FALSE(node->isExpanded());
    EXPECT_TRUE(FPrompt.Shown.isEmpty());
    // Opening it again while it loads asks nothing more of the server.
    Tree()->expandItem(node);
    EXPECT_FALSE(node->isExpanded());
    // Meanwhile the rest of the dialog works.
    Click(Node("srv-b"));
    EXPECT_EQ(ListTexts(), QStringList{"b1"});

    ASSERT_TRUE(loaded.wait(WaitMs));
    EXPECT_FALSE(loaded.first().at(1).toBool());
    EXPECT_EQ(ShownTexts(), QStringList{"Fail to get the database information."});
    EXPECT_EQ(Children(node), QStringList{"ErrorPlace"});
    EXPECT_FALSE(Select->HasRunningQueries());

    // Closing the dialog while a query runs: its answer is dropped.
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    Tree()->expandItem(node);
    ASSERT_TRUE(Select->IsLoading(1));
    QTest::mouseClick(Select->btnCancel, Qt::LeftButton);
    EXPECT_FALSE(Select->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !Select->HasRunningQueries(); }, WaitMs));
    QApplication::processEvents();
    EXPECT_EQ(loaded.size(), 1);
    EXPECT_EQ(ShownTexts(), QStringList({"Fail to get the database information.",
                                         "This instance ever failed to open, retry?"}));
}

TEST_F(SelectDialog, AFailingStoreKeepsTheDialogOpenWithItsWorkingCopy)
{
    const TDBListPacket stored{{MakeInstance(1, "srv-a", "", "", true, {{1, "a1"}})}};
    Store(stored);
    Show();
    QTest::mouseClick(Select->btnRemoveInstance, Qt::LeftButton);
    const TDBListPacket edited = Select->WorkingCopy();
    ASSERT_TRUE(edited.Instances.isEmpty());
    bool added = false;
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    const QString instance = UnreachableInstance();
    AnswerInstanceDialog({instance, "", "", true}, true, &added);
    QTimer::singleShot(0, Select.get(), [this] { Select->btnAddInstanceClick(); });
    ASSERT_TRUE(WaitForInstanceDialog(added));
    const TDBListPacket before = Select->WorkingCopy();
    ASSERT_EQ(before.Instances.size(), 1);

    OpenDirect()->ExecScript("create trigger refuse before insert on Instances begin select raise(abort, 'refused'); end;");
    FPrompt.Shown.clear();
    QTest::keyClick(Tree(), Qt::Key_Return);
    EXPECT_TRUE(Select->isVisible());
    EXPECT_TRUE(Select->IsWorkingCopyOpen());
    EXPECT_EQ(Select->WorkingCopy(), before);
    ASSERT_EQ(FPrompt.Shown.size(), 2) << ShownTexts().join(" / ").toStdString();
    EXPECT_TRUE(FPrompt.Shown[0].Text.contains("refused")) << FPrompt.Shown[0].Text.toStdString();
    EXPECT_EQ(FPrompt.Shown[0].Caption, "Error");
    EXPECT_EQ(FPrompt.Shown[1].Text, "Fail to save database list.");
    EXPECT_EQ(FPrompt.Shown[1].Icon, TMsgIcon::Error);
    EXPECT_EQ(Dm().GetDBListData(), stored);

    // Once the store takes it, the same working copy is stored.
    OpenDirect()->ExecScript("drop trigger refuse;");
    QTest::mouseClick(Select->btnOK, Qt::LeftButton);
    EXPECT_FALSE(Select->isVisible());
    EXPECT_EQ(Dm().GetDBListData(), before);
}

TEST_F(SelectDialog, LongAndUnusualNamesAndPasswordsReachTheStoreExactly)
{
    const QString password = QStringLiteral("p'a\"s;s {w}o}rd");
    const QString user = QStringLiteral("o'ne;\"il\"");
    TSandboxServer::TOptions options;
    options.Logins << QStringLiteral("sa:Sandbox-2026") << (user + ":" + password);
    TSandboxServer server(options);
    const QString database = QStringLiteral("Db $#@ \U0001D11E \u00DCn end");
    CreateDatabases(server, {database});

    // A name of 255 characters where nothing answers, with characters outside
    // the basic plane and the quoting characters.
    QString longName = QStringLiteral("\U0001D11E'\";{}") + UnreachableInstance();
    longName += QString(255 - longName.size(), QLatin1Char('n'));
    ASSERT_EQ(longName.size(), 255);

    // The empty store asks for the first instance at once; the second is
    // added with Add Instance.
    bool added = false;
    AnswerInstanceDialog({server.Instance(), user, password, false}, true, &added);
    Show();
    ASSERT_TRUE(WaitForInstanceDialog(added));
    added = false;
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    AnswerInstanceDialog({longName, user, password, false}, true, &added);
    QTimer::singleShot(0, Select.get(), [this] { Select->btnAddInstanceClick(); });
    ASSERT_TRUE(WaitForInstanceDialog(added));
    EXPECT_EQ(ShownTexts().size(), 1);
    ASSERT_EQ(Tree()->topLevelItemCount(), 2);
    QTreeWidgetItem* node = Node(server.Instance());
    ASSERT_TRUE(Expand(node));
    Click(Child(node, database));
    QTest::mouseClick(Select->btnSel, Qt::LeftButton);
    EXPECT_EQ(ListTexts(), QStringList{database});
    QTest::mouseClick(Select->btnOK, Qt::LeftButton);
    ASSERT_FALSE(Select->isVisible());

    const TDBListPacket packet = Dm().GetDBListData();
    ASSERT_EQ(packet.Instances.size(), 2);
    EXPECT_EQ(packet.Instances[0].InstanceName, server.Instance());
    EXPECT_EQ(packet.Instances[0].UserName, user);
    EXPECT_EQ(packet.Instances[0].UserPWD, password);
    ASSERT_EQ(packet.Instances[0].Databases.size(), 1);
    EXPECT_EQ(packet.Instances[0].Databases[0].DatabaseName, database);
    EXPECT_EQ(packet.Instances[1].InstanceName, longName);
    EXPECT_EQ(packet.Instances[1].UserPWD, password);
    // And back: the next showing offers the same.
    Show();
    EXPECT_EQ(Node(longName), Tree()->currentItem());
    EXPECT_TRUE(Select->IsDBExists(longName.toUpper()));
}

TEST_F(SelectDialog, EditInstanceChangesTheLoginAndKeepsTheChildren)
{
    TSandboxServer server;
    CreateDatabases(server, {"Sales"});
    const TInstanceInfo sa = SaLogin(server);
    Store({{MakeInstance(1, sa.InstanceName, sa.UserName, sa.UserPWD, false, {{1, "Sales"}})}});
    Show();
    QTreeWidgetItem* node = Node(sa.InstanceName);
    ASSERT_TRUE(Expand(node));
    bool edited = false;
    OnModal<TfrmAddInstance>([&](TfrmAddInstance* dialog) {
        EXPECT_EQ(dialog->ShowMode, smEdit);
        EXPECT_FALSE(dialog->cbxInstance->isEnabled());
        EXPECT_EQ(dialog->cbxInstance->currentText(), sa.InstanceName);
        EXPECT_EQ(dialog->edtUserPwd->text(), sa.UserPWD);
        dialog->edtUserPwd->setText("changed");
        edited = true;
        QTest::mouseClick(dialog->btnOK, Qt::LeftButton);  // the login is refused now: Yes keeps it
    });
    FPrompt.Answers.enqueue(TMsgButton::Yes);
    const QPoint at = Tree()->visualItemRect(Child(node, "Sales")).center();
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(Tree()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    ASSERT_TRUE(WaitForInstanceDialog(edited));
    EXPECT_EQ(ShownTexts().size(), 1);
    EXPECT_EQ(Select->WorkingCopy().Instances[0].UserPWD, "changed");
    EXPECT_EQ(Select->WorkingCopy().Instances[0].InstanceName, sa.InstanceName);
    EXPECT_TRUE(Children(node).contains("Sales"));
    QTest::mouseClick(Select->btnOK, Qt::LeftButton);
    EXPECT_EQ(Dm().GetDBListData().Instances[0].UserPWD, "changed");
}

TEST_F(SelectDialog, ListsCarryTheirNamesAndTheKeyboardReachesEveryControl)
{
    Store({{MakeInstance(1, "srv-a", "", "", true)}});
    Show();
    EXPECT_EQ(Tree()->accessibleName(), "All instances and databases");
    EXPECT_EQ(Select->lbDatabases->accessibleName(), "Selected Databases");
    const QList<QWidget*> order{Tree(), Select->btnSel, Select->btnDel, Select->lbDatabases,
                                Select->btnAddInstance, Select->btnEditInstance, Select->btnRemoveInstance,
                                Select->btnOK, Select->btnCancel};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        while (next && next->focusPolicy() == Qt::NoFocus)
            next = next->nextInFocusChain();
        EXPECT_EQ(next, order[i + 1]) << i;
    }
    EXPECT_TRUE(Select->btnOK->isDefault());
    EXPECT_EQ(Select->btnAddInstance->toolTip(), "Add Instance");
}

} // namespace
