// WM_DEVICECHANGE as Windows sends it to a window that registered for USB device interfaces.
#include "usbwatcher.h"

#include "../support/devicebroadcast.h"

#include <fileutils.h>
#include <robottypes.h>

#include <QSignalSpy>
#include <QtTest>

class TestUsbWatcherWin : public QObject
{
    Q_OBJECT
private slots:
    void deviceChange_data();
    void deviceChange();
};

void TestUsbWatcherWin::deviceChange_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("folder");

    const QString guid = QStringLiteral("#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    QTest::newRow("5M robot") << QStringLiteral("\\\\?\\USB#VID_2207&PID_0011#0123456789") + guid
                              << 1 << "5M";
    QTest::newRow("2M robot, lower case")
        << QStringLiteral("\\\\?\\usb#vid_18d1&pid_4e26#abc") + guid << 0 << "2M";
    QTest::newRow("unknown device") << QStringLiteral("\\\\?\\USB#VID_2207&PID_0012#x") + guid
                                    << int(RobotVersionUnknown) << QString();
}

void TestUsbWatcherWin::deviceChange()
{
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(QString, folder);

    UsbWatcher watcher;
    QSignalSpy arrived(&watcher, &UsbWatcher::usbArrived);
    QSignalSpy removed(&watcher, &UsbWatcher::usbRemoved);
    std::vector<char> bytes = deviceBroadcast(name);
    MSG msg {};
    msg.message = WM_DEVICECHANGE;
    msg.wParam = DBT_DEVICEARRIVAL;
    msg.lParam = reinterpret_cast<LPARAM>(bytes.data());

    watcher.handleNativeMessage(&msg);
    const bool robot = type != RobotVersionUnknown;
    QCOMPARE(arrived.count(), robot ? 1 : 0);
    QCOMPARE(watcher.isUsbConnected(), robot);
    QCOMPARE(watcher.robotType(), type);
    if (robot)
        QCOMPARE(watcher.workDir(), FileUtils::downloadDirPath(type));
    QVERIFY(watcher.workDir().endsWith(folder + QDir::separator()));

    msg.wParam = DBT_DEVICEREMOVECOMPLETE;
    watcher.handleNativeMessage(&msg);
    QCOMPARE(removed.count(), robot ? 1 : 0);
    QVERIFY(!watcher.isUsbConnected());
}

QTEST_GUILESS_MAIN(TestUsbWatcherWin)
#include "tst_usbwatcher_win.moc"
