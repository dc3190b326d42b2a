#pragma once

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <zeverror.h>

#include <atomic>
#include <functional>

// Base of every worker: the adb program text, the command queue, the running flag and the one
// way to run a command line.
class AdbWorker : public QObject
{
    Q_OBJECT
public:
    enum class Channels { StandardOutput, Merged };
    static constexpr int NoTimeLimit = -1;

    explicit AdbWorker(QObject *parent = nullptr);

    void setSdk(const QString &sdk);
    void setRunning(bool value);
    bool isRunning();
    // From any thread: no further command starts, the current one is killed and pauses end.
    // Used when the controller goes away so that its threads can finish.
    void abort();

    static QString removeCrLf(const QString &text);
    virtual void prepareCommands();

protected:
    // Runs one command line (split like QProcess does) and returns its output as UTF-8 text.
    // A time-out or a failed start is not an error: the output read so far is returned.
    QString runCommand(const QString &commandLine, int timeoutMs, Channels channels,
        const std::function<void()> &onStarted = {});
    void pause(int ms);
    // The adb program's path without the double quotes that may wrap it.
    QString adbProgramPath() const;
    // False once the worker was stopped (reset(false), stopAll()); `error` then holds
    // kUsbDisconnected, the code a step stopped that way ends with.
    bool stillRunning(utils::ZEVError &error);

    QString sdk;
    QList<QString> commands;
    QMutex mutex;
    bool running = false;

private:
    std::atomic<bool> aborted { false };
};
