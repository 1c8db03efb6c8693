#include "untSelInstance.h"

#include "untAddInstance.h"
#include "untDmMain.h"
#include "untPrompt.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

const char* const TfrmDBSelect::JustForPlace = "JustForPlace";
const char* const TfrmDBSelect::ErrorPlace = "ErrorPlace";

namespace {

// Node data: the instance's key (the parent's key for its children), and a
// mark on placeholder children, so that a database that happens to be named
// like a placeholder is still a database.
constexpr int IdRole = Qt::UserRole;
constexpr int PlaceholderRole = Qt::UserRole + 1;

// lbDatabases sorts its entries by name, ignoring letter case first.
class TDatabaseItem : public QListWidgetItem {
public:
    explicit TDatabaseItem(const QString& name) : QListWidgetItem(name) {}
    bool operator<(const QListWidgetItem& other) const override
    {
        const QString a = text();
        const QString b = other.text();
        const int byCase = a.compare(b, Qt::CaseInsensitive);
        return byCase != 0 ? byCase < 0 : a < b;
    }
};

QTreeWidgetItem* NewChild(QTreeWidgetItem* parent, const QString& text, qint32 id, bool placeholder)
{
    auto* child = new QTreeWidgetItem(parent, {text});
    child->setData(0, IdRole, id);
    if (placeholder)
        child->setData(0, PlaceholderRole, true);
    return child;
}

bool IsPlaceholder(const QTreeWidgetItem* node)
{
    return node && node->data(0, PlaceholderRole).toBool();
}

QPushButton* NewButton(const QString& text, const QSize& size, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setMinimumSize(size);
    return button;
}

} // namespace

TfrmDBSelect::TfrmDBSelect(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setWindowTitle(QStringLiteral("Select Database"));
    setObjectName(QStringLiteral("frmDBSelect"));

    frmAddInstance = new TfrmAddInstance(this);
    frmAddInstance->IsDBExists = [this](const QString& name) { return IsDBExists(name); };

    lblInstances = new QLabel(QStringLiteral("All instances and databases:"), this);
    tvInstances = new QTreeWidget(this);
    tvInstances->setHeaderHidden(true);
    tvInstances->setColumnCount(1);
    tvInstances->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tvInstances->setSelectionBehavior(QAbstractItemView::SelectRows);
    tvInstances->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tvInstances->setIndentation(19);
    tvInstances->setExpandsOnDoubleClick(false);  // a double-click edits the instance
    tvInstances->setAnimated(false);
    tvInstances->setMinimumSize(176, 262);
    tvInstances->setAccessibleName(QStringLiteral("All instances and databases"));
    lblInstances->setBuddy(tvInstances);

    btnSel = NewButton(QStringLiteral(">"), {49, 25}, this);
    btnDel = NewButton(QStringLiteral("<"), {49, 25}, this);
    btnSel->setFixedSize(49, 25);
    btnDel->setFixedSize(49, 25);
    btnSel->setAccessibleName(QStringLiteral("Add the selected databases"));
    btnDel->setAccessibleName(QStringLiteral("Remove the selected databases"));

    lblDatabases = new QLabel(QStringLiteral("Selected Databases:"), this);
    lbDatabases = new QListWidget(this);
    lbDatabases->setSortingEnabled(true);
    lbDatabases->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lbDatabases->setMinimumSize(176, 265);
    lbDatabases->setAccessibleName(QStringLiteral("Selected Databases"));
    lblDatabases->setBuddy(lbDatabases);

    btnAddInstance = NewButton(QStringLiteral("Add\nInstance"), {50, 33}, this);
    btnEditInstance = NewButton(QStringLiteral("Edit\nInstance"), {50, 33}, this);
    btnRemoveInstance = NewButton(QStringLiteral("Remove\nInstance"), {50, 33}, this);
    for (auto [button, hint] : {std::pair{btnAddInstance, "Add Instance"}, std::pair{btnEditInstance, "Edit Instance"},
                                std::pair{btnRemoveInstance, "Remove Instance"}}) {
        button->setToolTip(QLatin1String(hint));
        button->setAccessibleName(QLatin1String(hint));
    }
    // Two-line captions: as narrow as the design where the font allows.
    const QFontMetrics metrics = btnRemoveInstance->fontMetrics();
    const QSize instanceButton(qMax(50, metrics.horizontalAdvance(QStringLiteral("Remove")) + 14),
                               qMax(33, 2 * metrics.height() + 8));
    for (QPushButton* button : {btnAddInstance, btnEditInstance, btnRemoveInstance})
        button->setFixedSize(instanceButton);
    // The two lists as wide as each other, and as the buttons under the tree.
    const int listWidth = qMax(176, 3 * instanceButton.width() + 2 * 13);
    tvInstances->setMinimumWidth(listWidth);
    lbDatabases->setMinimumWidth(listWidth);
    btnOK = NewButton(QStringLiteral("OK"), {75, 25}, this);
    btnCancel = NewButton(QStringLiteral("Cancel"), {75, 25}, this);
    btnOK->setDefault(true);

    // Three columns as in the design: the tree with the instance buttons
    // under it, the two move buttons, the chosen list with OK and Cancel.
    auto* left = new QVBoxLayout;
    left->setSpacing(0);
    left->addWidget(lblInstances);
    left->addSpacing(6);
    left->addWidget(tvInstances, 1);
    left->addSpacing(20);
    auto* instanceButtons = new QHBoxLayout;
    instanceButtons->setSpacing(13);
    instanceButtons->addWidget(btnAddInstance);
    instanceButtons->addWidget(btnEditInstance);
    instanceButtons->addWidget(btnRemoveInstance);
    left->addLayout(instanceButtons);

    auto* middle = new QVBoxLayout;
    middle->setSpacing(0);
    middle->addSpacing(lblInstances->sizeHint().height() + 6 + 21);
    middle->addWidget(btnSel);
    middle->addSpacing(23);
    middle->addWidget(btnDel);
    middle->addStretch(1);

    auto* right = new QVBoxLayout;
    right->setSpacing(0);
    right->addWidget(lblDatabases);
    right->addSpacing(6);
    right->addWidget(lbDatabases, 1);
    right->addSpacing(21);
    auto* okButtons = new QHBoxLayout;
    okButtons->setSpacing(27);
    okButtons->addWidget(btnOK);
    okButtons->addWidget(btnCancel);
    right->addLayout(okButtons);
    right->addSpacing(4);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(25, 24, 31, 21);
    layout->setSpacing(0);
    layout->addLayout(left, 1);
    layout->addSpacing(39);
    layout->addLayout(middle);
    layout->addSpacing(40);
    layout->addLayout(right, 1);

    setTabOrder(tvInstances, btnSel);
    setTabOrder(btnSel, btnDel);
    setTabOrder(btnDel, lbDatabases);
    setTabOrder(lbDatabases, btnAddInstance);
    setTabOrder(btnAddInstance, btnEditInstance);
    setTabOrder(btnEditInstance, btnRemoveInstance);
    setTabOrder(btnRemoveInstance, btnOK);
    setTabOrder(btnOK, btnCancel);

    connect(tvInstances, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { tvInstancesChange(current); });
    connect(tvInstances, &QTreeWidget::itemExpanded, this, &TfrmDBSelect::tvInstancesExpanded);
    connect(tvInstances, &QTreeWidget::itemSelectionChanged, this, &TfrmDBSelect::KeepSiblingSelection);
    connect(tvInstances, &QTreeWidget::itemDoubleClicked, this, [this] { btnEditInstanceClick(); });
    connect(btnSel, &QPushButton::clicked, this, &TfrmDBSelect::btnSelClick);
    connect(btnDel, &QPushButton::clicked, this, &TfrmDBSelect::btnDelClick);
    connect(btnAddInstance, &QPushButton::clicked, this, &TfrmDBSelect::btnAddInstanceClick);
    connect(btnEditInstance, &QPushButton::clicked, this, &TfrmDBSelect::btnEditInstanceClick);
    connect(btnRemoveInstance, &QPushButton::clicked, this, &TfrmDBSelect::btnRemoveInstanceClick);
    connect(btnOK, &QPushButton::clicked, this, &TfrmDBSelect::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmDBSelect::reject);

    // The design's size, or what the platform's font needs.
    setFixedSize(layout->minimumSize().expandedTo(QSize(536, 389)));
}

TfrmDBSelect::~TfrmDBSelect() = default;

bool TfrmDBSelect::Execute()
{
    return exec() == QDialog::Accepted;
}

// --------------------------------------------------------------- the copy

int TfrmDBSelect::IndexOfInstance(qint32 id) const
{
    for (int i = 0; i < FWorking.Instances.size(); ++i)
        if (FWorking.Instances.at(i).InstanceID == id)
            return i;
    return -1;
}

TPacketInstance* TfrmDBSelect::InstanceOf(qint32 id)
{
    const int i = IndexOfInstance(id);
    return i < 0 ? nullptr : &FWorking.Instances[i];
}

bool TfrmDBSelect::IsDBExists(const QString& DBName) const
{
    for (const TPacketInstance& instance : FWorking.Instances)
        if (instance.InstanceName.compare(DBName, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

void TfrmDBSelect::CloseWorkingCopy()
{
    FWorking = {};
    FWorkingOpen = false;
    FCurrentID.reset();
}

// --------------------------------------------------------------- showing

void TfrmDBSelect::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        CenterOnScreen(this);
        FormShow();
    }
}

void TfrmDBSelect::FormShow()
{
    ++FShowing;
    FLoading.clear();
    tvInstances->clear();
    lbDatabases->clear();
    CurrentTopLevelNode = nullptr;
    CloseWorkingCopy();
    try {
        if (!dmMain)
            throw EOrvexaError(QStringLiteral("The database list cannot be read: there is no data module."));
        FWorking = dmMain->GetDBListData();
        FWorkingOpen = true;
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
        return;
    }
    if (FWorking.Instances.isEmpty()) {
        // Nothing to choose from yet: ask for the first instance as soon as
        // the dialog is on the screen.
        QTimer::singleShot(0, this, [this, showing = FShowing] {
            if (showing == FShowing && isVisible())
                btnAddInstanceClick();
        });
        return;
    }
    for (const TPacketInstance& instance : FWorking.Instances)
        AddInstanceNode(instance.InstanceName, instance.InstanceID);
}

void TfrmDBSelect::done(int result)
{
    // Whatever closes the dialog closes the working copy; answers still on
    // their way belong to a showing that has ended.
    ++FShowing;
    FLoading.clear();
    CloseWorkingCopy();
    QDialog::done(result);
}

// ------------------------------------------------------------------ tree

qint32 TfrmDBSelect::NodeID(const QTreeWidgetItem* node)
{
    return node ? node->data(0, IdRole).toInt() : 0;
}

QTreeWidgetItem* TfrmDBSelect::TopLevelOf(QTreeWidgetItem* node)
{
    while (node && node->parent())
        node = node->parent();
    return node;
}

QTreeWidgetItem* TfrmDBSelect::TopLevelNodeOf(qint32 id) const
{
    for (int i = 0; i < tvInstances->topLevelItemCount(); ++i)
        if (NodeID(tvInstances->topLevelItem(i)) == id)
            return tvInstances->topLevelItem(i);
    return nullptr;
}

QTreeWidgetItem* TfrmDBSelect::SelectedNode() const
{
    QTreeWidgetItem* current = tvInstances->currentItem();
    if (current && current->isSelected())
        return current;
    const QList<QTreeWidgetItem*> selected = tvInstances->selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

void TfrmDBSelect::AddInstanceNode(const QString& name, qint32 id)
{
    auto* node = new QTreeWidgetItem(tvInstances, {name});
    node->setData(0, IdRole, id);
    NewChild(node, QLatin1String(JustForPlace), id, true);
    tvInstances->setCurrentItem(node);
}

void TfrmDBSelect::tvInstancesChange(QTreeWidgetItem* node)
{
    if (!node)
        return;
    QTreeWidgetItem* top = TopLevelOf(node);
    if (top == CurrentTopLevelNode || !FWorkingOpen)
        return;
    const qint32 id = NodeID(node);
    if (IndexOfInstance(id) < 0) {
        ShowErrorReport(QStringLiteral("cannot locate the instance."));
        return;
    }
    FCurrentID = id;
    RefreshSelectedList();
    CurrentTopLevelNode = top;
}

// Selected nodes share one parent: selecting a node elsewhere drops the others.
void TfrmDBSelect::KeepSiblingSelection()
{
    if (FSelectionGuard)
        return;
    QTreeWidgetItem* current = tvInstances->currentItem();
    if (!current)
        return;
    QTreeWidgetItem* parent = current->parent();
    FSelectionGuard = true;
    for (QTreeWidgetItem* node : tvInstances->selectedItems())
        if (node->parent() != parent)
            node->setSelected(false);
    FSelectionGuard = false;
}

void TfrmDBSelect::SetExpanded(QTreeWidgetItem* node, bool expanded)
{
    FExpandGuard = true;
    node->setExpanded(expanded);
    FExpandGuard = false;
}

void TfrmDBSelect::tvInstancesExpanded(QTreeWidgetItem* node)
{
    if (FExpandGuard || !node || node->parent())
        return;
    const qint32 id = NodeID(node);
    QTreeWidgetItem* first = node->child(0);
    const bool notLoaded = IsPlaceholder(first) && first->text(0) == QLatin1String(JustForPlace);
    const bool failed = IsPlaceholder(first) && first->text(0) == QLatin1String(ErrorPlace);
    if (!notLoaded && !failed && !FLoading.contains(id)) {
        // Loaded already: it opens, and becomes the selected node.
        tvInstances->setCurrentItem(node);
        return;
    }
    // It opens only once its databases are in.
    SetExpanded(node, false);
    if (FLoading.contains(id))
        return;
    if (failed &&
        ShowMessage(QStringLiteral("This instance ever failed to open, retry?"), QStringLiteral("Hint"),
                    TMsgIcon::Question, TMsgButton::Yes | TMsgButton::No) != TMsgButton::Yes)
        return;
    if (QTreeWidgetItem* again = TopLevelNodeOf(id))
        LoadInstanceDatabases(again);
}

bool TfrmDBSelect::LoadInstanceDatabases(QTreeWidgetItem* node)
{
    if (!node || node->parent())
        return false;
    const qint32 id = NodeID(node);
    if (FLoading.contains(id))
        return false;
    const TPacketInstance* instance = InstanceOf(id);
    if (!instance) {
        ShowErrorReport(QStringLiteral("Can't locate the instance."));
        return false;
    }
    qDeleteAll(node->takeChildren());
    const TInstanceInfo info{instance->InstanceName, instance->UserName, instance->UserPWD, instance->NT};
    const int timeout = ServerTimeout;
    const quint64 showing = FShowing;
    FLoading.insert(id);
    ShowLoading(node, true);
    FTasks.Add(RunInBackground<TCatalogResult>(
        this,
        [info, timeout] {
            TCatalogResult r;
            try {
                r.Names = QueryDBListOfInstance(info, timeout);
                r.Ok = true;
            } catch (const std::exception& e) {
                r.Error = ErrorText(e);
            }
            return r;
        },
        [this, showing, id](TCatalogResult r) { InstanceDatabasesLoaded(showing, id, r); }));
    return true;
}

void TfrmDBSelect::ShowLoading(QTreeWidgetItem* node, bool loading)
{
    node->setIcon(0, loading ? style()->standardIcon(QStyle::SP_BrowserReload) : QIcon());
    node->setToolTip(0, loading ? QStringLiteral("Loading the databases of %1...").arg(node->text(0)) : QString());
    QFont font = node->font(0);
    font.setItalic(loading);
    node->setFont(0, font);
    // Still openable-looking while its children are being fetched.
    node->setChildIndicatorPolicy(loading ? QTreeWidgetItem::ShowIndicator
                                          : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void TfrmDBSelect::InstanceDatabasesLoaded(quint64 showing, qint32 id, const TCatalogResult& result)
{
    if (showing != FShowing)
        return;
    FLoading.remove(id);
    QTreeWidgetItem* node = TopLevelNodeOf(id);
    if (!node)
        return;  // removed meanwhile
    ShowLoading(node, false);
    qDeleteAll(node->takeChildren());
    if (result.Ok) {
        QString names = result.Names;
        if (names.endsWith(QLatin1Char('|')))
            names.chop(1);
        if (!names.isEmpty())
            for (const QString& name : names.split(QLatin1Char('|')))
                NewChild(node, name, id, false);
        SetExpanded(node, true);
        tvInstances->setCurrentItem(node);
    } else {
        NewChild(node, QLatin1String(ErrorPlace), id, true);
        ShowMessage(QStringLiteral("Fail to get the database information."), QStringLiteral("Error"),
                    TMsgIcon::Error);
    }
    emit InstanceLoaded(id, result.Ok);
}

// ------------------------------------------------------------ the list

void TfrmDBSelect::RefreshSelectedList()
{
    if (!isVisible())
        return;
    lbDatabases->setUpdatesEnabled(false);
    lbDatabases->clear();
    if (FCurrentID) {
        if (const TPacketInstance* instance = InstanceOf(*FCurrentID))
            for (const TPacketDatabase& db : instance->Databases)
                lbDatabases->addItem(new TDatabaseItem(db.DatabaseName));
    }
    lbDatabases->setUpdatesEnabled(true);
}

void TfrmDBSelect::btnSelClick()
{
    if (tvInstances->topLevelItemCount() == 0)
        return;
    const QList<QTreeWidgetItem*> selected = tvInstances->selectedItems();
    QTreeWidgetItem* current = tvInstances->currentItem();
    if (selected.isEmpty() || !current || !current->isSelected() || !current->parent())
        return;
    try {
        for (QTreeWidgetItem* node : selected) {
            if (!node->parent() || IsPlaceholder(node))
                continue;
            const qint32 instanceID = NodeID(node->parent());
            TPacketInstance* instance = InstanceOf(instanceID);
            if (!instance)
                throw EOrvexaError(QStringLiteral("Can't locate the instance."));
            const QString name = node->text(0);
            const bool chosen = std::any_of(instance->Databases.cbegin(), instance->Databases.cend(),
                                            [&name](const TPacketDatabase& db) {
                                                return db.DatabaseName.compare(name, Qt::CaseInsensitive) == 0;
                                            });
            if (chosen)
                continue;
            instance->Databases.append({dmMain->GetNextDatabaseID(), instanceID, name});
        }
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
    }
    RefreshSelectedList();
}

void TfrmDBSelect::btnDelClick()
{
    TPacketInstance* instance = FCurrentID ? InstanceOf(*FCurrentID) : nullptr;
    if (!instance || instance->Databases.isEmpty())
        return;
    for (int row = 0; row < lbDatabases->count(); ++row) {
        const QListWidgetItem* entry = lbDatabases->item(row);
        if (!entry->isSelected())
            continue;
        // The entry's own record first; else one that differs in letter case.
        QList<TPacketDatabase>& dbs = instance->Databases;
        auto it = std::find_if(dbs.begin(), dbs.end(),
                               [entry](const TPacketDatabase& db) { return db.DatabaseName == entry->text(); });
        if (it == dbs.end())
            it = std::find_if(dbs.begin(), dbs.end(), [entry](const TPacketDatabase& db) {
                return db.DatabaseName.compare(entry->text(), Qt::CaseInsensitive) == 0;
            });
        if (it != dbs.end())
            dbs.erase(it);
    }
    RefreshSelectedList();
}

// ------------------------------------------------------------- instances

void TfrmDBSelect::btnAddInstanceClick()
{
    if (!FWorkingOpen)
        return;
    frmAddInstance->SetShowMode(smAdd, {QString(), QString(), QString(), true});
    if (frmAddInstance->exec() != QDialog::Accepted || !FWorkingOpen)
        return;
    const TInstanceInfo info = frmAddInstance->GetInstanceInfo();
    try {
        const qint32 id = dmMain->GetNextInstanceID();
        FWorking.Instances.append({id, info.InstanceName, info.UserName, info.UserPWD, info.NT, {}});
        AddInstanceNode(info.InstanceName, id);
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
    }
}

void TfrmDBSelect::btnEditInstanceClick()
{
    QTreeWidgetItem* node = SelectedNode();
    if (!node)
        return;
    const qint32 id = NodeID(TopLevelOf(node));
    const TPacketInstance* instance = InstanceOf(id);
    if (!instance) {
        ShowErrorReport(QStringLiteral("Can't locate the instance."));
        return;
    }
    frmAddInstance->SetShowMode(smEdit,
                                {instance->InstanceName, instance->UserName, instance->UserPWD, instance->NT});
    if (frmAddInstance->exec() != QDialog::Accepted)
        return;
    if (TPacketInstance* edited = InstanceOf(id)) {
        const TInstanceInfo info = frmAddInstance->GetInstanceInfo();
        edited->InstanceName = info.InstanceName;
        edited->UserName = info.UserName;
        edited->UserPWD = info.UserPWD;
        edited->NT = info.NT;
    }
}

void TfrmDBSelect::btnRemoveInstanceClick()
{
    QTreeWidgetItem* node = SelectedNode();
    if (!node) {
        ShowMessage(QStringLiteral("No instance is selected."), QStringLiteral("Hint"), TMsgIcon::Information);
        return;
    }
    QTreeWidgetItem* top = TopLevelOf(node);
    const qint32 id = NodeID(top);
    const int index = IndexOfInstance(id);
    if (index < 0) {
        ShowErrorReport(QStringLiteral("Can't locate the selected instance."));
        return;
    }
    // The instance goes with its chosen databases, then its node; the node
    // that becomes current then makes its own instance current.
    FWorking.Instances.removeAt(index);
    if (FCurrentID == id)
        FCurrentID.reset();
    FLoading.remove(id);
    if (CurrentTopLevelNode == top)
        CurrentTopLevelNode = nullptr;
    delete top;
    RefreshSelectedList();
}

void TfrmDBSelect::btnOKClick()
{
    if (!FWorkingOpen) {
        ShowErrorReport(QStringLiteral("Fail to save database list."));
        return;
    }
    bool saved = false;
    try {
        saved = dmMain->UpdateDBListData(FWorking);
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
        return;
    }
    if (!saved) {
        // The working copy stays as it is, for another try or Cancel.
        ShowErrorReport(QStringLiteral("Fail to save database list."));
        return;
    }
    accept();
}
