// The database selection dialog behind Add Databases: the server instances as
// a tree whose children are the databases each server reports (loaded when an
// instance is first opened in a showing), and at the right the databases
// chosen for the current instance. The user adds, edits and removes instances
// through the instance dialog and moves databases between the two sides.
//
// All of it works on a working copy of the stored lists, read at every
// showing (TdmMain::GetDBListData) and written back as a whole on OK
// (UpdateDBListData). Cancel, Esc or closing store nothing.
//
// Use (created once, reused for every showing):
//   if (frmDBSelect->Execute())   // modal; true: the lists are stored
//       reload the main window's list;
// show() rebuilds it the same way, for use without a modal loop (tests).
//
// The catalogue query of an opening instance runs on a worker thread: the
// dialog keeps working, the node shows that it is loading, and a node being
// loaded is not queried again. An answer that arrives after its showing has
// ended, or for a removed instance, is dropped. GUI thread only; needs the
// global dmMain.
#pragma once

#include "untCommon.h"
#include "untDialogSupport.h"
#include "untDmMain.h"
#include "untListPacket.h"

#include <QDialog>
#include <QSet>

#include <optional>

class QLabel;
class QListWidget;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class TfrmAddInstance;

class TfrmDBSelect : public QDialog {
    Q_OBJECT
public:
    // Texts of the placeholder children.
    static const char* const JustForPlace;  // an instance not loaded yet
    static const char* const ErrorPlace;    // an instance whose loading failed

    explicit TfrmDBSelect(QWidget* parent = nullptr);
    ~TfrmDBSelect() override;

    // Shows the dialog modally; true when OK stored the lists.
    bool Execute();

    // Whether the working copy holds an instance of that name, ignoring
    // letter case (the instance dialog's test in add mode).
    bool IsDBExists(const QString& DBName) const;

    // Appends a top-level node with a "JustForPlace" child and selects it,
    // which makes its instance current.
    void AddInstanceNode(const QString& name, qint32 id);
    // Starts loading the databases of an instance node on a worker thread;
    // false when the node is no instance node or is being loaded already.
    // When the answer comes, the node gets one child per database and opens
    // (InstanceLoaded(id, true)), or, after "Fail to get the database
    // information.", gets the single child "ErrorPlace" and stays closed
    // (InstanceLoaded(id, false)).
    bool LoadInstanceDatabases(QTreeWidgetItem* node);
    // True while the instance's databases are being loaded.
    bool IsLoading(qint32 instanceID) const { return FLoading.contains(instanceID); }
    // True while a catalogue query of any showing still runs (its answer may
    // be dropped).
    bool HasRunningQueries() const { return FTasks.IsRunning(); }
    // Fills lbDatabases with the current instance's chosen databases; does
    // nothing while the dialog is hidden.
    void RefreshSelectedList();

    // The working copy as it stands, and its current instance.
    const TDBListPacket& WorkingCopy() const { return FWorking; }
    bool IsWorkingCopyOpen() const { return FWorkingOpen; }
    std::optional<qint32> CurrentInstanceID() const { return FCurrentID; }

    // Seconds the catalogue query waits for a server's login and again for
    // its answer.
    int ServerTimeout = ServerWaitSeconds;

    // The top-level node whose instance is current, or none.
    QTreeWidgetItem* CurrentTopLevelNode = nullptr;

    // The instance dialog this one opens, created with it.
    TfrmAddInstance* frmAddInstance;

    QLabel* lblInstances;
    QTreeWidget* tvInstances;
    QPushButton* btnSel;
    QPushButton* btnDel;
    QLabel* lblDatabases;
    QListWidget* lbDatabases;
    QPushButton* btnAddInstance;
    QPushButton* btnEditInstance;
    QPushButton* btnRemoveInstance;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    void btnSelClick();
    void btnDelClick();
    void btnAddInstanceClick();
    void btnEditInstanceClick();
    void btnRemoveInstanceClick();
    void btnOKClick();

signals:
    // A catalogue query of this showing has ended and its node is updated.
    void InstanceLoaded(qint32 instanceID, bool succeeded);

public slots:
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;  // FormShow

private:
    struct TCatalogResult {
        bool Ok = false;
        QString Names;
        QString Error;
    };

    void FormShow();
    void CloseWorkingCopy();
    int IndexOfInstance(qint32 id) const;
    TPacketInstance* InstanceOf(qint32 id);
    QTreeWidgetItem* TopLevelNodeOf(qint32 id) const;
    static qint32 NodeID(const QTreeWidgetItem* node);
    static QTreeWidgetItem* TopLevelOf(QTreeWidgetItem* node);
    QTreeWidgetItem* SelectedNode() const;

    void tvInstancesChange(QTreeWidgetItem* node);
    void tvInstancesExpanded(QTreeWidgetItem* node);
    void KeepSiblingSelection();
    void SetExpanded(QTreeWidgetItem* node, bool expanded);
    void ShowLoading(QTreeWidgetItem* node, bool loading);
    void InstanceDatabasesLoaded(quint64 showing, qint32 id, const TCatalogResult& result);

    TDBListPacket FWorking;
    bool FWorkingOpen = false;
    std::optional<qint32> FCurrentID;
    // Counts showings, so that an answer from an earlier one is recognised.
    quint64 FShowing = 0;
    QSet<qint32> FLoading;
    bool FExpandGuard = false;
    bool FSelectionGuard = false;
    TBackgroundTasks FTasks;
};
