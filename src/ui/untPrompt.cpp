#include "untPrompt.h"

#include "untCommon.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace {

TPrompt gRealPrompt;
TPrompt* gPrompt = nullptr;

} // namespace

TMsgAnswer TPrompt::Show(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(caption);
    box.setText(text);
    box.setIcon(icon == TMsgIcon::Error      ? QMessageBox::Critical
                : icon == TMsgIcon::Warning  ? QMessageBox::Warning
                : icon == TMsgIcon::Question ? QMessageBox::Question
                                             : QMessageBox::Information);
    QMessageBox::StandardButtons standard;
    if (buttons & TMsgButton::OK)
        standard |= QMessageBox::Ok;
    if (buttons & TMsgButton::Cancel)
        standard |= QMessageBox::Cancel;
    if (buttons & TMsgButton::Yes)
        standard |= QMessageBox::Yes;
    if (buttons & TMsgButton::No)
        standard |= QMessageBox::No;
    box.setStandardButtons(standard ? standard : QMessageBox::Ok);
    switch (box.exec()) {
    case QMessageBox::Ok: return TMsgButton::OK;
    case QMessageBox::Cancel: return TMsgButton::Cancel;
    case QMessageBox::Yes: return TMsgButton::Yes;
    case QMessageBox::No: return TMsgButton::No;
    default: return TMsgButton::None;
    }
}

QStringList TPrompt::GetOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                      const QString& filter)
{
    return QFileDialog::getOpenFileNames(parent, caption, dir, filter);
}

QString TPrompt::GetOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                 const QString& filter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString TPrompt::GetSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                 const QString& filter, const QString& defaultSuffix)
{
    QFileDialog dialog(parent, caption, dir, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

QString TPrompt::GetExistingDirectory(QWidget* parent, const QString& caption, const QString& dir)
{
    return QFileDialog::getExistingDirectory(parent, caption, dir);
}

TPrompt& Prompt()
{
    return gPrompt ? *gPrompt : gRealPrompt;
}

void SetPrompt(TPrompt* prompt)
{
    gPrompt = prompt;
}

TMsgAnswer ShowMessage(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons)
{
    return Prompt().Show(text, caption, icon, buttons);
}

void ShowErrorReport(const QString& message)
{
    ShowMessage(message, QStringLiteral("Orvexa"), TMsgIcon::Error);
}

void ShowErrorReport(const std::exception& error)
{
    ShowErrorReport(ErrorText(error));
}

QString QtFileFilter(const QString& pipeFilter)
{
    const QStringList parts = pipeFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i < parts.size(); i += 2)
        filters.append(parts.at(i));
    return filters.join(QStringLiteral(";;"));
}
