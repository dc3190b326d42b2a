#pragma once

// The robot USB devices of tests/fixtures/usb/ in an umockdev testbed: added, announced and
// removed the way a cable is plugged and pulled.

#include <umockdev.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace usbfixture {

// The device files: a 2M robot, the two ids of a 5M robot, and a device of the robot's maker
// that is no robot.
inline const QString k2M = QStringLiteral("tarvo2-18d1-4e26.umockdev");
inline const QString k5M11 = QStringLiteral("tarvo2-2207-0011.umockdev");
inline const QString k5M10 = QStringLiteral("tarvo2-2207-0010.umockdev");
inline const QString kUnknown = QStringLiteral("unknown-2207-0012.umockdev");

// libusb sees a testbed only through umockdev's preload library.
inline bool preloaded()
{
    const char *preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

// Starts this test program again with the preload library first (ASan would refuse to run after
// it). Returns only when that failed.
inline void restartPreloaded(char **argv)
{
    const char *preload = std::getenv("LD_PRELOAD");
    QByteArray newPreload("libumockdev-preload.so.0");
    if (preload && *preload)
        newPreload += QByteArray(":") + preload;
    setenv("LD_PRELOAD", newPreload.constData(), 1);
    const char *asan = std::getenv("ASAN_OPTIONS");
    QByteArray asanOptions("verify_asan_link_order=0");
    if (asan && *asan)
        asanOptions = QByteArray(asan) + ":" + asanOptions;
    setenv("ASAN_OPTIONS", asanOptions.constData(), 1);
    execv("/proc/self/exe", argv);
    perror("execv");
}

inline QString path(const QString &name)
{
    return QDir(qEnvironmentVariable("ZEV_SOURCE_DIR"))
        .filePath(QStringLiteral("tests/fixtures/usb/") + name);
}

// The sysfs path of the device described by a fixture file (its "P:" line).
inline QByteArray sysPath(const QString &name)
{
    QFile file(path(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith("P: "))
            return "/sys" + line.mid(3);
    }
    return {};
}

inline bool add(UMockdevTestbed *testbed, const QString &name)
{
    GError *error = nullptr;
    const QByteArray file = QFile::encodeName(path(name));
    const bool added = umockdev_testbed_add_from_file(testbed, file.constData(), &error);
    if (error) {
        qWarning("umockdev: %s", error->message);
        g_error_free(error);
    }
    return added;
}

inline bool plug(UMockdevTestbed *testbed, const QString &name)
{
    if (!add(testbed, name))
        return false;
    umockdev_testbed_uevent(testbed, sysPath(name).constData(), "add");
    return true;
}

inline bool unplug(UMockdevTestbed *testbed, const QString &name)
{
    const QByteArray device = sysPath(name);
    if (device.isEmpty())
        return false;
    umockdev_testbed_uevent(testbed, device.constData(), "remove");
    umockdev_testbed_remove_device(testbed, device.constData());
    return true;
}

} // namespace usbfixture
