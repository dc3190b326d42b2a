#include "consoleio.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <windows.h>

#include <utility>

namespace {

std::function<void()> interruptAction;
// Set once the GUI thread has ended the mode, so that a console being closed, whose handler
// Windows ends the process after, waits for the tidy-up first.
HANDLE interruptHandled = nullptr;

BOOL WINAPI onConsoleEvent(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        break;
    default:
        return FALSE;
    }
    // The handler runs on a thread of its own: the action is queued to the GUI thread.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] { interruptAction(); }, Qt::QueuedConnection);
    if (type == CTRL_CLOSE_EVENT && interruptHandled)
        WaitForSingleObject(interruptHandled, 5000);
    return TRUE;
}

void writeTo(DWORD which, const QString &text)
{
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        // A console shows the characters themselves, whatever its code page.
        WriteConsoleW(handle, reinterpret_cast<const wchar_t *>(text.utf16()),
            static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const QByteArray bytes = text.toUtf8();
    WriteFile(handle, bytes.constData(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

} // namespace

namespace consoleio {

void writeLine(const QString &line)
{
    writeTo(STD_OUTPUT_HANDLE, line + QLatin1Char('\n'));
}

void writeError(const QString &text)
{
    writeTo(STD_ERROR_HANDLE, text);
}

void onInterrupt(std::function<void()> interrupted)
{
    interruptHandled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    interruptAction = std::move(interrupted);
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
        [] { SetEvent(interruptHandled); });
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace consoleio
