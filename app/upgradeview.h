#pragma once

#include "stepstate.h"

#include <QString>
#include <QtGlobal>

// The pages of the dialog's stacked widget, in the order the form adds them.
enum class UpgradePage {
    Start = 0,
    Download = 1,
    Install = 2,
};

const char *upgradePageName(UpgradePage page);

// Everything an upgrade run shows on its way: the dialog shows it with its widgets and message
// boxes, the headless runner as output lines. Called on the GUI thread. Every run started with
// the start button ends in exactly one showFinish(); nothing is asked back, so no call waits for
// an answer beyond what the dialog's own boxes do.
class UpgradeView
{
public:
    virtual void showPage(UpgradePage page) = 0;
    // A step of the check and download page begins: its label's text.
    virtual void showStep(StepState step, const QString &text) = 0;
    // A step of the install page begins: its two labels; a null `detail` leaves the second one.
    virtual void showInstallStep(StepState step, const QString &text, const QString &detail) = 0;
    // totalBytes is 0 while unknown.
    virtual void showDownloadProgress(qint64 totalBytes, qint64 doneBytes) = 0;
    virtual void resetDownloadProgress() = 0;
    // One file of the push is on the robot.
    virtual void showPushed(const QString &name, int done, int total) = 0;
    // The install page's simulated progress; adb reports none of its own.
    virtual void showInstallProgress(int value, int maximum) = 0;
    virtual void resetInstallProgress() = 0;
    virtual void setStartEnabled(bool enabled) = 0;
    virtual void showWarning(const QString &title, const QString &text) = 0;
    // `message` is the text the finish box shows, in the configured language.
    virtual void showFinish(int code, const QString &title, const QString &message,
                            const QString &serialNumber)
        = 0;

protected:
    ~UpgradeView() = default;
};
