#include "logger.h"

#include "fileutils.h"

#include <platform.h>

#include <QDate>
#include <QDateTime>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QtGlobal>

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

// Set once the handler is in; read by whichever thread logs.
std::atomic<QtMessageHandler> previousHandler { nullptr };

void diagnosticHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && std::strncmp(context.category, "zev.", 4) == 0) {
        Logger::instance()->debug(message);
        return;
    }
    if (const QtMessageHandler previous = previousHandler.load())
        previous(type, context, message);
}

} // namespace

Logger *Logger::instance()
{
    // Made on first use (C++ guarantees one construction even if threads race) and never
    // destroyed: worker threads may still log while the process exits, and every line is
    // already flushed, so the system closing the file loses nothing.
    static Logger *const logger = new Logger;
    return logger;
}

void Logger::routeDiagnostics(bool enableAll)
{
    static std::once_flag once;
    std::call_once(once, [enableAll] {
        if (enableAll)
            QLoggingCategory::setFilterRules(QStringLiteral("zev.*.debug=true"));
        previousHandler = qInstallMessageHandler(diagnosticHandler);
    });
}

Logger::Logger()
{
    const QString fileName
        = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
    // The program and each library write this file through loggers of their own.
    const QString path = FileUtils::joinPath(FileUtils::logDirPath(), fileName);
#ifdef Q_OS_WIN
    const std::string systemPath = path.toUtf8().toStdString();
#else
    const std::string systemPath = QFile::encodeName(path).toStdString();
#endif
    const int fd = platform::openForAppend(systemPath);
    m_appendLock = std::make_unique<platform::AppendLock>(systemPath);
    if (fd < 0
        || !m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text,
            QFileDevice::AutoCloseHandle)) {
        qWarning("Failed to open log file\n");
        return;
    }
    m_stream.setDevice(&m_file);
    m_opened = true;
    m_timeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    info(QString(68, QLatin1Char('*')));
    info(QStringLiteral("create log"));
}

Logger::~Logger()
{
    QMutexLocker locker(&m_lock);
    if (m_opened) {
        m_stream.flush();
        m_file.close();
        m_opened = false;
    }
}

void Logger::debug(const QString &message)
{
    write("Debug", message);
}

void Logger::info(const QString &message)
{
    write("Info", message);
}

void Logger::warning(const QString &message)
{
    write("Warning", message);
}

void Logger::error(const QString &message)
{
    write("Error", message);
}

void Logger::write(const char *level, const QString &message)
{
    if (!m_opened)
        return;
    QMutexLocker locker(&m_lock);
    if (message.isEmpty() || !m_file.isOpen() || !m_file.isWritable())
        return;
    // One substitution pass, so a '%' in the message is never taken as a placeholder.
    const QString line = QStringLiteral("[TarvoRobot::%1 %2] %3\n")
                             .arg(QLatin1String(level),
                                 QDateTime::currentDateTime().toString(m_timeFormat), message);
    m_appendLock->lock();
    m_stream << line;
    m_stream.flush();
    m_appendLock->unlock();
}
