#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QTextStream>

// Appends "[TarvoRobot::<Level> <time>] <message>" lines to the day's file in "Log" beside the
// program. One instance per deliverable; each line is flushed at once.
class Logger
{
public:
    static Logger *instance();

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
    bool m_opened = false;
};
