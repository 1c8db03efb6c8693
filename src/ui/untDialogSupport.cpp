#include "untDialogSupport.h"

#include "untPrompt.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

void TBackgroundTasks::Add(QThread* thread)
{
    FThreads.removeAll(nullptr);
    FThreads.append(thread);
}

bool TBackgroundTasks::IsRunning() const
{
    for (const QPointer<QThread>& thread : FThreads)
        if (thread && thread->isRunning())
            return true;
    return false;
}

void TBackgroundTasks::WaitForAll()
{
    for (const QPointer<QThread>& thread : FThreads)
        if (thread)
            thread->wait();
    FThreads.clear();
}

void CenterOnScreen(QWidget* window)
{
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

