#pragma once

#include "headlessrunner.h"

#include <QString>
#include <QStringList>

// The program's command line. Without arguments the program is the dialog; any option of its
// own makes it a command-line program (no window, no message box).
struct CommandLine
{
    enum class Action { Dialog, Headless, Help, Version, Error };
    Action action = Action::Dialog;
    HeadlessOptions options;
    QString error; // for Action::Error
};

// Whether the raw arguments (argv[1..]) ask for the command-line mode: anything but Qt's own
// options (such as "-platform xcb"), which the application object takes away. Decided before the
// application object is made, which must then get a platform that needs no display.
bool wantsCommandLine(const QStringList &rawArguments);

// Parses the arguments the application object left (the program's name first).
CommandLine parseCommandLine(const QStringList &arguments);
QString usageText();
