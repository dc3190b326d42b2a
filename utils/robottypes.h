#pragma once

#include "constants.h"

#include <QString>

// Robot hardware type recognised from the USB IDs.
enum enumRobotVersion {
    RobotVersion2M = 0,
    RobotVersion5M = 1,
    RobotVersionUnknown = 255,
};

namespace zev {

struct RobotUsbDevice
{
    int vendorId;
    int productId;
    enumRobotVersion type;
};

// The robot's USB devices: the scan takes the first match, hotplug registers them in this order.
inline constexpr RobotUsbDevice kRobotUsbDevices[] = {
    { 0x18D1, 0x4E26, RobotVersion2M },
    { 0x2207, 0x0011, RobotVersion5M },
    { 0x2207, 0x0010, RobotVersion5M },
};

// The type's work folder below "download"; none for an unknown type.
inline QString workFolderName(int type)
{
    switch (type) {
    case RobotVersion2M:
        return kFolder2M;
    case RobotVersion5M:
        return kFolder5M;
    default:
        return QString();
    }
}

} // namespace zev
