#pragma once

#include "adbworker.h"
#include "robottarvo2.h"

#include <zeverror.h>

// Reads the robot's base information; also reboots the robot and stops the adb server.
class AdbCommonWorker : public AdbWorker
{
    Q_OBJECT
public:
    explicit AdbCommonWorker(QObject *parent = nullptr);

    RobotTarvo2 getRobotInfo();
    void prepareCommands() override;

signals:
    void sigGetRobotInfo(utils::ZEVErrorPtr);

public slots:
    void slotGetRobotBaseInfo(QString qsBuildName, QString qsKernalname);
    void slotGetIpAddress();
    void slotGetBatteryInfo();
    void slotGetMemoryAvailableSize();
    void slotReboot();
    void slotKillServer();

private:
    QMutex robotMutex; // the controller reads the record from its own thread
    RobotTarvo2 robot;
};
