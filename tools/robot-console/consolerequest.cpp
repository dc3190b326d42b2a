#include "consolerequest.h"

#include "zevmsgid.h"
#include "zevsocketsession.h"

#include <QHash>
#include <initializer_list>

namespace {

struct CommandShape
{
    ConsoleRequest::Command command;
    int texts; // leading text arguments
    int numbers; // numeric arguments after them
};

const QHash<QString, CommandShape> &commandShapes()
{
    using C = ConsoleRequest::Command;
    static const QHash<QString, CommandShape> shapes {
        { QStringLiteral("serial"), { C::Serial, 0, 0 } },
        { QStringLiteral("version"), { C::Version, 0, 1 } },
        { QStringLiteral("actions"), { C::Actions, 0, 0 } },
        { QStringLiteral("file-name"), { C::FileName, 1, 1 } },
        { QStringLiteral("delete"), { C::Delete, 1, 0 } },
        { QStringLiteral("play"), { C::Play, 1, 0 } },
        { QStringLiteral("file-info"), { C::FileInfo, 2, 2 } },
        { QStringLiteral("motor"), { C::Motor, 0, 3 } },
        { QStringLiteral("read-motor"), { C::ReadMotor, 0, 1 } },
        { QStringLiteral("motion"), { C::Motion, 0, 21 } },
        { QStringLiteral("ear-led"), { C::EarLed, 0, 6 } },
        { QStringLiteral("eye-led"), { C::EyeLed, 0, 7 } },
        { QStringLiteral("request"), { C::Request, 0, 1 } },
    };
    return shapes;
}

bool parseNumber(const QString &text, int *value)
{
    bool ok = false;
    const int parsed = text.toInt(&ok, 10);
    if (ok)
        *value = parsed;
    return ok;
}

bool oneOf(int value, std::initializer_list<int> allowed)
{
    for (int a : allowed) {
        if (value == a)
            return true;
    }
    return false;
}

// Checks the values that only make sense in a range and names the reply that ends the run.
bool checkValues(ConsoleRequest *request, QString *error)
{
    using C = ConsoleRequest::Command;
    const QVector<int> &n = request->numbers;
    switch (request->command) {
    case C::Serial:
        request->awaitedEvent = QStringLiteral("OnSerialNum");
        return true;
    case C::Version:
        if (!oneOf(n[0], { ZEVMsg::Version33, ZEVMsg::Version34 })) {
            *error = QStringLiteral("version takes the id 33 or 34");
            return false;
        }
        request->awaitedEvent = QStringLiteral("OnVersion");
        return true;
    case C::Actions:
        request->awaitedEvent = QStringLiteral("OnActionFileList");
        return true;
    case C::FileName:
        if (!oneOf(n[0], { ZEVMsg::ActionResourceList, ZEVMsg::FileUpload })) {
            *error = QStringLiteral("file-name takes the id 13 or 14");
            return false;
        }
        request->awaitedEvent = n[0] == ZEVMsg::ActionResourceList
            ? QStringLiteral("OnActionResourceList")
            : QStringLiteral("OnServerInfoUL");
        return true;
    case C::FileInfo:
        if (n[0] < 0) {
            *error = QStringLiteral("file-info takes a length of 0 or more");
            return false;
        }
        if (!oneOf(n[1],
                { ZEVMsg::FileInfoDownload, ZEVMsg::FileInfoDownload12, ZEVMsg::FixedNameFile21,
                    ZEVMsg::FixedNameFile22 })) {
            *error = QStringLiteral("file-info takes the id 2, 12, 21 or 22");
            return false;
        }
        // The robot's answers to 21 and 22 are not passed on by the session.
        if (n[1] == ZEVMsg::FileInfoDownload || n[1] == ZEVMsg::FileInfoDownload12)
            request->awaitedEvent = QStringLiteral("OnServerInfoDL");
        return true;
    case C::ReadMotor:
        request->awaitedEvent = QStringLiteral("OnMotorAngle");
        return true;
    case C::EyeLed:
        for (int i = 0; i < 4; ++i) {
            if (n[i] < 0 || n[i] > 255) {
                *error
                    = QStringLiteral("eye-led takes LEFT, RIGHT, BRIGHT and COLOR from 0 to 255");
                return false;
            }
        }
        return true;
    case C::Request:
        if (!oneOf(n[0],
                { ZEVMsg::WifiList, ZEVMsg::Request11, ZEVMsg::Request18, ZEVMsg::Request20,
                    ZEVMsg::Request48 })) {
            *error = QStringLiteral("request takes the id 7, 11, 18, 20 or 48");
            return false;
        }
        return true;
    case C::Delete:
    case C::Play:
    case C::Motor:
    case C::Motion:
    case C::EarLed:
        return true;
    }
    return true;
}

} // namespace

bool parseConsoleArguments(const QStringList &arguments, ConsoleRequest *request, QString *error)
{
    *request = ConsoleRequest();
    int i = 0;
    while (i < arguments.size() && arguments[i].startsWith(QLatin1String("-"))) {
        const QString &option = arguments[i];
        if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
            request->help = true;
            return true;
        }
        if (option == QLatin1String("--login")) {
            request->login = true;
            ++i;
            continue;
        }
        if (option == QLatin1String("--timeout")) {
            if (i + 1 >= arguments.size() || !parseNumber(arguments[i + 1], &request->timeoutMs)
                || request->timeoutMs <= 0) {
                *error = QStringLiteral("--timeout takes a number of milliseconds above 0");
                return false;
            }
            i += 2;
            continue;
        }
        *error = QStringLiteral("unknown option %1").arg(option);
        return false;
    }
    if (i >= arguments.size()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    const QString name = arguments[i++];
    const auto shape = commandShapes().constFind(name);
    if (shape == commandShapes().constEnd()) {
        *error = QStringLiteral("unknown command %1").arg(name);
        return false;
    }
    request->command = shape->command;
    const int expected = shape->texts + shape->numbers;
    if (arguments.size() - i != expected) {
        *error = QStringLiteral("%1 takes %2 argument(s), %3 given")
                     .arg(name)
                     .arg(expected)
                     .arg(arguments.size() - i);
        return false;
    }
    for (int t = 0; t < shape->texts; ++t)
        request->texts << arguments[i++];
    for (int k = 0; k < shape->numbers; ++k, ++i) {
        int value = 0;
        if (!parseNumber(arguments[i], &value)) {
            *error = QStringLiteral("%1: %2 is not a whole number").arg(name, arguments[i]);
            return false;
        }
        request->numbers << value;
    }
    return checkValues(request, error);
}

QString consoleUsage()
{
    return QStringLiteral(
        "usage: robot-console [--timeout MS] [--login] COMMAND [ARGS...]\n"
        "Talks to the robot's service on 127.0.0.1:%1 (after adb forward tcp:%1 tcp:%1)\n"
        "and prints one line per event received.\n"
        "commands:\n"
        "  serial\n"
        "  version 33|34\n"
        "  actions\n"
        "  file-name NAME 13|14\n"
        "  delete NAME\n"
        "  play NAME\n"
        "  file-info PATH NAME LENGTH 2|12|21|22\n"
        "  motor ID ANGLE TIME\n"
        "  read-motor ID\n"
        "  motion A1 ... A20 TIME\n"
        "  ear-led RUN LEFT RIGHT BRIGHT UP DOWN\n"
        "  eye-led LEFT RIGHT BRIGHT COLOR UP DOWN TOTAL\n"
        "  request 7|11|18|20|48\n"
        "Exits 0 once the awaited reply arrived (or the frame was written, for commands without\n"
        "a reply), 1 after the time-out (default 5000 ms), 2 on wrong arguments.\n")
        .arg(kRobotServicePort);
}
