#pragma once

#include "upgradeview.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class Tarvo2_UpgradeTool;

// The program's exit statuses on the command line.
enum class ExitStatus {
    Success = 0,
    UpgradeFailed = 1,
    BadArguments = 2,
    AlreadyRunning = 3,
    Interrupted = 130,
};

struct HeadlessOptions
{
    bool json = false;
    bool loop = false;
    // How long to wait for a robot to be plugged in; 0: not at all, -1: without limit.
    int waitSeconds = 0;
};

// Runs upgrades with the dialog as controller, never shown: presses its start button through
// the same slot and shows what the dialog would show as output lines, plain or JSON. Ends the
// event loop with an ExitStatus once the mode is over.
class HeadlessRunner : public QObject, private UpgradeView
{
    Q_OBJECT
public:
    using LineWriter = std::function<void(const QString &line)>;

    HeadlessRunner(Tarvo2_UpgradeTool *dialog, const HeadlessOptions &options, LineWriter write,
                   QObject *parent = nullptr);
    ~HeadlessRunner() override;

    void start();
    // Ctrl+C: a run in progress is stopped the way an unplug stops it and reported; waiting
    // ends at once. A second interrupt does not wait for the run's end.
    void interrupt();

private:
    enum class Phase { WaitingForRobot, Running, Settling, WaitingForUnplug, Done };

    void showPage(UpgradePage page) override;
    void showStep(StepState step, const QString &text) override;
    void showInstallStep(StepState step, const QString &text, const QString &detail) override;
    void showDownloadProgress(qint64 totalBytes, qint64 doneBytes) override;
    void resetDownloadProgress() override;
    void showPushed(const QString &name, int done, int total) override;
    void showInstallProgress(int value, int maximum) override;
    void resetInstallProgress() override;
    void setStartEnabled(bool enabled) override;
    void showWarning(const QString &title, const QString &text) override;
    void showFinish(int code, const QString &title, const QString &message,
                    const QString &serialNumber) override;

    void emitEvent(const QString &event, QJsonObject fields, const QString &plainLine);
    void waitForRobot();
    void onRescan();
    void onRobotArrived();
    void onRobotRemoved();
    void onWaitOver();
    void beginRun();
    void stopRun();
    void afterRun();
    void endMode(ExitStatus status);

    Tarvo2_UpgradeTool *m_dialog;
    HeadlessOptions m_options;
    LineWriter m_write;
    Phase m_phase = Phase::Done;
    UpgradePage m_page = UpgradePage::Start;
    QTimer m_rescan;
    QTimer m_waitLimit;
    QElapsedTimer m_runClock;
    QElapsedTimer m_progressClock;
    bool m_interrupted = false;
    int m_robots = 0;
    bool m_anyFailed = false;
};
