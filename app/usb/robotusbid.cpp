#include "robotusbid.h"

#include <QRegularExpression>

#include <cstdio>

namespace {

// Length of the "\\?\" device path prefix.
constexpr int kDevicePathPrefixLength = 4;

} // namespace

enumRobotVersion robotTypeForIds(int vendorId, int productId)
{
    for (const zev::RobotUsbDevice &device : zev::kRobotUsbDevices) {
        if (device.vendorId == vendorId && device.productId == productId)
            return device.type;
    }
    return RobotVersionUnknown;
}

bool parseVidPid(const QString &name, int &vendorId, int &productId)
{
    static const QRegularExpression usbPrefix(
        QStringLiteral("USB#"), QRegularExpression::CaseInsensitiveOption);
    QString rest = name;
    rest.remove(usbPrefix);
    // Upper case so that "vid_18d1&pid_4e26" reads like "VID_18D1&PID_4E26".
    const QByteArray text = rest.toUpper().toLocal8Bit();
    unsigned int vid = 0;
    unsigned int pid = 0;
    std::sscanf(text.constData(), "VID_%04X&PID_%04X", &vid, &pid);
    vendorId = static_cast<int>(vid);
    productId = static_cast<int>(pid);
    return vendorId != 0 && productId != 0;
}

bool matchDeviceInterface(const QString &dbccName, enumRobotVersion &robotType)
{
    int vendorId = 0;
    int productId = 0;
    if (!parseVidPid(dbccName.mid(kDevicePathPrefixLength), vendorId, productId))
        return false;
    const enumRobotVersion type = robotTypeForIds(vendorId, productId);
    if (type == RobotVersionUnknown)
        return false;
    robotType = type;
    return true;
}
