// A prompt that records every message box and answers dialogs from queues,
// installed for the lifetime of the object.
#pragma once

#include "untPrompt.h"

#include <QList>
#include <QQueue>

class TPromptRecorder : public TPrompt {
public:
    struct TShown {
        QString Text;
        QString Caption;
        TMsgIcon Icon;
        TMsgButtons Buttons;
    };

    TPromptRecorder() { SetPrompt(this); }
    ~TPromptRecorder() override { SetPrompt(nullptr); }

    // Answers of the message boxes, in order; Answer when the queue is empty.
    QQueue<TMsgAnswer> Answers;
    TMsgAnswer Answer = TMsgButton::OK;
    QList<TShown> Shown;
    // What the file and folder dialogs return, in order; empty (cancel) when
    // the queue is empty.
    QQueue<QStringList> Files;
    QList<QString> DialogCaptions;

    TMsgAnswer Show(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons) override
    {
        Shown.append({text, caption, icon, buttons});
        return Answers.isEmpty() ? Answer : Answers.dequeue();
    }
    QStringList GetOpenFileNames(QWidget*, const QString& caption, const QString&, const QString&) override
    {
        return Next(caption);
    }
    QString GetOpenFileName(QWidget*, const QString& caption, const QString&, const QString&) override
    {
        return Next(caption).value(0);
    }
    QString GetSaveFileName(QWidget*, const QString& caption, const QString&, const QString&,
                            const QString&) override
    {
        return Next(caption).value(0);
    }
    QString GetExistingDirectory(QWidget*, const QString& caption, const QString&) override
    {
        return Next(caption).value(0);
    }

private:
    QStringList Next(const QString& caption)
    {
        DialogCaptions.append(caption);
        return Files.isEmpty() ? QStringList() : Files.dequeue();
    }
};
