#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

// Runs one program to its end (or its time limit) and returns what it wrote. On POSIX the child
// is started with posix_spawn: QProcess forks the whole calling process, and copying the page
// tables of a large GUI program costs more than the adb command itself.
class ProcessLauncher
{
public:
    enum class Channels { StandardOutput, Merged };
    static constexpr int NoTimeLimit = -1;

    ProcessLauncher(const QString &program, const QStringList &arguments);

    void setChannels(Channels value) { channels = value; }
    // At the limit the program gets SIGTERM, then SIGKILL a second later; what it wrote until the
    // limit is returned.
    void setTimeLimit(int ms) { timeLimitMs = ms; }
    // Watched while waiting: once set, the program is killed at once.
    void setAbortFlag(const std::atomic<bool> *flag) { abortFlag = flag; }
    // Called once the start was attempted, whether it succeeded or not.
    void setOnStarted(std::function<void()> callback) { onStarted = std::move(callback); }

    // Standard input is at end of file. Standard error goes with standard output when merged and
    // is dropped otherwise. A program that cannot be started gives empty output.
    QByteArray run();

    bool started() const { return wasStarted; }

private:
    bool abortRequested() const { return abortFlag && abortFlag->load(); }

    QString program;
    QStringList arguments;
    Channels channels = Channels::StandardOutput;
    int timeLimitMs = NoTimeLimit;
    const std::atomic<bool> *abortFlag = nullptr;
    std::function<void()> onStarted;
    bool wasStarted = false;
};
