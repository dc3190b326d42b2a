#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QTextStream>

#include <memory>

namespace platform {
class AppendLock;
}

// Appends "[TarvoRobot::<Level> <time>] <message>" lines to the day's file in "Log" in the
// writable home (beside the program unless that is read-only). One instance per deliverable; each
// line is flushed at once.
class Logger
{
public:
    static Logger *instance();

    // Diagnostic detail goes through the categories "zev.adb", "zev.download", "zev.session" and
    // "zev.app", off unless enabled. Qt's message handler is one per process, so once the program
    // installs this, their messages reach the day's file at level Debug whichever library wrote
    // them; every other message goes where it went before. `enableAll` turns them all on, short
    // of QT_LOGGING_RULES, which keeps the last word. Later calls change nothing.
    static void routeDiagnostics(bool enableAll);

    void debug(const QString &message);
    void info(const QString &message);
    void warning(const QString &message);
    void error(const QString &message);

    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

private:
    Logger();
    ~Logger();
    void write(const char *level, const QString &message);

    QString m_timeFormat;
    QFile m_file;
    QTextStream m_stream;
    QMutex m_lock;
    std::unique_ptr<platform::AppendLock> m_appendLock;
    bool m_opened = false;
};
