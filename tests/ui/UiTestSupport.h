// What the window tests share: one QApplication for the process (offscreen),
// and pumping the event loop until a condition holds.
#pragma once

#include "TestApp.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <functional>

// Runs the event loop until `done` holds or `ms` milliseconds have passed;
// returns whether it holds.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 30000)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}
