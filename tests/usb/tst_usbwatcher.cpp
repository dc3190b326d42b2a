// The watcher on real libusb, with the USB devices simulated by umockdev's testbed.

// GLib first: its headers use "signals" as a plain name, which Qt's headers define away.
#include "../support/usbfixture.h"

#include "robotusbid.h"
#include "usbwatcher.h"

#include <fileutils.h>

#include <QtTest>

#include <libusb.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

using usbfixture::k2M;
using usbfixture::k5M10;
using usbfixture::k5M11;
using usbfixture::kUnknown;

class TestUsbWatcher : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void scan_data();
    void scan();
    void scanAfterRemoval();
    void firstInLibusbListWins();
    void hotplug_data();
    void hotplug();
    void unknownDeviceHotplugChangesNothing();
    void destructionStopsEventThread();

private:
    bool addDevice(const QString &fixture);
    void plug(const QString &fixture);
    void unplug(const QString &fixture);
    int firstAcceptedTypeInLibusbList();

    UMockdevTestbed *m_testbed = nullptr;
};

bool TestUsbWatcher::addDevice(const QString &fixture)
{
    return usbfixture::add(m_testbed, fixture);
}

void TestUsbWatcher::plug(const QString &fixture)
{
    QVERIFY(usbfixture::plug(m_testbed, fixture));
}

void TestUsbWatcher::unplug(const QString &fixture)
{
    QVERIFY(usbfixture::unplug(m_testbed, fixture));
}

int TestUsbWatcher::firstAcceptedTypeInLibusbList()
{
    libusb_context *context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS)
        return -1;
    libusb_device **devices = nullptr;
    const ssize_t count = libusb_get_device_list(context, &devices);
    int type = int(RobotVersionUnknown);
    for (ssize_t i = 0; i < count && type == int(RobotVersionUnknown); ++i) {
        libusb_device_descriptor descriptor {};
        if (libusb_get_device_descriptor(devices[i], &descriptor) == LIBUSB_SUCCESS)
            type = robotTypeForIds(descriptor.idVendor, descriptor.idProduct);
    }
    if (count >= 0)
        libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return type;
}

void TestUsbWatcher::init()
{
    m_testbed = umockdev_testbed_new();
    QVERIFY(m_testbed);
}

void TestUsbWatcher::cleanup()
{
    g_object_unref(m_testbed);
    m_testbed = nullptr;
}

void TestUsbWatcher::scan_data()
{
    QTest::addColumn<QStringList>("fixtures");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<int>("robotType");

    QTest::newRow("2M robot") << QStringList { k2M } << true << 0;
    QTest::newRow("5M robot 0011") << QStringList { k5M11 } << true << 1;
    QTest::newRow("5M robot 0010") << QStringList { k5M10 } << true << 1;
    QTest::newRow("unknown 2207:0012 alone")
        << QStringList { kUnknown } << false << int(RobotVersionUnknown);
    QTest::newRow("nothing attached") << QStringList {} << false << int(RobotVersionUnknown);
    QTest::newRow("unknown beside a 5M robot") << QStringList { kUnknown, k5M10 } << true << 1;
}

void TestUsbWatcher::scan()
{
    QFETCH(QStringList, fixtures);
    QFETCH(bool, connected);
    QFETCH(int, robotType);

    for (const QString &fixture : fixtures)
        QVERIFY(addDevice(fixture));

    QMutex stateMutex(QMutex::Recursive);
    UsbWatcher watcher(&stateMutex);
    QCOMPARE(watcher.workDir(), FileUtils::downloadDirPath(int(RobotVersionUnknown)));
    QVERIFY(watcher.setupUsbWatch());
    QCOMPARE(watcher.isUsbConnected(), connected);
    QCOMPARE(watcher.robotType(), robotType);
    QCOMPARE(watcher.workDir(), FileUtils::downloadDirPath(robotType));
    if (robotType == 0)
        QVERIFY(watcher.workDir().endsWith(QStringLiteral("download/2M/")));
    if (robotType == 1)
        QVERIFY(watcher.workDir().endsWith(QStringLiteral("download/5M/")));
}

// A scan that finds only an unknown device clears the flag and keeps type and folder.
void TestUsbWatcher::scanAfterRemoval()
{
    QVERIFY(addDevice(k5M11));
    QVERIFY(addDevice(kUnknown));
    UsbWatcher watcher;
    QVERIFY(watcher.setupUsbWatch());
    QVERIFY(watcher.isUsbConnected());
    QCOMPARE(watcher.robotType(), 1);

    unplug(k5M11);
    watcher.checkUsbDevice();
    QVERIFY(!watcher.isUsbConnected());
    QCOMPARE(watcher.robotType(), 1);
    QCOMPARE(watcher.workDir(), FileUtils::downloadDirPath(1));
}

void TestUsbWatcher::firstInLibusbListWins()
{
    QVERIFY(addDevice(k2M));
    QVERIFY(addDevice(k5M11));
    const int expected = firstAcceptedTypeInLibusbList();
    QVERIFY(expected == 0 || expected == 1);

    UsbWatcher watcher;
    QVERIFY(watcher.setupUsbWatch());
    QVERIFY(watcher.isUsbConnected());
    QCOMPARE(watcher.robotType(), expected);
    QCOMPARE(watcher.workDir(), FileUtils::downloadDirPath(expected));
}

void TestUsbWatcher::hotplug_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<int>("stepState");
    QTest::addColumn<bool>("resetsAdb");

    QTest::newRow("2M, idle") << k2M << -1 << true;
    QTest::newRow("2M, reading base information") << k2M << 0 << false;
    QTest::newRow("2M, checks and download") << k2M << 1 << true;
    QTest::newRow("5M 0011, pushing files") << k5M11 << 4 << false;
    QTest::newRow("5M 0010, installing apps") << k5M10 << 5 << false;
    QTest::newRow("5M 0010, idle") << k5M10 << -1 << true;
}

void TestUsbWatcher::hotplug()
{
    QFETCH(QString, fixture);
    QFETCH(int, stepState);
    QFETCH(bool, resetsAdb);

    QMutex stateMutex(QMutex::Recursive);
    UsbWatcher watcher(&stateMutex);
    QThread *const guiThread = QThread::currentThread();
    int resets = 0;
    bool resetOnGuiThread = true;
    bool removedOnGuiThread = false;
    watcher.setIdleQuery([&] {
        resetOnGuiThread = resetOnGuiThread && QThread::currentThread() == guiThread;
        return stepState == -1 || stepState == 1;
    });
    watcher.setArrivalReset([&] {
        resetOnGuiThread = resetOnGuiThread && QThread::currentThread() == guiThread;
        ++resets;
    });
    connect(&watcher, &UsbWatcher::usbRemoved, this,
        [&] { removedOnGuiThread = QThread::currentThread() == guiThread; });
    QSignalSpy arrived(&watcher, &UsbWatcher::usbArrived);
    QSignalSpy removed(&watcher, &UsbWatcher::usbRemoved);
    QVERIFY(arrived.isValid());
    QVERIFY(removed.isValid());

    QVERIFY(watcher.setupUsbWatch());
    QVERIFY(watcher.hotplugRunning());
    QVERIFY(!watcher.isUsbConnected());

    plug(fixture);
    QVERIFY(arrived.wait(5000));
    QVERIFY(watcher.isUsbConnected());
    QCOMPARE(resets, resetsAdb ? 1 : 0);
    QVERIFY(resetOnGuiThread);
    QCOMPARE(removed.count(), 0);

    unplug(fixture);
    QVERIFY(removed.wait(5000));
    QVERIFY(!watcher.isUsbConnected());
    QVERIFY(removedOnGuiThread);
    QCOMPARE(arrived.count(), 1);
    QCOMPARE(resets, resetsAdb ? 1 : 0);

    // Plugged in again: the flag follows every time.
    plug(fixture);
    QVERIFY(arrived.wait(5000));
    QVERIFY(watcher.isUsbConnected());
    QCOMPARE(resets, resetsAdb ? 2 : 0);
}

void TestUsbWatcher::unknownDeviceHotplugChangesNothing()
{
    QVERIFY(addDevice(k2M));
    UsbWatcher watcher;
    QVERIFY(watcher.setupUsbWatch());
    QVERIFY(watcher.isUsbConnected());
    QSignalSpy arrived(&watcher, &UsbWatcher::usbArrived);
    QSignalSpy removed(&watcher, &UsbWatcher::usbRemoved);

    plug(kUnknown);
    unplug(kUnknown);
    // A robot event after the unknown ones proves that those were handled and ignored.
    unplug(k2M);
    QVERIFY(removed.wait(5000));
    QCOMPARE(removed.count(), 1);
    QCOMPARE(arrived.count(), 0);
    QVERIFY(!watcher.isUsbConnected());
    QCOMPARE(watcher.robotType(), 0);
}

void TestUsbWatcher::destructionStopsEventThread()
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 3; ++i) {
        auto watcher = std::make_unique<UsbWatcher>();
        QVERIFY(watcher->setupUsbWatch());
        QVERIFY(watcher->hotplugRunning());
        plug(k2M);
        watcher.reset();
        unplug(k2M);
    }
    // Each stop interrupts the event wait instead of waiting out its timeout.
    QVERIFY2(timer.elapsed() < 1200, qPrintable(QString::number(timer.elapsed())));
}

// libusb must see the testbed, so the test runs with umockdev's preload library: started
// without it, it starts itself again with it.
int main(int argc, char **argv)
{
    if (!usbfixture::preloaded()) {
        usbfixture::restartPreloaded(argv);
        return 1;
    }
    QCoreApplication app(argc, argv);
    TestUsbWatcher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_usbwatcher.moc"
