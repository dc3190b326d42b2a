#pragma once

#include <robottypes.h>

#include <QString>

// Recognising the robot's USB device by its vendor and product IDs. Pure functions, no state.

// The type of the first accepted device with these IDs, or RobotVersionUnknown.
enumRobotVersion robotTypeForIds(int vendorId, int productId);

// Reads "VID_xxxx&PID_xxxx" out of a device interface name such as "USB#VID_18D1&PID_4E26#...".
// Ids not found stay 0; true when both are non-zero.
bool parseVidPid(const QString &name, int &vendorId, int &productId);

// `dbccName` is the full name of a device-interface notification, "\\?\" prefix included.
// True when the device is an accepted robot; `robotType` is then set.
bool matchDeviceInterface(const QString &dbccName, enumRobotVersion &robotType);
