// Start-up: where the window appears, and the program's run from the application object to
// the end of the event loop.
#pragma once

#include <QPoint>
#include <QSize>

#include "Settings.h"

// Top-left corner that centres a window on the desktop (integer halves, truncated).
QPoint CentredPosition(const QSize& desktop, const QSize& window);

// The whole program: application, catalogue, window, event loop. Returns the loop's code.
int RunGlintwise(int argc, char** argv);
