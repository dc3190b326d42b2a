// Runs the helpers that work beside the program, so that tests can run them from a folder of
// their own. Usage: utilsprobe lines <level> <message> [<level> <message>...]
//                   utilsprobe threads <threads> <lines per thread>
//                   utilsprobe language       (prints systemLanguage())
//                   utilsprobe diagnostics debug|warning
//                                             (routes the diagnostic categories as the program
//                                              does, then writes to one of them and to others)
#include <appconfig.h>
#include <diagnostics.h>
#include <logger.h>

#include <cstdio>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStringList>
#include <QThread>

#include <memory>
#include <vector>

// As a library declares its diagnostic category, and a category of someone else's.
ZEV_DIAGNOSTIC_CATEGORY(lcProbeAdb, "zev.adb")
Q_LOGGING_CATEGORY(lcProbeOther, "qt.probe")

QString probePayload(int thread, int line)
{
    return QStringLiteral("t=%1 n=%2 ").arg(thread).arg(line)
        + QString(40 + (thread * 7 + line) % 160, QLatin1Char('a' + thread % 26));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2)
        return 2;

    if (args.at(1) == QLatin1String("lines")) {
        for (int i = 2; i + 1 < args.size(); i += 2) {
            const QString level = args.at(i);
            const QString message = args.at(i + 1);
            Logger *logger = Logger::instance();
            if (level == QLatin1String("Debug"))
                logger->debug(message);
            else if (level == QLatin1String("Info"))
                logger->info(message);
            else if (level == QLatin1String("Warning"))
                logger->warning(message);
            else if (level == QLatin1String("Error"))
                logger->error(message);
            else
                return 2;
        }
        return 0;
    }

    if (args.at(1) == QLatin1String("language")) {
        std::fputs(systemLanguage().toUtf8().constData(), stdout);
        return 0;
    }

    if (args.at(1) == QLatin1String("diagnostics") && args.size() == 3) {
        Logger::instance()->info(QStringLiteral("UpgradeTool start."));
        Logger::routeDiagnostics(readDebugLogSwitch());
        if (args.at(2) == QLatin1String("warning"))
            qCWarning(lcProbeAdb, "adb command: %s", "\"fastbootfile/adb\" shell df");
        else
            qCDebug(lcProbeAdb, "adb command: %s", "\"fastbootfile/adb\" shell df");
        qCDebug(lcProbeOther, "not a line of ours");
        qDebug("nor this");
        return 0;
    }

    if (args.at(1) == QLatin1String("threads") && args.size() == 4) {
        const int threadCount = args.at(2).toInt();
        const int lineCount = args.at(3).toInt();
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back(QThread::create([t, lineCount] {
                for (int n = 0; n < lineCount; ++n)
                    Logger::instance()->info(probePayload(t, n));
            }));
        }
        for (auto &thread : threads)
            thread->start();
        for (auto &thread : threads)
            thread->wait();
        return 0;
    }
    return 2;
}
