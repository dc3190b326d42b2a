#include "adbworker.h"

#include "adblog.h"
#include "adbparsers.h"
#include "processlauncher.h"

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

bool AdbWorker::stillRunning(utils::ZEVError &error)
{
    if (isRunning())
        return true;
    error.setErrorCode(utils::kUsbDisconnected);
    return false;
}

QString AdbWorker::runCommand(const QString &commandLine, int timeoutMs, Channels channels,
    const std::function<void()> &onStarted)
{
    if (aborted)
        return QString();
    qCDebug(lcAdb, "adb command: %s", qUtf8Printable(commandLine));

    QStringList arguments = QProcess::splitCommand(commandLine);
    if (arguments.isEmpty())
        return QString();
    const QString program = arguments.takeFirst();

    ProcessLauncher launcher(program, arguments);
    launcher.setChannels(channels == Channels::Merged ? ProcessLauncher::Channels::Merged
                                                      : ProcessLauncher::Channels::StandardOutput);
    launcher.setTimeLimit(timeoutMs < 0 ? ProcessLauncher::NoTimeLimit : timeoutMs);
    launcher.setAbortFlag(&aborted);
    launcher.setOnStarted(onStarted);
    return QString::fromUtf8(launcher.run());
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
