#include "adbworker.h"

#include "adbparsers.h"

#include <logger.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <algorithm>

AdbWorker::AdbWorker(QObject *parent)
    : QObject(parent)
{
}

void AdbWorker::setSdk(const QString &value)
{
    sdk = value;
}

void AdbWorker::setRunning(bool value)
{
    QMutexLocker locker(&mutex);
    running = value;
}

bool AdbWorker::isRunning()
{
    QMutexLocker locker(&mutex);
    return running;
}

void AdbWorker::abort()
{
    aborted = true;
}

QString AdbWorker::removeCrLf(const QString &text)
{
    return adbparse::removeCrLf(text);
}

void AdbWorker::prepareCommands()
{
}

QString AdbWorker::adbProgramPath() const
{
    QString path = sdk;
    path.remove(QLatin1Char('"'));
    return path;
}

QString AdbWorker::runCommand(const QString &commandLine, int timeoutMs, Channels channels,
    const std::function<void()> &onStarted)
{
    if (aborted)
        return QString();
    Logger::instance()->debug(QStringLiteral("adb command: ") + commandLine);

    QStringList arguments = QProcess::splitCommand(commandLine);
    if (arguments.isEmpty())
        return QString();
    const QString program = arguments.takeFirst();

    QProcess process;
    if (channels == Channels::Merged)
        process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadWrite);
    // Nothing is ever typed into adb; an open stdin could keep "adb shell" waiting.
    process.closeWriteChannel();
    if (onStarted)
        onStarted();

    // Waited in slices so that abort() can end a command that has no time limit.
    QElapsedTimer elapsed;
    elapsed.start();
    constexpr int slice = 50;
    while (process.state() != QProcess::NotRunning) {
        if (aborted) {
            process.kill();
            process.waitForFinished(1000);
            break;
        }
        int wait = slice;
        if (timeoutMs >= 0) {
            const qint64 left = timeoutMs - elapsed.elapsed();
            if (left <= 0)
                break;
            wait = static_cast<int>(std::min<qint64>(slice, left));
        }
        process.waitForFinished(wait);
    }

    const QByteArray output = process.readAll();
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(1000)) {
            process.kill();
            process.waitForFinished(1000);
        }
    }
    return QString::fromUtf8(output);
}

void AdbWorker::pause(int ms)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!aborted) {
        const qint64 left = ms - elapsed.elapsed();
        if (left <= 0)
            break;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 20)));
    }
}
