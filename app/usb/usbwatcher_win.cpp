// WM_DEVICECHANGE handling for the dialog's window (Windows only).
#include "usbwatcher.h"

#include "robotusbid.h"

#include <QMutexLocker>

#ifdef Q_OS_WIN

#include <windows.h>

#include <dbt.h>

namespace {

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
const GUID kUsbDeviceInterface
    = { 0xA5DCBF10, 0x6530, 0x11D2, { 0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED } };

} // namespace

void UsbWatcher::registerDeviceNotification(void *windowHandle)
{
    if (m_deviceNotification || !windowHandle)
        return;
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    ZeroMemory(&filter, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDeviceInterface;
    m_deviceNotification = RegisterDeviceNotificationW(
        static_cast<HWND>(windowHandle), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

bool UsbWatcher::matchDeviceInterface(const void *broadcast)
{
    const auto *deviceInterface = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(broadcast);
    const QString name = QString::fromWCharArray(deviceInterface->dbcc_name);
    enumRobotVersion type = RobotVersionUnknown;
    QMutexLocker locker(m_stateMutex);
    if (!::matchDeviceInterface(name, type))
        return false;
    applyRobotType(type);
    return true;
}

void UsbWatcher::handleNativeMessage(void *message)
{
    const MSG *msg = static_cast<const MSG *>(message);
    if (!msg || msg->message != WM_DEVICECHANGE || !msg->lParam)
        return;
    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(msg->lParam);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return;
    if (msg->wParam == DBT_DEVICEARRIVAL) {
        if (matchDeviceInterface(header))
            onDeviceArrived();
    } else if (msg->wParam == DBT_DEVICEREMOVECOMPLETE) {
        if (matchDeviceInterface(header))
            onDeviceRemoved();
    }
}

void UsbWatcher::unregisterDeviceNotification()
{
    if (m_deviceNotification) {
        UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(m_deviceNotification));
        m_deviceNotification = nullptr;
    }
}

#endif
