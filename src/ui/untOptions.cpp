#include "untOptions.h"

#include "untDialogSupport.h"
#include "untPrompt.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QVBoxLayout>

TfrmOptions::TfrmOptions(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setWindowTitle(QStringLiteral("Options"));
    setObjectName(QStringLiteral("frmOptions"));

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    for (QPushButton* button : {btnOK, btnCancel})
        button->setMinimumSize(75, 25);
    btnOK->setDefault(true);

    GroupBox = new QGroupBox(QStringLiteral("Regular"), this);
    GroupBox1 = new QGroupBox(QStringLiteral("Execution"), this);
    // The frames take the design's 281 pixels, or what their captions need
    // in the platform's font: the dialog's size below decides.
    ckbReceiveResults = new QCheckBox(QStringLiteral("Retrieve the result set"), GroupBox1);
    ckbContinueOnError = new QCheckBox(QStringLiteral("Skip to next database when  error occurs"), GroupBox1);
    ckbTransExecution = new QCheckBox(QStringLiteral("Auto begin transaction for each fille"), GroupBox1);
    ckbSaveList = new QCheckBox(QStringLiteral("Auto save database list"), GroupBox);
    ckbCopyTitle = new QCheckBox(QStringLiteral("Include titles when copy results"), GroupBox);
    lblParallelism = new QLabel(QStringLiteral("Databases at a time:"), GroupBox1);
    spnParallelism = new QSpinBox(GroupBox1);
    const TOptionColumn& parallelism = OptionColumn(TOptionField::Parallelism);
    spnParallelism->setRange(parallelism.Min, parallelism.Max);
    spnParallelism->setAccessibleName(QStringLiteral("Databases at a time"));
    lblParallelism->setBuddy(spnParallelism);

    auto* regular = new QVBoxLayout(GroupBox);
    regular->setContentsMargins(16, 12, 12, 12);
    regular->setSpacing(10);
    regular->addWidget(ckbSaveList);
    regular->addWidget(ckbCopyTitle);
    regular->addStretch(1);
    auto* execution = new QVBoxLayout(GroupBox1);
    execution->setContentsMargins(16, 12, 12, 12);
    execution->setSpacing(10);
    execution->addWidget(ckbReceiveResults);
    execution->addWidget(ckbContinueOnError);
    execution->addWidget(ckbTransExecution);
    auto* parallelismRow = new QHBoxLayout;
    parallelismRow->addWidget(lblParallelism);
    parallelismRow->addWidget(spnParallelism);
    parallelismRow->addStretch(1);
    execution->addLayout(parallelismRow);
    execution->addStretch(1);

    // The two frames stacked at the left, OK above Cancel at the top right.
    auto* frames = new QVBoxLayout;
    frames->setSpacing(16);
    frames->addWidget(GroupBox);
    frames->addWidget(GroupBox1);
    frames->addStretch(1);
    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(11);
    buttons->addSpacing(8);
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    buttons->addStretch(1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(16);
    layout->addLayout(frames, 1);
    layout->addLayout(buttons);

    setTabOrder(ckbSaveList, ckbCopyTitle);
    setTabOrder(ckbCopyTitle, ckbReceiveResults);
    setTabOrder(ckbReceiveResults, ckbContinueOnError);
    setTabOrder(ckbContinueOnError, ckbTransExecution);
    setTabOrder(ckbTransExecution, spnParallelism);
    setTabOrder(spnParallelism, btnOK);
    setTabOrder(btnOK, btnCancel);

    FBindings = {{ckbSaveList, TOptionField::SaveList},
                 {ckbCopyTitle, TOptionField::CopyTitle},
                 {ckbReceiveResults, TOptionField::ReceiveResults},
                 {ckbContinueOnError, TOptionField::ContinueOnError},
                 {ckbTransExecution, TOptionField::TransExecution}};
    for (const TBinding& binding : FBindings)
        connect(binding.Box, &QCheckBox::clicked, this,
                [this, binding](bool checked) { CheckBoxClick(binding, checked); });
    connect(spnParallelism, &QSpinBox::valueChanged, this, &TfrmOptions::ParallelismChange);
    connect(btnOK, &QPushButton::clicked, this, &TfrmOptions::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmOptions::btnCancelClick);

    // FormCreate: the record source behind the check boxes.
    DataSet = dmMain ? &dmMain->dsOptions : nullptr;

    // The design's size, or what the platform's font needs.
    setFixedSize(layout->minimumSize().expandedTo(QSize(404, 352)));
}

TfrmOptions::~TfrmOptions() = default;

bool TfrmOptions::Execute()
{
    return exec() == QDialog::Accepted;
}

void TfrmOptions::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        // Measured again once the platform's font and style are applied:
        // the captions must never be cut.
        setFixedSize(layout()->minimumSize().expandedTo(QSize(404, 352)));
        CenterOnScreen(this);
        ShowRow();
        ckbSaveList->setFocus();
    }
}

void TfrmOptions::ShowRow()
{
    const bool active = DataSet && DataSet->IsActive();
    FShowingRow = true;
    for (const TBinding& binding : FBindings) {
        binding.Box->setChecked(active && DataSet->Value(binding.Field));
        binding.Box->setEnabled(active);
    }
    spnParallelism->setValue(active ? DataSet->Parallelism() : spnParallelism->minimum());
    spnParallelism->setEnabled(active);
    FShowingRow = false;
}

void TfrmOptions::ParallelismChange(int value)
{
    if (FShowingRow)
        return;
    try {
        if (!DataSet)
            throw EOrvexaError(QStringLiteral("The options cannot be edited: there is no data module."));
        if (DataSet->Parallelism() != value)
            DataSet->SetParallelism(value);
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
        ShowRow();
    }
}

void TfrmOptions::CheckBoxClick(const TBinding& binding, bool checked)
{
    try {
        if (!DataSet)
            throw EOrvexaError(QStringLiteral("The options cannot be edited: there is no data module."));
        DataSet->SetValue(binding.Field, checked);
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
    }
    ShowRow();
}

void TfrmOptions::btnOKClick()
{
    // The result is OK whatever the save does: a failed save is reported,
    // leaves the options in force as they were and the row in editing.
    setResult(QDialog::Accepted);
    try {
        if (DataSet && DataSet->IsEditing())
            DataSet->Post();
        if (dmMain)
            dmMain->RefreshOptions();
    } catch (const EOrvexaError& e) {
        ShowErrorReport(e.Message());
    }
    QDialog::accept();
}

void TfrmOptions::btnCancelClick()
{
    if (DataSet && DataSet->IsEditing())
        DataSet->Cancel();
    QDialog::reject();
}

void TfrmOptions::reject()
{
    btnCancelClick();
}
