// The instance dialog: the user enters or edits one SQL Server instance (the
// server name, Windows or SQL Server authentication), picks a recent server
// name from the history, and has the connection tested before the entry is
// accepted. Opened only by the database selection dialog, which creates one
// and reuses it for every opening: control states that SetShowMode and the
// showing do not set carry over from the previous opening.
//
// Use:
//   dlg->SetShowMode(smAdd, {QString(), QString(), QString(), true});
//   if (dlg->exec() == QDialog::Accepted) info = dlg->GetInstanceInfo();
//
// The connection test runs on a worker thread: the dialog keeps painting,
// shows a busy cursor and disables its buttons (and Esc) until the answer is
// in. GUI thread only; needs the global dmMain for the history.
#pragma once

#include "untCommon.h"
#include "untDialogSupport.h"
#include "untDmMain.h"

#include <QDialog>

#include <functional>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

enum TShowMode { smAdd = 0, smEdit = 1 };

class TfrmAddInstance : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAddInstance(QWidget* parent = nullptr);
    ~TfrmAddInstance() override;

    // Prepares the next opening: the name, user and password boxes, the
    // authentication choice, whether the name may be changed (smAdd only).
    void SetShowMode(TShowMode aShowMode, const TInstanceInfo& aInstanceInfo);
    // After the result OK: InstanceName, the two boxes as they stand, and NT
    // exactly when rdoNT is selected.
    TInstanceInfo GetInstanceInfo() const;

    // The opener's name test: whether its list already holds an instance of
    // that name, ignoring letter case. Asked in smAdd only; unset means no.
    std::function<bool(const QString&)> IsDBExists;

    // Seconds the connection test waits for the server's login.
    int ConnectionTimeout = ServerWaitSeconds;

    // True while the connection test runs.
    bool IsTesting() const { return FTesting; }

    TShowMode ShowMode = smAdd;
    // The combo box text as of the last OK that got past the name checks.
    QString InstanceName;

    QLabel* Label1;
    QComboBox* cbxInstance;
    QLabel* Label2;
    QRadioButton* rdoNT;
    QRadioButton* rdoPwd;
    QFrame* pnlUserPwd;
    QLabel* Label3;
    QLineEdit* edtUserName;
    QLabel* Label4;
    QLineEdit* edtUserPwd;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    void btnOKClick();
    void rdoClick();

signals:
    // A connection test has ended and its outcome has been handled (the
    // dialog accepted, or the question answered and the history saved).
    void ConnectionTestDone(bool succeeded);

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;  // FormShow
    void closeEvent(QCloseEvent* event) override;

private:
    void FormShow();
    void SetTesting(bool testing);
    void ConnectionTested(const TInstanceInfo& info, bool ok, const QString& errMsg);
    void RememberName();

    bool FTesting = false;
    bool FPanelEnabled = false;  // the panel's state before the test locked it
    TBackgroundTasks FTasks;
};
