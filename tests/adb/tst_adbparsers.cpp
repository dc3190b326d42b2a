#include "adbparsers.h"
#include "adbsteplimit.h"

#include <zeverror.h>

#include <QProcess>
#include <QtTest>

using namespace adbparse;

class TestAdbParsers : public QObject
{
    Q_OBJECT
private slots:
    void buildProp_data();
    void buildProp();
    void battery_data();
    void battery();
    void arpAndIfconfig_data();
    void arpAndIfconfig();
    void diskFree_data();
    void diskFree();
    void packageList_data();
    void packageList();
    void installReason_data();
    void installReason();
    void removeCrLf();
    void robotShellWord_data();
    void robotShellWord();
    void commandLineWord_data();
    void commandLineWord();
    void pushAnswer_data();
    void pushAnswer();
    void pushLimit_data();
    void pushLimit();
    void limitLoweredForTests_data();
    void limitLoweredForTests();
};

static const QString buildKey = QStringLiteral("ro.build.version.incremental=");
static const QString kernelKey = QStringLiteral("ro.build.date.utc=");

void TestAdbParsers::buildProp_data()
{
    QTest::addColumn<QString>("out");
    QTest::addColumn<bool>("keysFound");
    QTest::addColumn<QString>("build");
    QTest::addColumn<int>("kernel");
    QTest::addColumn<bool>("usable");

    const QString head
        = QStringLiteral("# begin build properties\r\n# from /system/build.prop\r\n");
    QTest::newRow("crlf listing") << head
            + "ro.build.version.incremental=20170315093015\r\n"
              "ro.build.date.utc=1489541415\r\nro.product.model=T2\r\n"
                                  << true << "20170315093015" << 1489541415 << true;
    QTest::newRow("last key wins") << "ro.build.version.incremental=1\nro.build.date.utc=5\n"
                                      "ro.build.version.incremental=2\nro.build.date.utc=6\n"
                                   << true << "2" << 6 << true;
    QTest::newRow("digits only") << "ro.build.version.incremental=V1.2-3\nro.build.date.utc=7"
                                 << true << "123" << 7 << true;
    QTest::newRow("key letter case ignored when cutting")
        << "RO.BUILD.VERSION.INCREMENTAL=9\nro.build.version.incremental=4\nro.build.date.utc=8"
        << true << "4" << 8 << true;
    QTest::newRow("kernel low 32 bits, negative")
        << "ro.build.version.incremental=1\nro.build.date.utc=4294967295" << true << "1" << -1
        << false;
    QTest::newRow("kernel low 32 bits, positive")
        << "ro.build.version.incremental=1\nro.build.date.utc=4294967298" << true << "1" << 2
        << true;
    QTest::newRow("kernel zero") << "ro.build.version.incremental=1\nro.build.date.utc=abc" << true
                                 << "1" << 0 << false;
    QTest::newRow("empty build value")
        << "ro.build.version.incremental=\nro.build.date.utc=12" << true << "" << 12 << false;
    QTest::newRow("missing kernel key") << "ro.build.version.incremental=1\n"
                                        << false << "" << 0 << false;
    QTest::newRow("empty output") << "" << false << "" << 0 << false;
}

void TestAdbParsers::buildProp()
{
    QFETCH(QString, out);
    QFETCH(bool, keysFound);
    const auto info = readBuildProp(out, buildKey, kernelKey);
    QCOMPARE(info.has_value(), keysFound);
    if (!info)
        return;
    QTEST(info->buildVersion, "build");
    QTEST(static_cast<int>(info->kernelVersion), "kernel");
    QTEST(isUsableBuildInfo(*info), "usable");
}

void TestAdbParsers::battery_data()
{
    QTest::addColumn<QString>("dumpsys");
    QTest::addColumn<bool>("ac");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("scale");

    QTest::newRow("charging") << "Current Battery Service state:\r\n  AC powered: true\r\n"
                                 "  USB powered: false\r\n  status: 2\r\n  level: 87\r\n"
                                 "  scale: 100\r\n  voltage: 4100\r\n"
                              << true << 87 << 100;
    QTest::newRow("AC False") << "  AC powered: False\n  level: 40\n  scale: 50\n"
                              << false << 40 << 50;
    QTest::newRow("no AC line") << "  level: 5\n  scale: 10\n" << true << 5 << 10;
    QTest::newRow("not numbers") << "  AC powered: false\n  level: n/a\n  scale: ?\n"
                                 << false << 0 << 0;
    QTest::newRow("empty") << "" << true << 0 << 0;
}

void TestAdbParsers::battery()
{
    QFETCH(QString, dumpsys);
    const BatteryInfo info = readBattery(dumpsys);
    QTEST(info.acPowered, "ac");
    QTEST(info.level, "level");
    QTEST(info.scale, "scale");
}

void TestAdbParsers::arpAndIfconfig_data()
{
    QTest::addColumn<QString>("arp");
    QTest::addColumn<QString>("interfaceName"); // "-" when the address is not looked up
    QTest::addColumn<QString>("ifconfig");
    QTest::addColumn<QString>("address"); // "-" when no address is found

    const QString ifconfig = QStringLiteral(
        "wlan0     Link encap:Ethernet  HWaddr 00:11:22:33:44:55\r\n"
        "          inet addr:192.168.1.23  Bcast:192.168.1.255  Mask:255.255.255.0\r\n"
        "          UP BROADCAST RUNNING MULTICAST  MTU:1500  Metric:1\r\n");
    QTest::newRow("wireless") << "? (192.168.1.1) at aa:bb:cc:dd:ee:ff [ether]  on wlan0\n"
                              << " wlan0" << ifconfig << "192.168.1.23";
    QTest::newRow("two lines, last interface")
        << "? (10.0.0.1) at aa [ether]  on eth0\n? (10.0.0.2) at bb [ether]  on wlan1\n"
        << " wlan1" << ifconfig << "192.168.1.23";
    QTest::newRow("wlan off") << ""
                              << "-"
                              << ""
                              << "-";
    QTest::newRow("four characters") << "abcd"
                                     << "-"
                                     << ""
                                     << "-";
    QTest::newRow("no address") << "? (1.2.3.4) at x on wlan0\n"
                                << " wlan0"
                                << "wlan0 Link encap:Ethernet\n"
                                << "-";
}

void TestAdbParsers::arpAndIfconfig()
{
    QFETCH(QString, arp);
    QFETCH(QString, interfaceName);
    QFETCH(QString, ifconfig);
    QFETCH(QString, address);
    const auto name = arpInterface(arp);
    QCOMPARE(name.value_or(QStringLiteral("-")), interfaceName);
    QCOMPARE(ifconfigAddress(ifconfig).value_or(QStringLiteral("-")), address);
}

void TestAdbParsers::diskFree_data()
{
    QTest::addColumn<QString>("free");
    QTest::addColumn<qint64>("bytes"); // -1: no value

    QTest::newRow("M") << "723.5M" << qint64(723.5 * 1024 * 1024);
    QTest::newRow("G") << "1.5G" << qint64(1.5 * 1024 * 1024 * 1024);
    QTest::newRow("K") << "2048K" << qint64(2048) * 1024;
    QTest::newRow("plain") << "512" << qint64(512);
    QTest::newRow("B") << "77B" << qint64(77);
    QTest::newRow("garbage") << "n/a" << qint64(0);
    QTest::newRow("too large") << "1e300G" << qint64(-1);
    QTest::newRow("infinite") << "infM" << qint64(-1);
    QTest::newRow("not a number") << "nanK" << qint64(-1);
}

void TestAdbParsers::diskFree()
{
    QFETCH(QString, free);
    const QString df
        = QStringLiteral("Filesystem               Size     Used     Free   Blksize\r\n"
                         "/dev                   484.2M    96.0K   484.1M   4096\r\n"
                         "/system                  1.5G     1.2G   300.0M   4096\r\n"
                         "/data                    5.7G     2.1G   %1   4096\r\n"
                         "/mnt/secure            484.2M     0.0K   484.2M   4096\r\n")
              .arg(free);
    const auto bytes = dataPartitionFreeBytes(df);
    QTEST(bytes.value_or(-1), "bytes");

    QVERIFY(!dataPartitionFreeBytes(QStringLiteral("/data 5.7G 2.1G\n")).has_value());
    QVERIFY(!dataPartitionFreeBytes(QString()).has_value());
}

void TestAdbParsers::packageList_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("packages");

    QTest::newRow("system, maker, other")
        << "package:com.android.settings\r\npackage:com.norvikinc.tarvo2services\r\n"
           "package:com.example.game\r\npackage:com.NORVIK.camera\r\n"
           "package:org.Android.x\r\n"
        << QStringList { QStringLiteral("com.example.game") };
    QTest::newRow("several, in order")
        << "package:b.two\npackage:a.one\n\n"
        << QStringList { QStringLiteral("b.two"), QStringLiteral("a.one") };
    QTest::newRow("path form keeps the part after the last colon")
        << "package:/data/app/x.apk=com.example.x:extra\n"
        << QStringList { QStringLiteral("extra") };
    QTest::newRow("empty") << "" << QStringList {};
}

void TestAdbParsers::packageList()
{
    QFETCH(QString, list);
    QTEST(removablePackages(list), "packages");
}

void TestAdbParsers::installReason_data()
{
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("tolerated");

    QTest::newRow("already exists")
        << "Performing Streamed Install\r\nadb: failed to install x.apk: Failure "
           "[INSTALL_FAILED_ALREADY_EXISTS: Attempt to re-install without -r]\r\n"
        << "INSTALL_FAILED_ALREADY_EXISTS: Attempt to re-install without -r" << 20014 << true;
    QTest::newRow("storage") << "Failure [INSTALL_FAILED_INSUFFICIENT_STORAGE]"
                             << "INSTALL_FAILED_INSUFFICIENT_STORAGE" << 20005 << false;
    QTest::newRow("downgrade") << "Failure [INSTALL_FAILED_VERSION_DOWNGRADE]"
                               << "INSTALL_FAILED_VERSION_DOWNGRADE" << 20019 << true;
    QTest::newRow("invalid zip") << "Failure [INSTALL_FAILED_INVALID_ZIP_FILE]"
                                 << "INSTALL_FAILED_INVALID_ZIP_FILE" << 20015 << true;
    QTest::newRow("older sdk") << "Failure [INSTALL_FAILED_OLDER_SDK]"
                               << "INSTALL_FAILED_OLDER_SDK" << 20016 << true;
    QTest::newRow("no brackets: whole text") << "error: device not found"
                                             << "error: device not found" << 20009 << false;
    QTest::newRow("empty brackets: whole text") << "Failure []"
                                                << "Failure []" << 99999 << false;
    QTest::newRow("only a closing bracket") << "abc] def"
                                            << "abc" << 99999 << false;
    QTest::newRow("only an opening bracket") << "Failure [INSTALL_FAILED_OLDER_SDK"
                                             << "INSTALL_FAILED_OLDER_SDK" << 20016 << true;
    QTest::newRow("first pair only")
        << "Failure [INSTALL_FAILED_UID_CHANGED] [INSTALL_FAILED_OLDER_SDK]"
        << "INSTALL_FAILED_UID_CHANGED" << 20021 << false;
    QTest::newRow("empty") << ""
                           << "" << 99999 << false;
}

void TestAdbParsers::installReason()
{
    QFETCH(QString, out);
    QFETCH(QString, reason);
    QCOMPARE(installFailureReason(out), reason);
    const int code = utils::ZEVError::errorCodeFromAdbOutput(reason.toLocal8Bit());
    QTEST(code, "code");
    QTEST(isToleratedInstallCode(code), "tolerated");
}

void TestAdbParsers::removeCrLf()
{
    QCOMPARE(adbparse::removeCrLf(QStringLiteral("a\r\nb\nc\rd\r\n")), QStringLiteral("ab\nc\rd"));
}

void TestAdbParsers::robotShellWord_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("quoted");

    QTest::newRow("package") << "com.example.game" << false;
    QTest::newRow("component") << "com.x.y/com.x.y.MainActivity" << false;
    QTest::newRow("folder") << "dance_2-new,v1:a=b+c@d%e" << false;
    QTest::newRow("chinese") << QString::fromUtf8("舞蹈") << false;
    QTest::newRow("beyond the basic plane") << QString::fromUtf8("舞𠀀蹈") << false;
    QTest::newRow("empty, and an empty tail") << "" << true;
    QTest::newRow("blanks") << "my  dance" << true;
    QTest::newRow("tab") << "a\tb" << true;
    QTest::newRow("line break at the end") << "dance\n" << true;
    QTest::newRow("line breaks") << "\ndance\n\n" << true;
    QTest::newRow("ideographic space") << QString::fromUtf8("舞\u3000蹈") << true;
    QTest::newRow("control character") << "a\x01b" << true;
    QTest::newRow("single quote") << "it's" << true;
    QTest::newRow("double quote") << "say\"hi\"" << true;
    QTest::newRow("backslash") << "a\\nb" << true;
    QTest::newRow("expansion") << "a.b/a.b.Main$Inner" << true;
    QTest::newRow("substitution") << "$(touch pwned)" << true;
    QTest::newRow("backquotes") << "`touch pwned`" << true;
    QTest::newRow("separator") << "x;touch pwned" << true;
    QTest::newRow("background") << "x&touch pwned" << true;
    QTest::newRow("pipe") << "x|touch pwned" << true;
    QTest::newRow("redirections") << "a<b>pwned" << true;
    QTest::newRow("subshell") << "(touch pwned)" << true;
    QTest::newRow("globs") << "*?[a]" << true;
    QTest::newRow("braces") << "{a,b}" << true;
    QTest::newRow("home") << "~root" << true;
    QTest::newRow("comment") << "#x" << true;
    QTest::newRow("negation") << "!x" << true;
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) << true;
}

void TestAdbParsers::robotShellWord()
{
    QFETCH(QString, text);
    QFETCH(bool, quoted);
    const QString word = adbparse::robotShellWord(text);
    QCOMPARE(word != text, quoted);
    // Joined to a folder a name is quoted alike, but an empty one adds nothing.
    const QString folder = QStringLiteral("/data/local/tmp/");
    const QString path = adbparse::robotShellPath(folder, text);
    QCOMPARE(path != folder + text, quoted && !text.isEmpty());
    if (text.contains(QChar(0xd800)))
        return; // not representable as a shell argument; quoting it is all that is asked

    // A real POSIX shell must read each back as exactly one argument equal to its text.
#ifdef Q_OS_WIN
    QSKIP("the POSIX shell that checks the word runs in the Linux build only");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess sh;
    sh.setWorkingDirectory(dir.path());
    sh.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"), QStringLiteral("printf '%s|' ") + word + QLatin1Char(' ') + path });
    QVERIFY2(sh.waitForFinished(5000), qPrintable(sh.errorString()));
    QCOMPARE(QString::fromUtf8(sh.readAllStandardOutput()),
        text + QLatin1Char('|') + folder + text + QLatin1Char('|'));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("pwned"))));
}

void TestAdbParsers::commandLineWord_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << "/sdcard/actions/dance";
    QTest::newRow("blank") << "/sdcard/actions/my dance";
    QTest::newRow("two blanks") << "a  b";
    QTest::newRow("quote inside") << "a\"b";
    QTest::newRow("quote at the end") << "ab\"";
    QTest::newRow("quote at the start") << "\"a b";
    QTest::newRow("two quotes") << "a\"\"b c";
    QTest::newRow("single quotes") << "/sdcard/actions/'my dance'";
}

void TestAdbParsers::commandLineWord()
{
    QFETCH(QString, text);
    // QProcess splits the whole command line; the word must come back as one argument.
    const QString line = QStringLiteral("\"/x/adb\" push ") + adbparse::commandLineWord(text)
        + QStringLiteral(" ") + adbparse::commandLineQuoted(text) + " end";
    const QStringList args = QProcess::splitCommand(line);
    QCOMPARE(args,
        (QStringList {
            QStringLiteral("/x/adb"), QStringLiteral("push"), text, text, QStringLiteral("end") }));
}

void TestAdbParsers::pushAnswer_data()
{
    QTest::addColumn<QString>("out");
    QTest::addColumn<bool>("arrived");

    QTest::newRow("one file") << "a.hts: 1 file pushed. 0.1 MB/s (1234 bytes in 0.010s)\n" << true;
    QTest::newRow("ten files") << "10 files pushed. 2.0 MB/s (20480 bytes in 0.010s)\n" << true;
    QTest::newRow("progress lines first")
        << "[ 50%] /sdcard/actions/a.hts\r[100%] /sdcard/actions/a.hts\r\n"
           "a.hts: 1 file pushed. (1234 BYTES in 0.010s)\n"
        << true;
    // adb 29 against a full robot: the summary still has its bytes.
    QTest::newRow("failed copy with a summary")
        << "adb: error: failed to copy 'a.hts' to '/sdcard/actions/a.hts': remote No space left "
           "on device\n0 files pushed. 0.0 MB/s (1000 bytes in 0.001s)\n"
        << false;
    QTest::newRow("none pushed, no error line")
        << "0 files pushed. 0.0 MB/s (1000 bytes in 0.001s)\n"
        << false;
    QTest::newRow("device gone") << "error: closed\n" << false;
    QTest::newRow("nothing") << QString() << false;
}

void TestAdbParsers::pushAnswer()
{
    QFETCH(QString, out);
    QTEST(pushArrived(out), "arrived");
}

void TestAdbParsers::pushLimit_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("limitMs");

    QTest::newRow("empty file") << qint64(0) << 30000;
    QTest::newRow("size unknown") << qint64(-1) << 30000;
    QTest::newRow("256 KiB: one more second") << qint64(256 * 1024) << 31000;
    QTest::newRow("100 MiB video") << qint64(100) * 1024 * 1024 << 430000;
    QTest::newRow("beyond an int of milliseconds")
        << (qint64(1) << 50) << std::numeric_limits<int>::max();
}

void TestAdbParsers::pushLimit()
{
    QFETCH(qint64, bytes);
    QTEST(adblimit::pushMs(bytes), "limitMs");
}

void TestAdbParsers::limitLoweredForTests_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<int>("capped");

    QTest::newRow("unset") << QByteArray() << 30000 << 30000;
    QTest::newRow("lower") << QByteArray("1500") << 30000 << 1500;
    QTest::newRow("never raises") << QByteArray("60000") << 10000 << 10000;
    QTest::newRow("zero ignored") << QByteArray("0") << 10000 << 10000;
    QTest::newRow("negative ignored") << QByteArray("-5") << 10000 << 10000;
    QTest::newRow("not a number ignored") << QByteArray("soon") << 10000 << 10000;
}

void TestAdbParsers::limitLoweredForTests()
{
    QFETCH(QByteArray, setting);
    QFETCH(int, limitMs);
    if (setting.isNull())
        qunsetenv("ZEV_ADB_STEP_LIMIT_MS");
    else
        qputenv("ZEV_ADB_STEP_LIMIT_MS", setting);
    const int capped = adblimit::capped(limitMs);
    const adblimit::StepClock clock(limitMs);
    qunsetenv("ZEV_ADB_STEP_LIMIT_MS");
    QTEST(capped, "capped");
    QTEST(clock.limit(), "capped");
}

QTEST_GUILESS_MAIN(TestAdbParsers)
#include "tst_adbparsers.moc"
