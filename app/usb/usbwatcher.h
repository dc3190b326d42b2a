#pragma once

#include <robottypes.h>

#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class UsbEventThread;

// Keeps track of the robot's USB device: whether it is attached (`usbConnected`), its hardware
// type (`robotType`, RobotVersionUnknown until one is recognised) and the work folder of that type
// (`workDir`).
//
// Sources: a libusb scan (checkUsbDevice), libusb hotplug events handled on a UsbEventThread,
// and on Windows the WM_DEVICECHANGE messages of the dialog's window. All three state values
// are written under the state mutex the owner hands in (recursive, shared with the owner).
//
// Notifications reach the owner on the thread the watcher lives in (the GUI thread):
// usbArrived() after the flag was set, usbRemoved() for the workflow's reaction to a removal.
// On an arrival while the owner is idle or at the checks step (`isIdleOrChecking`), the
// `resetAdb` callback is called first.
class UsbWatcher : public QObject
{
    Q_OBJECT
public:
    // `stateMutex` must be recursive and outlive the watcher; null makes a mutex of our own.
    explicit UsbWatcher(QMutex *stateMutex = nullptr, QObject *parent = nullptr);
    ~UsbWatcher() override;

    void setIdleQuery(std::function<bool()> isIdleOrChecking);
    void setArrivalReset(std::function<void()> resetAdb);

    // libusb set-up, first scan, hotplug registration and the event thread. False when libusb
    // cannot be initialised; nothing of libusb is used then.
    bool setupUsbWatch();
    // One libusb scan: sets the flag, and the type and work folder of the first accepted device.
    void checkUsbDevice();

    bool isUsbConnected() const;
    enumRobotVersion robotType() const;
    QString workDir() const;
    // The work folder of the unknown type until a robot is recognised.
    void setWorkDir(const QString &workDir);
    bool hotplugRunning() const;

#ifdef Q_OS_WIN
    // Registers the window for USB device-interface notifications (once).
    void registerDeviceNotification(void *windowHandle);
    // Handles WM_DEVICECHANGE out of a native MSG; other messages are left alone.
    void handleNativeMessage(void *message);
    // True when the broadcast names an accepted robot; then the type and folder are set.
    bool matchDeviceInterface(const void *broadcast);
    void unregisterDeviceNotification();
#endif

signals:
    void usbArrived();
    void usbRemoved();

private:
    void applyRobotType(enumRobotVersion robotType);
    void onHotplugArrived();
    void onHotplugLeft();
    void onDeviceArrived();
    void onDeviceRemoved();
    void stopHotplug();

    QMutex *m_stateMutex;
    std::unique_ptr<QMutex> m_ownMutex;
    bool m_usbConnected = false;
    enumRobotVersion m_robotType = RobotVersionUnknown;
    QString m_workDir;

    std::function<bool()> m_isIdleOrChecking;
    std::function<void()> m_resetAdb;

    bool m_libusbReady = false;
    std::vector<int> m_hotplugHandles;
    UsbEventThread *m_eventThread = nullptr;
#ifdef Q_OS_WIN
    void *m_deviceNotification = nullptr;
#endif

    friend struct UsbHotplugCallbacks;
};
