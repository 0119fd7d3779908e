// Start-up: where the window appears, and the program's run from the application object to
// the end of the event loop.
#pragma once

#include <QPoint>
#include <QSize>

#include "Settings.h"

// Top-left corner that centres a window on the desktop (integer halves, truncated).
QPoint CentredPosition(const QSize& desktop, const QSize& window);

#include <QStringList>
#include <optional>
#include <ostream>

// --help and --version: printed to `out` before any window exists (no display needed);
// returns the exit code then, nothing for an ordinary start.
std::optional<int> HandleInfoOption(const QStringList& arguments, std::ostream& out);
// The file named on the command line (arguments[0] is the program), or an empty text. Empty
// arguments (the language toggle's restart passes one) and options are ignored.
QString StartupFile(const QStringList& arguments);

class Lumaframe;
// Opens the file named on the command line, if any, in the shown window.
void OpenStartupFile(Lumaframe& window, const QStringList& arguments);

// The whole program: application, catalogue, window, event loop. Returns the loop's code.
int RunGlintwise(int argc, char** argv);
