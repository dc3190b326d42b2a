#include "usbwatcher.h"

#include "../applog.h"
#include "robotusbid.h"
#include "usbeventthread.h"

#include <fileutils.h>

#include <QMutexLocker>

#include <libusb.h>

// Hotplug callbacks run on the event thread: they write only the flag, under the state mutex,
// and queue everything else to the watcher's own thread.
struct UsbHotplugCallbacks
{
    static int LIBUSB_CALL arrived(
        libusb_context *, libusb_device *, libusb_hotplug_event, void *userData)
    {
        static_cast<UsbWatcher *>(userData)->onHotplugArrived();
        return 0;
    }

    static int LIBUSB_CALL left(
        libusb_context *, libusb_device *, libusb_hotplug_event, void *userData)
    {
        static_cast<UsbWatcher *>(userData)->onHotplugLeft();
        return 0;
    }
};

UsbWatcher::UsbWatcher(QMutex *stateMutex, QObject *parent)
    : QObject(parent)
    , m_stateMutex(stateMutex)
    , m_workDir(FileUtils::downloadDirPath(RobotVersionUnknown))
{
    if (!m_stateMutex) {
        m_ownMutex = std::make_unique<QMutex>(QMutex::Recursive);
        m_stateMutex = m_ownMutex.get();
    }
}

UsbWatcher::~UsbWatcher()
{
#ifdef Q_OS_WIN
    unregisterDeviceNotification();
#endif
    stopHotplug();
    if (m_libusbReady)
        libusb_exit(nullptr);
}

void UsbWatcher::setIdleQuery(std::function<bool()> isIdleOrChecking)
{
    m_isIdleOrChecking = std::move(isIdleOrChecking);
}

void UsbWatcher::setArrivalReset(std::function<void()> resetAdb)
{
    m_resetAdb = std::move(resetAdb);
}

bool UsbWatcher::setupUsbWatch()
{
    if (m_libusbReady)
        return true;
    const int rc = libusb_init(nullptr);
    if (rc != LIBUSB_SUCCESS) {
        qCDebug(lcApp, "libusb init failed: %s", libusb_error_name(rc));
        return false;
    }
    m_libusbReady = true;
    checkUsbDevice();

    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        return true;
    for (const zev::RobotUsbDevice &row : zev::kRobotUsbDevices) {
        const struct
        {
            libusb_hotplug_event event;
            libusb_hotplug_callback_fn callback;
        } registrations[] = {
            { LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, &UsbHotplugCallbacks::arrived },
            { LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, &UsbHotplugCallbacks::left },
        };
        for (const auto &registration : registrations) {
            libusb_hotplug_callback_handle handle = 0;
            // A failed registration only loses that event; the scans still work.
            if (libusb_hotplug_register_callback(nullptr, registration.event,
                    static_cast<libusb_hotplug_flag>(0), row.vendorId, row.productId,
                    LIBUSB_HOTPLUG_MATCH_ANY, registration.callback, this, &handle)
                == LIBUSB_SUCCESS)
                m_hotplugHandles.push_back(handle);
        }
    }
    if (!m_hotplugHandles.empty()) {
        m_eventThread = new UsbEventThread(nullptr, nullptr);
        m_eventThread->start();
    }
    return true;
}

void UsbWatcher::stopHotplug()
{
    for (int handle : m_hotplugHandles)
        libusb_hotplug_deregister_callback(nullptr, handle);
    m_hotplugHandles.clear();
    if (m_eventThread) {
        m_eventThread->stop();
        delete m_eventThread;
        m_eventThread = nullptr;
    }
}

void UsbWatcher::checkUsbDevice()
{
    if (!m_libusbReady)
        return;
    libusb_device **devices = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &devices);

    QMutexLocker locker(m_stateMutex);
    m_usbConnected = false;
    for (ssize_t i = 0; i < count && devices[i]; ++i) {
        libusb_device_descriptor descriptor {};
        if (libusb_get_device_descriptor(devices[i], &descriptor) != LIBUSB_SUCCESS)
            continue;
        const enumRobotVersion type = robotTypeForIds(descriptor.idVendor, descriptor.idProduct);
        if (type != RobotVersionUnknown) {
            m_usbConnected = true;
            applyRobotType(type);
            break;
        }
    }
    locker.unlock();
    if (count >= 0)
        libusb_free_device_list(devices, 1);
}

void UsbWatcher::applyRobotType(enumRobotVersion robotType)
{
    QMutexLocker locker(m_stateMutex);
    m_robotType = robotType;
    m_workDir = FileUtils::downloadDirPath(robotType);
}

bool UsbWatcher::isUsbConnected() const
{
    QMutexLocker locker(m_stateMutex);
    return m_usbConnected;
}

enumRobotVersion UsbWatcher::robotType() const
{
    QMutexLocker locker(m_stateMutex);
    return m_robotType;
}

QString UsbWatcher::workDir() const
{
    QMutexLocker locker(m_stateMutex);
    return m_workDir;
}

void UsbWatcher::setWorkDir(const QString &workDir)
{
    QMutexLocker locker(m_stateMutex);
    m_workDir = workDir;
}

bool UsbWatcher::hotplugRunning() const
{
    return m_eventThread != nullptr;
}

void UsbWatcher::onHotplugArrived()
{
    {
        QMutexLocker locker(m_stateMutex);
        m_usbConnected = true;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_resetAdb && m_isIdleOrChecking && m_isIdleOrChecking())
                m_resetAdb();
            emit usbArrived();
        },
        Qt::QueuedConnection);
}

void UsbWatcher::onHotplugLeft()
{
    {
        QMutexLocker locker(m_stateMutex);
        m_usbConnected = false;
    }
    QMetaObject::invokeMethod(
        this, [this] { emit usbRemoved(); }, Qt::QueuedConnection);
}

// The window-message path, on the GUI thread: the reaction first, then the flag.
void UsbWatcher::onDeviceArrived()
{
    if (m_resetAdb && m_isIdleOrChecking && m_isIdleOrChecking())
        m_resetAdb();
    {
        QMutexLocker locker(m_stateMutex);
        m_usbConnected = true;
    }
    emit usbArrived();
}

void UsbWatcher::onDeviceRemoved()
{
    emit usbRemoved();
    QMutexLocker locker(m_stateMutex);
    m_usbConnected = false;
}
