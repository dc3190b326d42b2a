#include "consolerequest.h"
#include "consolerunner.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    arguments.removeFirst();

    ConsoleRequest request;
    QString error;
    if (!parseConsoleArguments(arguments, &request, &error)) {
        std::fprintf(
            stderr, "robot-console: %s\n%s", qPrintable(error), qPrintable(consoleUsage()));
        return 2;
    }
    if (request.help) {
        std::fputs(qPrintable(consoleUsage()), stdout);
        return 0;
    }

    ConsoleRunner runner(request);
    QObject::connect(&runner, &ConsoleRunner::finished, &app, &QCoreApplication::exit);
    runner.start();
    return app.exec();
}
