// The application's icons: Breeze designs embedded as resources, each with
// its 16 and 32 pixel drawing (QIcon derives the greyed disabled look).
#pragma once

#include <QIcon>
#include <QString>

// The icon of that Breeze name ("list-add"); a null icon for an unknown name.
QIcon AppIcon(const QString& name);
// The application's own icon (window, about box, desktop entry).
QIcon ApplicationIcon();
