#pragma once

#include "app.h"

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>

#include <memory>

// The robot's base information. Assignment copies the eleven information fields and keeps the
// target's list and map; copy construction copies everything.
struct RobotTarvo2
{
    QString ipAddress;
    QString serialNumber;
    qint32 kernelVersion = 0;
    qint64 number = 0;
    QString buildVersion;
    QString region;
    bool acPowered = true;
    qint32 batteryLevel = 100;
    qint32 batteryScale = 100;
    double batteryRatio = 1.0;
    qint64 availableStorage = 0;
    QList<AppPtr> apps;
    QMap<QString, QString> properties;

    RobotTarvo2() = default;
    RobotTarvo2(const RobotTarvo2 &) = default;
    RobotTarvo2 &operator=(const RobotTarvo2 &other)
    {
        ipAddress = other.ipAddress;
        serialNumber = other.serialNumber;
        kernelVersion = other.kernelVersion;
        number = other.number;
        buildVersion = other.buildVersion;
        region = other.region;
        acPowered = other.acPowered;
        batteryLevel = other.batteryLevel;
        batteryScale = other.batteryScale;
        batteryRatio = other.batteryRatio;
        availableStorage = other.availableStorage;
        return *this;
    }
};

using RobotTarvo2Ptr = std::shared_ptr<RobotTarvo2>;

Q_DECLARE_METATYPE(RobotTarvo2Ptr)
