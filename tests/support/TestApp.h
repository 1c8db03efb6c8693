// The one QApplication of a test process (offscreen platform through the
// tests' environment), made on first use. It is never destroyed: at process
// exit Qt's own globals (the input devices that simulated mouse events
// create) are already gone.
#pragma once

#include <QApplication>
#include <QCoreApplication>

inline QApplication& TestApp()
{
    static int argc = 1;
    static char name[] = "orvexa-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance()))
            return existing;
        return new QApplication(argc, argv);
    }();
    return *app;
}
