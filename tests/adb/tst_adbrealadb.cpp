// Debian's adb client and server against the simulated robot, driven through AdbConductor.
#include "../support/simrobot.h"
#include "adbtestsupport.h"

#include <fileutils.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

namespace {

const QString systemAdb = QStringLiteral("/usr/bin/adb");
const QString python = QStringLiteral("/usr/bin/python3");
const QString servicePackage = QStringLiteral("com.norvikinc.tarvo2services");
const QString serviceActivity = QStringLiteral("com.norvikinc.tarvo2services.MainActivity");
const QString gamePackage = QStringLiteral("com.example.dancegame");

} // namespace

class TestAdbRealAdb : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void baseInformation();
    void pushActionsTree();
    void pushTwoHundredFiles();
    void installWithRetryAndRestart();

private:
    bool runTool(const QStringList &args, QByteArray *out = nullptr, int timeoutMs = 30000);
    bool runAdb(const QStringList &args, QByteArray *out = nullptr, int timeoutMs = 15000);
    QStringList simCommands() const { return textLines(sim.file(QStringLiteral("commands.log"))); }
    QString makeApk(const QString &name, const QString &package);

    QTemporaryDir dir;
    QString wrapper;
    SimRobot sim;
    RecordingSink *sink = nullptr;
    AdbConductor *conductor = nullptr;
};

bool TestAdbRealAdb::runTool(const QStringList &args, QByteArray *out, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(args.first(), args.mid(1));
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        return false;
    }
    if (out)
        *out = p.readAll();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool TestAdbRealAdb::runAdb(const QStringList &args, QByteArray *out, int timeoutMs)
{
    return runTool(QStringList { wrapper } + args, out, timeoutMs);
}

QString TestAdbRealAdb::makeApk(const QString &name, const QString &package)
{
    // The simulated package manager reads the package name from a text manifest in the zip.
    const QString path = dir.filePath(QStringLiteral("apk/") + name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString script
        = QStringLiteral("import sys, zipfile\n"
                         "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                         "    z.writestr('AndroidManifest.xml', '<manifest package=\"%s\" "
                         "android:versionName=\"1.0\"/>' % sys.argv[2])\n"
                         "    z.writestr('classes.dex', b'dex')\n");
    if (!runTool({ python, QStringLiteral("-c"), script, path, package }))
        return QString();
    return path;
}

void TestAdbRealAdb::initTestCase()
{
    if (!QFile::exists(systemAdb) || !QFile::exists(python))
        QSKIP("Debian's adb or python3 is not installed");
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(FileUtils::logDirPath()));
    QVERIFY2(QFile::exists(SimRobot::simctl()), qPrintable(SimRobot::simctl()));

    // Own HOME and server port, so nothing here meets another test's adb server.
    const QString home = dir.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    // The simulated robot's adb wrapper: Debian's adb, meeting it as it meets one on USB.
    wrapper = dir.filePath(QStringLiteral("adb"));
    QFile script(wrapper);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(
        QStringLiteral("#!/bin/sh\nHOME='%1' ANDROID_ADB_SERVER_PORT='%2' exec '%3' \"$@\"\n")
            .arg(home, qEnvironmentVariable("ZEV_ADB_SERVER_PORT", QStringLiteral("15091")),
                qEnvironmentVariable("ZEV_SOURCE_DIR")
                    + QStringLiteral("/tools/robot-sim/fastboot-adb"))
            .toUtf8());
    script.close();
    QVERIFY(QFile::setPermissions(wrapper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const QJsonObject scenario { { QStringLiteral("install_answers"),
        QJsonObject { { gamePackage,
            QJsonArray { QStringLiteral("INSTALL_FAILED_INSUFFICIENT_STORAGE") } } } } };
    QByteArray out;
    runAdb({ QStringLiteral("kill-server") });
    QVERIFY(sim.start(scenario, dir.filePath(QStringLiteral("sim"))));
    // The server finds the simulator by its emulator scan when it starts.
    QVERIFY(runAdb({ QStringLiteral("start-server") }, &out));
    QTRY_VERIFY_WITH_TIMEOUT(
        runAdb({ QStringLiteral("devices") }, &out) && out.contains("\tdevice"), 15000);
}

void TestAdbRealAdb::cleanupTestCase()
{
    if (!wrapper.isEmpty())
        runAdb({ QStringLiteral("kill-server") });
    sim.stop();
}

void TestAdbRealAdb::init()
{
    sink = new RecordingSink;
    conductor = utils::SingletonT<AdbConductor>::instance();
    conductor->setEvent(sink);
    conductor->setSdk(QLatin1Char('"') + wrapper + QLatin1Char('"'));
    conductor->reset(true);
}

void TestAdbRealAdb::cleanup()
{
    utils::SingletonT<AdbConductor>::release();
    conductor = nullptr;
    delete sink;
    sink = nullptr;
}

void TestAdbRealAdb::baseInformation()
{
    QElapsedTimer elapsed;
    elapsed.start();
    conductor->adbGetRobotBaseInfo(
        QStringLiteral("ro.build.version.incremental="), QStringLiteral("ro.build.date.utc="));
    QTRY_COMPARE_WITH_TIMEOUT(sink->count(QStringLiteral("robot")), 1, 30000);
    qInfo("one base-information request: %lld ms", elapsed.elapsed());

    const SinkEvent &e = sink->events.first();
    QCOMPARE(e.code, 0);
    QCOMPARE(e.robot->buildVersion, QStringLiteral("20170315120000"));
    QCOMPARE(e.robot->kernelVersion, 1489550400);
    QCOMPARE(e.robot->ipAddress, QStringLiteral("192.168.1.23"));
    QCOMPARE(e.robot->acPowered, true);
    QCOMPARE(e.robot->batteryLevel, 85);
    QCOMPARE(e.robot->batteryRatio, 0.85);
}

void TestAdbRealAdb::pushActionsTree()
{
    const QString root = dir.filePath(QStringLiteral("pkg1/"));
    const QStringList files { "actions/a.hts", "actions/b.mp3", "actions/dance/x.hts",
        "actions/dance/step/y.hts", "actions/my dance/z.hts" };
    for (const QString &name : files) {
        QVERIFY(QDir().mkpath(QFileInfo(root + name).absolutePath()));
        QFile f(root + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(name.toUtf8());
    }
    conductor->adbPushFiles(root);
    QTRY_COMPARE_WITH_TIMEOUT(sink->count(QStringLiteral("pushAll")), 1, 60000);
    QCOMPARE(sink->last(QStringLiteral("pushAll"))->code, 0);
    QCOMPARE(sink->count(QStringLiteral("pushOne")), 5);

    const QMap<QString, QString> onRobot { { "a.hts", "actions/a.hts" },
        { "b.mp3", "actions/b.mp3" }, { "dance/x.hts", "actions/dance/x.hts" },
        { "step/y.hts", "actions/dance/step/y.hts" },
        { "my dance/z.hts", "actions/my dance/z.hts" } };
    for (auto it = onRobot.cbegin(); it != onRobot.cend(); ++it) {
        QFile f(sim.file(QStringLiteral("device/sdcard/actions/") + it.key()));
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(f.fileName()));
        QCOMPARE(QString::fromUtf8(f.readAll()), it.value());
    }
    // The folder name with a blank reached mkdir as one quoted word, not as two folders.
    QVERIFY(!QFileInfo::exists(sim.file(QStringLiteral("device/sdcard/actions/my"))));
    QVERIFY(simCommands().contains(QStringLiteral("shell:mkdir /sdcard/actions/'my dance'")));
}

void TestAdbRealAdb::pushTwoHundredFiles()
{
    const QString root = dir.filePath(QStringLiteral("pkg200/"));
    for (int i = 0; i < 200; ++i) {
        const QString name = root + QStringLiteral("actions/set%1/act%2.hts").arg(i / 20).arg(i);
        QVERIFY(QDir().mkpath(QFileInfo(name).absolutePath()));
        QFile f(name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(2048, 'a'));
    }
    QElapsedTimer elapsed;
    elapsed.start();
    conductor->adbPushFiles(root);
    QTRY_COMPARE_WITH_TIMEOUT(sink->count(QStringLiteral("pushAll")), 1, 240000);
    qInfo("pushing 200 action files: %lld ms", elapsed.elapsed());
    QCOMPARE(sink->last(QStringLiteral("pushAll"))->code, 0);
    QCOMPARE(sink->count(QStringLiteral("pushOne")), 200);
    QVERIFY(QFileInfo::exists(sim.file(QStringLiteral("device/sdcard/actions/set9/act199.hts"))));
}

void TestAdbRealAdb::installWithRetryAndRestart()
{
    auto service = std::make_shared<App>();
    service->id = 1;
    service->name = QStringLiteral("Tarvo2Services");
    service->packageName = servicePackage;
    service->mainActivity = serviceActivity;
    const QString serviceApk = makeApk(QStringLiteral("Tarvo2Services.apk"), servicePackage);
    QVERIFY(!serviceApk.isEmpty());
    service->apkPath = QLatin1Char('"') + serviceApk + QLatin1Char('"');

    auto game = std::make_shared<App>();
    game->name = QStringLiteral("DanceGame");
    game->packageName = gamePackage;
    const QString gameApk = makeApk(QStringLiteral("DanceGame.apk"), gamePackage);
    QVERIFY(!gameApk.isEmpty());
    game->apkPath = QLatin1Char('"') + gameApk + QLatin1Char('"');

    const int commandsBefore = simCommands().size();
    conductor->appendInstallApps({ service, game });
    conductor->adbInstallApps();
    QTRY_COMPARE_WITH_TIMEOUT(sink->count(QStringLiteral("all")), 1, 120000);

    QCOMPARE(sink->briefs(),
        (QStringList { "installing:Tarvo2Services", "one:Tarvo2Services:0", "installing:DanceGame",
            "uninstallStart", "installing:DanceGame", "one:DanceGame:0", "installing:DanceGame",
            "one:DanceGame:0", "all:0" }));

    const QStringList expected {
        "shell:busybox rm -rf /data/local/tmp/Tarvo2Services*",
        "shell:busybox rm -rf /data/local/tmp/smartcamera*",
        "shell:busybox rm -rf /data/local/tmp/com.norvikinc.tarvo2services",
        "shell:busybox rm -rf /data/app/vmd*",
        "sync:",
        "shell:pm 'install' '/data/local/tmp/Tarvo2Services.apk'",
        "shell:rm '/data/local/tmp/Tarvo2Services.apk' </dev/null",
        "shell:am start -n com.norvikinc.tarvo2services/com.norvikinc.tarvo2services.MainActivity",
        "shell:busybox rm -rf /data/local/tmp/com.example.dancegame",
        "shell:busybox rm -rf /data/app/vmd*",
        "sync:",
        "shell:pm 'install' '/data/local/tmp/DanceGame.apk'",
        "shell:rm '/data/local/tmp/DanceGame.apk' </dev/null",
        "shell:pm list packages",
        "shell:pm 'uninstall' 'com.example.dancegame'",
        "shell:pm 'uninstall' 'com.example.oldgame'",
        "shell:busybox rm -rf /data/local/tmp/com.example.dancegame",
        "shell:busybox rm -rf /data/app/vmd*",
        "sync:",
        "shell:pm 'install' '/data/local/tmp/DanceGame.apk'",
        "shell:rm '/data/local/tmp/DanceGame.apk' </dev/null",
        "shell:busybox rm -rf /data/local/tmp/com.example.dancegame",
        "shell:busybox rm -rf /data/app/vmd*",
        "sync:",
        "shell:pm 'install' '/data/local/tmp/DanceGame.apk'",
        "shell:rm '/data/local/tmp/DanceGame.apk' </dev/null",
    };
    const QStringList seen = simCommands().mid(commandsBefore);
    if (seen != expected)
        qInfo().noquote() << "robot saw:\n" + seen.join(QLatin1Char('\n'));
    for (int i = 0; i < qMax(seen.size(), expected.size()); ++i)
        QCOMPARE(seen.value(i), expected.value(i));

    QFile state(sim.file(QStringLiteral("state.json")));
    QVERIFY(state.open(QIODevice::ReadOnly));
    const QJsonObject packages = QJsonDocument::fromJson(state.readAll())
                                     .object()
                                     .value(QStringLiteral("packages"))
                                     .toObject();
    QVERIFY(packages.contains(servicePackage));
    QVERIFY(packages.contains(gamePackage));
    QVERIFY(!packages.contains(QStringLiteral("com.example.oldgame")));
}

QTEST_GUILESS_MAIN(TestAdbRealAdb)
#include "tst_adbrealadb.moc"
