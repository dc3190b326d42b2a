#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// One invocation of robot-console, parsed from its arguments:
//   robot-console [--timeout MS] [--login] COMMAND [ARGS...]
struct ConsoleRequest
{
    enum class Command {
        Serial,
        Version,
        Actions,
        FileName,
        Delete,
        Play,
        FileInfo,
        Motor,
        ReadMotor,
        Motion,
        EarLed,
        EyeLed,
        Request,
    };

    int timeoutMs = 5000;
    bool login = false;
    bool help = false;
    Command command = Command::Serial;
    QStringList texts; // names and paths, in argument order
    QVector<int> numbers; // numeric arguments, in argument order
    // The event whose arrival ends the run; empty when the run ends once the frame is written.
    QString awaitedEvent;
};

// False with a one-line reason in *error when the arguments do not form a valid invocation.
bool parseConsoleArguments(const QStringList &arguments, ConsoleRequest *request, QString *error);

QString consoleUsage();
