#pragma once

#include <QString>

#include <functional>

// The headless mode's console: output lines and the interrupt keys, one file per system.
namespace consoleio {

// One line on standard output (or standard error), in the console's encoding: UTF-8 on POSIX;
// on Windows the console's code page, or UTF-8 when the stream is a pipe or a file.
void writeLine(const QString &line);
void writeError(const QString &text);

// `interrupted` runs on the GUI thread after SIGINT/SIGTERM (POSIX) or Ctrl+C, Ctrl+Break and
// the console window's closing (Windows). Call once, with the application object made.
void onInterrupt(std::function<void()> interrupted);

} // namespace consoleio
