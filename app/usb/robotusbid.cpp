#include "robotusbid.h"

#include <QRegularExpression>

#include <cstdio>

namespace {

struct RobotUsbId
{
    int vendorId;
    int productId;
    int robotType;
};

// The first match wins.
constexpr RobotUsbId kAcceptedDevices[] = {
    { 0x18D1, 0x4E26, 0 },
    { 0x2207, 0x0011, 1 },
    { 0x2207, 0x0010, 1 },
};

// Length of the "\\?\" device path prefix.
constexpr int kDevicePathPrefixLength = 4;

} // namespace

int robotTypeForIds(int vendorId, int productId)
{
    for (const RobotUsbId &id : kAcceptedDevices) {
        if (id.vendorId == vendorId && id.productId == productId)
            return id.robotType;
    }
    return kUnknownRobotType;
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

bool matchDeviceInterface(const QString &dbccName, int &robotType)
{
    int vendorId = 0;
    int productId = 0;
    if (!parseVidPid(dbccName.mid(kDevicePathPrefixLength), vendorId, productId))
        return false;
    const int type = robotTypeForIds(vendorId, productId);
    if (type == kUnknownRobotType)
        return false;
    robotType = type;
    return true;
}
