// The options dialog: the options row of the local store, edited in place
// through its check boxes and the "Databases at a time" box. The first click starts an edit of the row; OK
// saves it and makes the saved values the options in force (CurrentConfig);
// Cancel and Esc drop it. There is no close box.
//
// Use (created once, reused for every showing):
//   frmOptions->Execute();   // modal; true after OK
// show() shows the row the same way, for use without a modal loop (tests).
// dmMain must be set before the dialog is created.
//
// GUI thread only; needs the global dmMain (its dsOptions is the record
// source, taken when the dialog is created).
#pragma once

#include "untDmMain.h"

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;

class TfrmOptions : public QDialog {
    Q_OBJECT
public:
    explicit TfrmOptions(QWidget* parent = nullptr);
    ~TfrmOptions() override;

    // Shows the dialog modally; true when it closed with OK.
    bool Execute();

    QPushButton* btnOK;
    QPushButton* btnCancel;
    QGroupBox* GroupBox;   // "Regular"
    QGroupBox* GroupBox1;  // "Execution"
    QCheckBox* ckbReceiveResults;
    QCheckBox* ckbContinueOnError;
    QCheckBox* ckbTransExecution;
    QCheckBox* ckbSaveList;
    QCheckBox* ckbCopyTitle;
    // "Databases at a time", bound to column Parallelism (1 to 64).
    QLabel* lblParallelism;
    QSpinBox* spnParallelism;
    // The options row's record source; not owned. Null without a data module.
    TOptionsSource* DataSet = nullptr;

    void btnOKClick();
    void btnCancelClick();

public slots:
    // Esc: the same as Cancel.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct TBinding {
        QCheckBox* Box;
        TOptionField Field;
    };
    // Each check box shows its column of the row as it stands (the pending
    // edit while editing).
    void ShowRow();
    void CheckBoxClick(const TBinding& binding, bool checked);
    void ParallelismChange(int value);

    bool FShowingRow = false;  // ShowRow is setting the controls

    QList<TBinding> FBindings;
};
