#pragma once

#include <QIcon>
#include <QList>

// MAINICON: the application icon at 128, 64, 48, 32 and 16 pixels.
QIcon MainIcon();

// The toolbar's images in button order: Exit, Clear, About.
QList<QIcon> ToolIcons();
