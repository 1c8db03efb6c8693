#include "untAddInstance.h"

#include "untDmMain.h"
#include "untPrompt.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

// The history keeps this many names.
constexpr int MaxHistory = 8;

struct TCheckResult {
    bool Ok = false;
    QString ErrMsg;
};

} // namespace

TfrmAddInstance::TfrmAddInstance(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Add Instance"));
    setObjectName(QStringLiteral("frmAddInstance"));

    Label1 = new QLabel(QStringLiteral("Server name:"), this);
    cbxInstance = new QComboBox(this);
    cbxInstance->setEditable(true);
    cbxInstance->setInsertPolicy(QComboBox::NoInsert);
    // What the user typed stays as typed: leaving the box must not swap it for
    // a history entry that differs only in letter case.
    cbxInstance->completer()->setCaseSensitivity(Qt::CaseSensitive);
    cbxInstance->setMinimumWidth(284);
    cbxInstance->setAccessibleName(QStringLiteral("Server name"));
    Label1->setBuddy(cbxInstance);

    Label2 = new QLabel(QStringLiteral("Authentication:"), this);
    rdoNT = new QRadioButton(QStringLiteral("Windows Authentication"), this);
    rdoPwd = new QRadioButton(QStringLiteral("SQL Server Authentication"), this);
    rdoNT->setMinimumSize(156, 17);
    rdoPwd->setMinimumSize(164, 17);

    pnlUserPwd = new QFrame(this);
    pnlUserPwd->setFrameShape(QFrame::StyledPanel);
    pnlUserPwd->setFrameShadow(QFrame::Raised);
    pnlUserPwd->setMinimumSize(284, 91);
    Label3 = new QLabel(QStringLiteral("User name:"), pnlUserPwd);
    edtUserName = new QLineEdit(pnlUserPwd);
    Label4 = new QLabel(QStringLiteral("Password:"), pnlUserPwd);
    edtUserPwd = new QLineEdit(pnlUserPwd);
    edtUserPwd->setEchoMode(QLineEdit::Password);
    edtUserPwd->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));  // '*'
    for (QLineEdit* edit : {edtUserName, edtUserPwd}) {
        edit->setMinimumWidth(167);
        edit->setAttribute(Qt::WA_InputMethodEnabled, false);
    }
    edtUserName->setAccessibleName(QStringLiteral("User name"));
    edtUserPwd->setAccessibleName(QStringLiteral("Password"));
    Label3->setBuddy(edtUserName);
    Label4->setBuddy(edtUserPwd);
    auto* panelLayout = new QGridLayout(pnlUserPwd);
    panelLayout->setContentsMargins(16, 14, 37, 14);
    panelLayout->setHorizontalSpacing(10);
    panelLayout->setVerticalSpacing(12);
    panelLayout->addWidget(Label3, 0, 0);
    panelLayout->addWidget(edtUserName, 0, 1);
    panelLayout->addWidget(Label4, 1, 0);
    panelLayout->addWidget(edtUserPwd, 1, 1);
    pnlUserPwd->setEnabled(false);

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    for (QPushButton* button : {btnOK, btnCancel})
        button->setMinimumSize(75, 25);
    btnOK->setDefault(true);

    // Arrangement of the design: labels at the left margin, the controls
    // indented under them, the buttons centred in the bottom row.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 20, 20, 17);
    layout->setSpacing(4);
    layout->addWidget(Label1);
    auto* nameRow = new QHBoxLayout;
    nameRow->addSpacing(21);
    nameRow->addWidget(cbxInstance, 1);
    layout->addLayout(nameRow);
    layout->addSpacing(28);
    layout->addWidget(Label2);
    layout->addSpacing(14);
    auto* authRow = new QHBoxLayout;
    authRow->addSpacing(21);
    auto* authColumn = new QVBoxLayout;
    authColumn->setSpacing(6);
    authColumn->addWidget(rdoNT);
    authColumn->addWidget(rdoPwd);
    authColumn->addWidget(pnlUserPwd);
    authRow->addLayout(authColumn, 1);
    layout->addLayout(authRow);
    layout->addStretch(1);
    layout->addSpacing(15);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addSpacing(51);
    buttonRow->addWidget(btnOK);
    buttonRow->addSpacing(65);
    buttonRow->addWidget(btnCancel);
    buttonRow->addStretch(1);
    layout->addLayout(buttonRow);

    setTabOrder(rdoNT, rdoPwd);
    setTabOrder(rdoPwd, edtUserName);
    setTabOrder(edtUserName, edtUserPwd);
    setTabOrder(edtUserPwd, btnOK);
    setTabOrder(btnOK, btnCancel);
    setTabOrder(btnCancel, cbxInstance);

    connect(rdoNT, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked)
            rdoClick();
    });
    connect(rdoPwd, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked)
            rdoClick();
    });
    connect(btnOK, &QPushButton::clicked, this, &TfrmAddInstance::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmAddInstance::reject);

    // The design's size, or what the platform's font needs.
    setFixedSize(layout->minimumSize().expandedTo(QSize(341, 322)));
}

TfrmAddInstance::~TfrmAddInstance() = default;

void TfrmAddInstance::SetShowMode(TShowMode aShowMode, const TInstanceInfo& aInstanceInfo)
{
    cbxInstance->setEditText(aInstanceInfo.InstanceName);
    edtUserName->setText(aInstanceInfo.UserName);
    edtUserPwd->setText(aInstanceInfo.UserPWD);
    if (aInstanceInfo.NT) {
        if (!rdoNT->isChecked())
            rdoNT->setChecked(true);  // unchecks rdoPwd and runs rdoClick
    } else if (rdoNT->isChecked()) {
        // An exclusive radio button cannot be unchecked on its own: lift the
        // rule for the moment. rdoPwd and the panel stay as they are.
        rdoNT->setAutoExclusive(false);
        rdoNT->setChecked(false);
        rdoNT->setAutoExclusive(true);
    }
    cbxInstance->setEnabled(aShowMode == smAdd);
    ShowMode = aShowMode;
}

TInstanceInfo TfrmAddInstance::GetInstanceInfo() const
{
    return {InstanceName, edtUserName->text(), edtUserPwd->text(), rdoNT->isChecked()};
}

void TfrmAddInstance::rdoClick()
{
    const bool withLogin = rdoPwd->isChecked();
    pnlUserPwd->setEnabled(withLogin);
    const QColor color = palette().color(withLogin ? QPalette::Base : QPalette::Button);
    for (QLineEdit* edit : {edtUserName, edtUserPwd}) {
        QPalette p = edit->palette();
        p.setColor(QPalette::Active, QPalette::Base, color);
        p.setColor(QPalette::Inactive, QPalette::Base, color);
        p.setColor(QPalette::Disabled, QPalette::Base, color);
        edit->setPalette(p);
    }
}

void TfrmAddInstance::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        CenterOnScreen(this);
        FormShow();
    }
}

void TfrmAddInstance::FormShow()
{
    // The list is rebuilt from the history; the text stays.
    const QString text = cbxInstance->currentText();
    cbxInstance->clear();
    try {
        QString hist = dmMain ? dmMain->GetInstanceHist() : QString();
        if (hist.endsWith(QLatin1Char('|')))
            hist.chop(1);
        if (!hist.isEmpty())
            cbxInstance->addItems(hist.split(QLatin1Char('|')));
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
    }
    cbxInstance->setCurrentIndex(-1);
    cbxInstance->setEditText(text);
    if (cbxInstance->isEnabled()) {
        cbxInstance->setFocus();
        cbxInstance->lineEdit()->selectAll();
    } else if (rdoNT->isChecked() || !rdoPwd->isChecked()) {
        rdoNT->setFocus();
    } else {
        rdoPwd->setFocus();
    }
}

void TfrmAddInstance::btnOKClick()
{
    if (FTesting)
        return;
    const QString name = cbxInstance->currentText();
    if (name.trimmed().isEmpty()) {
        ShowMessage(QStringLiteral("Server name should not be empty."), QStringLiteral("Hint"), TMsgIcon::Information);
        return;
    }
    if (ShowMode == smAdd && IsDBExists && IsDBExists(name)) {
        ShowMessage(QStringLiteral("Server name has existed."), QStringLiteral("Error"), TMsgIcon::Error);
        return;
    }
    const TInstanceInfo info{name, edtUserName->text(), edtUserPwd->text(), rdoNT->isChecked()};
    const int timeout = ConnectionTimeout;
    SetTesting(true);
    FTasks.Add(RunInBackground<TCheckResult>(
        this,
        [info, timeout] {
            TCheckResult r;
            r.Ok = CheckConnInfo(info, r.ErrMsg, timeout);
            return r;
        },
        [this, info](TCheckResult r) { ConnectionTested(info, r.Ok, r.ErrMsg); }));
}

void TfrmAddInstance::ConnectionTested(const TInstanceInfo& info, bool ok, const QString& errMsg)
{
    SetTesting(false);
    if (!isVisible())
        return;  // closed from outside meanwhile: nothing to decide
    bool accepted = ok;
    if (!ok) {
        const QString text = QStringLiteral("ERROR:") + errMsg + QStringLiteral("\r\n") +
                             QStringLiteral("Can't Connect to this instance, would you want to continue?");
        accepted = ShowMessage(text, QStringLiteral("Connection Error"), TMsgIcon::Error,
                               TMsgButton::Yes | TMsgButton::No) == TMsgButton::Yes;
    }
    // The confirmed name goes to the top of the history, also after No.
    InstanceName = info.InstanceName;
    try {
        RememberName();
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
    }
    if (accepted)
        accept();
    emit ConnectionTestDone(ok);
}

void TfrmAddInstance::RememberName()
{
    const QString text = cbxInstance->currentText();
    int found = -1;
    for (int i = 0; i < cbxInstance->count(); ++i) {
        if (cbxInstance->itemText(i).compare(InstanceName, Qt::CaseInsensitive) == 0) {
            found = i;
            break;
        }
    }
    // An entry that differs only in letter case keeps its own spelling.
    const QString entry = found >= 0 ? cbxInstance->itemText(found) : InstanceName;
    if (found >= 0)
        cbxInstance->removeItem(found);
    cbxInstance->insertItem(0, entry);
    cbxInstance->setCurrentIndex(-1);
    cbxInstance->setEditText(text);

    QString hist;
    for (int i = 0; i < qMin(cbxInstance->count(), MaxHistory); ++i)
        hist += cbxInstance->itemText(i) + QLatin1Char('|');
    if (!dmMain)
        throw EOrvexaError(QStringLiteral("The server-name history cannot be saved: there is no data module."));
    dmMain->UpdateInstanceHist(hist);
}

void TfrmAddInstance::SetTesting(bool testing)
{
    // The entry stays as it was tested: its controls are locked meanwhile.
    if (testing)
        FPanelEnabled = pnlUserPwd->isEnabled();
    FTesting = testing;
    btnOK->setEnabled(!testing);
    btnCancel->setEnabled(!testing);
    rdoNT->setEnabled(!testing);
    rdoPwd->setEnabled(!testing);
    cbxInstance->setEnabled(!testing && ShowMode == smAdd);
    pnlUserPwd->setEnabled(!testing && FPanelEnabled);
    if (testing)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

void TfrmAddInstance::reject()
{
    // The test's answer decides how the dialog closes; wait for it.
    if (FTesting)
        return;
    QDialog::reject();
}

void TfrmAddInstance::closeEvent(QCloseEvent* event)
{
    if (FTesting) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
