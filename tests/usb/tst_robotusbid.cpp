#include "robotusbid.h"

#include <QtTest>

class TestRobotUsbId : public QObject
{
    Q_OBJECT
private slots:
    void parseVidPid_data();
    void parseVidPid();
    void matchDeviceInterface_data();
    void matchDeviceInterface();
    void robotTypeForIds_data();
    void robotTypeForIds();
};

void TestRobotUsbId::parseVidPid_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<int>("productId");

    const QString guid = QStringLiteral("#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    QTest::newRow("upper case") << QStringLiteral("USB#VID_18D1&PID_4E26#0123456789") + guid << true
                                << 0x18D1 << 0x4E26;
    QTest::newRow("lower case") << QStringLiteral("usb#vid_18d1&pid_4e26#0123456789") + guid << true
                                << 0x18D1 << 0x4E26;
    QTest::newRow("mixed case") << QStringLiteral("Usb#Vid_2207&Pid_0011#abc") << true << 0x2207
                                << 0x0011;
    QTest::newRow("no prefix") << QStringLiteral("VID_2207&PID_0010") << true << 0x2207 << 0x0010;
    QTest::newRow("prefix twice") << QStringLiteral("USB#USB#VID_2207&PID_0012#x") << true << 0x2207
                                  << 0x0012;
    QTest::newRow("five digits read as four")
        << QStringLiteral("USB#VID_18D1&PID_4E261#x") << true << 0x18D1 << 0x4E26;
    QTest::newRow("vendor zero") << QStringLiteral("USB#VID_0000&PID_4E26") << false << 0 << 0x4E26;
    QTest::newRow("product missing") << QStringLiteral("USB#VID_18D1#x") << false << 0x18D1 << 0;
    QTest::newRow("not hexadecimal") << QStringLiteral("USB#VID_XYZW&PID_4E26") << false << 0 << 0;
    QTest::newRow("other bus") << QStringLiteral("HID#VID_18D1&PID_4E26") << false << 0 << 0;
    QTest::newRow("empty") << QString() << false << 0 << 0;
}

void TestRobotUsbId::parseVidPid()
{
    QFETCH(QString, name);
    QFETCH(bool, ok);
    QFETCH(int, vendorId);
    QFETCH(int, productId);

    int vid = -1;
    int pid = -1;
    QCOMPARE(::parseVidPid(name, vid, pid), ok);
    QCOMPARE(vid, vendorId);
    QCOMPARE(pid, productId);
}

void TestRobotUsbId::matchDeviceInterface_data()
{
    QTest::addColumn<QString>("dbccName");
    QTest::addColumn<bool>("matched");
    QTest::addColumn<int>("robotType");

    const QString guid = QStringLiteral("#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    QTest::newRow("2M robot") << QStringLiteral("\\\\?\\USB#VID_18D1&PID_4E26#0123456789ABCDEF")
            + guid << true << 0;
    QTest::newRow("2M robot, lower case")
        << QStringLiteral("\\\\?\\usb#vid_18d1&pid_4e26#0123456789abcdef") + guid << true << 0;
    QTest::newRow("5M robot 0011")
        << QStringLiteral("\\\\?\\USB#VID_2207&PID_0011#5&1") + guid << true << 1;
    QTest::newRow("5M robot 0010")
        << QStringLiteral("\\\\?\\USB#VID_2207&PID_0010#5&1") + guid << true << 1;
    QTest::newRow("unknown 2207:0012")
        << QStringLiteral("\\\\?\\USB#VID_2207&PID_0012#5&1") + guid << false << 42;
    QTest::newRow("mouse") << QStringLiteral("\\\\?\\USB#VID_046D&PID_C077#5&1") + guid << false
                           << 42;
    QTest::newRow("prefix only") << QStringLiteral("\\\\?\\") << false << 42;
    QTest::newRow("ids cut short") << QStringLiteral("\\\\?\\USB#VID_18D1&PID_") << false << 42;
    QTest::newRow("empty") << QString() << false << 42;
}

void TestRobotUsbId::matchDeviceInterface()
{
    QFETCH(QString, dbccName);
    QFETCH(bool, matched);
    QFETCH(int, robotType);

    auto type = static_cast<enumRobotVersion>(42);
    QCOMPARE(::matchDeviceInterface(dbccName, type), matched);
    QCOMPARE(type, robotType);
}

void TestRobotUsbId::robotTypeForIds_data()
{
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<int>("productId");
    QTest::addColumn<int>("robotType");

    QTest::newRow("18d1:4e26") << 0x18D1 << 0x4E26 << 0;
    QTest::newRow("2207:0011") << 0x2207 << 0x0011 << 1;
    QTest::newRow("2207:0010") << 0x2207 << 0x0010 << 1;
    QTest::newRow("2207:0012") << 0x2207 << 0x0012 << int(RobotVersionUnknown);
    QTest::newRow("18d1:4ee7") << 0x18D1 << 0x4EE7 << int(RobotVersionUnknown);
    QTest::newRow("swapped") << 0x4E26 << 0x18D1 << int(RobotVersionUnknown);
}

void TestRobotUsbId::robotTypeForIds()
{
    QFETCH(int, vendorId);
    QFETCH(int, productId);
    QFETCH(int, robotType);
    QCOMPARE(::robotTypeForIds(vendorId, productId), robotType);
}

QTEST_GUILESS_MAIN(TestRobotUsbId)
#include "tst_robotusbid.moc"
