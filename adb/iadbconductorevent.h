#pragma once

#include "adbconductor_export.h"
#include "app.h"
#include "robottarvo2.h"

#include <zeverror.h>

#include <QString>

// Receiver of the adb library's answers, always called on the thread that owns AdbConductor.
// A base-information request is answered by exactly one onGetRobotBaseInfo. A push is answered by
// zero or more onPushOneFileFinished, then one onPushFilesFinished. An install run is answered by
// onInstallingApp before each attempt, onInstallOneFinished per judged application, possibly
// onUninstallStart, and one onInstallAllFinished, always last.
class ADBCONDUCTOR_EXPORT IAdbConductorEvent
{
public:
    IAdbConductorEvent();
    IAdbConductorEvent(const IAdbConductorEvent &);
    IAdbConductorEvent &operator=(const IAdbConductorEvent &);

    virtual void onGetRobotBaseInfo(RobotTarvo2Ptr robot, utils::ZEVErrorPtr error) = 0;
    virtual void onInstallingApp(AppPtr app, utils::ZEVErrorPtr error) = 0;
    virtual void onInstallAllFinished(utils::ZEVErrorPtr error) = 0;
    virtual void onInstallOneFinished(AppPtr app, utils::ZEVErrorPtr error) = 0;
    virtual void onPushFilesFinished(utils::ZEVErrorPtr error) = 0;
    virtual void onPushOneFileFinished(
        QString fileName, utils::ZEVErrorPtr error, int nDone, int nTotal)
        = 0;
    virtual void onUninstallStart() = 0;

protected:
    // Not deleted through this interface: the implementer owns itself.
    ~IAdbConductorEvent() = default;
};
