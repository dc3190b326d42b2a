// The main dialog's whole chain, in process and offscreen, against the simulated robot: Debian's
// adb, robot-sim's adbd, robot service and web service, and the robot's USB device under
// umockdev's testbed. Every modal box is recorded and answered by BoxAnswerer.

// GLib first: its headers use "signals" as a plain name, which Qt's headers define away.
#include "../support/usbfixture.h"

#include "../support/upgradecase.h"

#include "tarvo2_upgradetool.h"

#include <fileutils.h>

#include <QtTest>
#include <QtWidgets>

#include <algorithm>
#include <cstdlib>

using dialogharness::BoxAnswerer;
using dialogharness::BoxRecord;

Q_DECLARE_METATYPE(StepState)

namespace {

using usbfixture::k2M;
using usbfixture::k5M11;

const QString kServicePackage = QStringLiteral("com.norvikinc.tarvo2services");
const QString kServiceActivity
    = QStringLiteral("com.norvikinc.tarvo2services/com.norvikinc.tarvo2services.MainActivity");
const QStringList kPlannedInstallOrder { "SmartCamera.apk", "iflytekMix.apk", "DanceGame.apk",
    "Tarvo2Services.apk" };

// The adb command lines of a whole upgrade of the default robot, as the Windows test under Wine
// also expects them, with the work folder of `workFolder` (such as "download/2M/").
QList<QStringList> plannedCommands(const QString &workFolder)
{
    QFile file(qEnvironmentVariable("ZEV_SOURCE_DIR")
        + QStringLiteral("/tests/support/upgrade_commands.json"));
    QList<QStringList> commands;
    if (!file.open(QIODevice::ReadOnly))
        return commands;
    const QString work = FileUtils::appDirPath() + QLatin1Char('/') + workFolder;
    for (const QJsonValue &line : QJsonDocument::fromJson(file.readAll()).array()) {
        QStringList words;
        for (const QJsonValue &word : line.toArray())
            words << word.toString()
                         .replace(QLatin1Char('\\'), QLatin1Char('/'))
                         .replace(QStringLiteral("{home}/download/2M/"), work);
        commands << words;
    }
    return commands;
}

// What the adb wrapper was run with while this lives (one JSON array per line).
class AdbArgvLog
{
public:
    explicit AdbArgvLog(const QString &path)
        : m_path(path)
    {
        qputenv("ZEV_ADB_ARGV_LOG", QFile::encodeName(path));
    }
    ~AdbArgvLog() { qunsetenv("ZEV_ADB_ARGV_LOG"); }
    QList<QStringList> commands() const
    {
        QList<QStringList> commands;
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly))
            return commands;
        for (const QByteArray &line : file.readAll().split('\n')) {
            QStringList words;
            for (const QJsonValue &word : QJsonDocument::fromJson(line).array())
                words << word.toString();
            if (!line.isEmpty())
                commands << words;
        }
        return commands;
    }

private:
    QString m_path;
};

// Every line the day's log may hold while the diagnostic categories are off, at its level; %N
// stands for any text, the adb output quoted in some lines included.
const QList<QPair<QString, QString>> kLogLines {
    { "Info", QString(68, QLatin1Char('*')) },
    { "Info", "create log" },
    { "Info", "adb path:%1." },
    { "Info", "----------------------------------Start Upgrade------------------------------" },
    { "Info", "testUsbConnectRobot" },
    { "Info", "sigGetRobotBaseInfo..." },
    { "Info", "usb not connect or robot shutdown!" },
    { "Info", "get robot serialnum start..." },
    { "Info", "read serialnum : %1 sucessfull..." },
    { "Info", "read serialnum failure!" },
    { "Info", "Request robot tavro2 base infomation start..." },
    { "Info", "Get robot version sucessfull!" },
    { "Warning", "dataPtr is null!" },
    { "Info", "Start downloading..." },
    { "Info", "Extract the upgrade zip file..." },
    { "Info", "rooting please wait for about three minitues..." },
    { "Info", "adbGetRobotBaseInfo..." },
    { "Info", "slotGetRobotBaseInfo..." },
    { "Info", "getRobotBaseInfo...check adb path" },
    { "Info", "getRobotBaseInfo...reboot adb server" },
    { "Info", "GetIpAddress..." },
    { "Info", "GetBatteryInfo..." },
    { "Info", "Get base info start..." },
    { "Info", "Get base info end..." },
    { "Info", "GetIpAddress....start..." },
    { "Info", "adb get robot ip adb return str: [ %1 ]." },
    { "Info", "adb get robot ip error: wlan is off." },
    { "Info", "adb get battery info, adb return str: [ %1 ]." },
    { "Info", "adb rm -rf: /data/local/tmp/" },
    { "Error", "adb rm -rf: %1, return str: %2" },
    { "Info", "adb install [ %1 ] start!" },
    { "Info", "adb install [ %1 ] info : [ %2 ]" },
    { "Info", "adb install [ %1 ] the [%2] times, failed : [ %3 ]" },
    { "Info", "adb install [ %1 ] successful : [ %2 ]" },
    { "Error", "adb install [ %1 ] failed : [ %2 ]" },
    { "Info", "adb get installed app list , adb return str: [ %1 ]." },
    { "Info", "adb unistall [%1] FAILURE, return str: [ %2 ]." },
    { "Info", "adb unistall [%1] SUCCESS, return str: [ %2 ]." },
    { "Error", "Didn't find actions folder!" },
    { "Error", "adb push actions failure, please check the actions folder!" },
    { "Warning", "adb push actions finished files total: [ %1 ] successed : [ %2 ]" },
};

// The log's entries the table above does not allow; a message may run over several lines.
QStringList unexpectedLogLines(const QString &log)
{
    static const QRegularExpression head(
        QStringLiteral("^\\[TarvoRobot::(\\w+) \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] "),
        QRegularExpression::MultilineOption);
    static const QList<QPair<QString, QRegularExpression>> allowed = [] {
        QList<QPair<QString, QRegularExpression>> list;
        for (const auto &line : kLogLines) {
            QString pattern = QRegularExpression::escape(line.second);
            pattern.replace(QRegularExpression(QStringLiteral("\\\\%\\d")), QStringLiteral(".*"));
            list.append({ line.first,
                QRegularExpression(QStringLiteral("\\A") + pattern + QStringLiteral("\\n?\\z"),
                    QRegularExpression::DotMatchesEverythingOption) });
        }
        return list;
    }();

    QStringList unexpected;
    QRegularExpressionMatchIterator it = head.globalMatch(log);
    QRegularExpressionMatch match = it.hasNext() ? it.next() : QRegularExpressionMatch();
    if (!log.isEmpty() && (!match.hasMatch() || match.capturedStart() != 0))
        unexpected << log.left(match.hasMatch() ? match.capturedStart() : log.size());
    while (match.hasMatch()) {
        const QRegularExpressionMatch next = it.hasNext() ? it.next() : QRegularExpressionMatch();
        const int end = next.hasMatch() ? next.capturedStart() : log.size();
        const QString level = match.captured(1);
        const QString message = log.mid(match.capturedEnd(), end - match.capturedEnd());
        const bool known = std::any_of(allowed.cbegin(), allowed.cend(), [&](const auto &line) {
            return line.first == level && line.second.match(message).hasMatch();
        });
        if (!known)
            unexpected << level + QLatin1Char(' ') + message;
        match = next;
    }
    return unexpected;
}

} // namespace

class TestWorkflow : public QObject, private dialogharness::UpgradeCase
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void happyPath_data();
    void happyPath();
    void cachedPackageIsReused();
    void emptySerialNumber();
    void noRobot();
    void englishRegionWithType0Robot();
    void buildChecks_data();
    void buildChecks();
    void buildCheckValues_data();
    void buildCheckValues();
    void unknownTypeWhilePresent();
    void answerFailures_data();
    void answerFailures();
    void apkFailingTwice();
    void batteryWarning_data();
    void batteryWarning();
    void unplugDuringStep_data();
    void unplugDuringStep();
    void closeDuringRun();
    void simulatedProgress_data();
    void simulatedProgress();
    void progressStopsAtTheCap();

private:
    void stopSim() { sim.stop(); }
    void writeConfig(const QString &region = QString())
    {
        QVERIFY(UpgradeCase::writeConfig(region));
    }
    void plug(const QString &fixture) { QVERIFY(UpgradeCase::plug(fixture)); }
    void pressStart() { QVERIFY(UpgradeCase::pressStart()); }
    QList<QJsonObject> webRequests(const QString &path) const { return sim.webRequests(path); }
    // The run's one finish box is a failure saying `code`'s message after `prefix`.
    void checkFailure(int code, const QString &prefix = QString())
    {
        QVERIFY(waitForBoxes(1));
        QCOMPARE(boxes->boxes.size(), 1);
        QCOMPARE(boxes->boxes.first().title, QStringLiteral("Failure"));
        QCOMPARE(boxes->boxes.first().text, prefix + messageText(code));
    }
    // The body of the run's one report once it has come; empty when none or more came.
    QJsonObject onlyReport() const
    {
        const QString path = QStringLiteral("/zev/version/addPcInstallStat");
        static_cast<void>(QTest::qWaitFor([&] { return !webRequests(path).isEmpty(); }, 10000));
        const QList<QJsonObject> reports = webRequests(path);
        return reports.size() == 1 ? reports.first().value(QStringLiteral("body")).toObject()
                                   : QJsonObject();
    }
    QStringList installedInOrder() const { return sim.installedInOrder(); }
    QJsonObject deviceState() const { return sim.deviceState(); }
    QString simFile(const QString &relative) const { return sim.file(relative); }
    QWidget *page() const;
};

void TestWorkflow::initTestCase()
{
    const QString missing = prepare();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(installProgram());
}

void TestWorkflow::init()
{
    QVERIFY(begin());
}

void TestWorkflow::cleanup()
{
    end();
}

QWidget *TestWorkflow::page() const
{
    return dialog->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->currentWidget();
}

void TestWorkflow::happyPath_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QString>("scenarioUsb");
    QTest::addColumn<QString>("workFolder");
    QTest::addColumn<int>("robotType");
    QTest::addColumn<QString>("serial");

    QTest::newRow("type 0") << k2M << QStringLiteral("18d1:4e26") << QStringLiteral("download/2M/")
                            << 0 << QStringLiteral("TV2A17030001");
    QTest::newRow("type 1") << k5M11 << QStringLiteral("2207:0011")
                            << QStringLiteral("download/5M/") << 1
                            << QStringLiteral("TV5B17050011");
}

void TestWorkflow::happyPath()
{
    QFETCH(QString, fixture);
    QFETCH(QString, scenarioUsb);
    QFETCH(QString, workFolder);
    QFETCH(int, robotType);
    QFETCH(QString, serial);

    QVERIFY(startSim({ { "usb", scenarioUsb },
        { "service", QJsonObject { { "serial", serial + QStringLiteral("#F01") } } } }));
    writeConfig();
    plug(fixture);
    makeDialog();
    const AdbArgvLog adb(dir->filePath(QStringLiteral("argv.log")));
    pressStart();
    QCOMPARE(page()->objectName(), QStringLiteral("downloadWidget"));
    QVERIFY(waitForBoxes(1));

    QCOMPARE(boxes->boxes.size(), 1);
    QCOMPARE(boxes->boxes.first().title, QStringLiteral("Success"));
    QCOMPARE(boxes->boxes.first().text,
        QStringLiteral("Root complete, please wait for your robot to restart!"));
    QCOMPARE(page()->objectName(), QStringLiteral("startWidget"));
    QVERIFY(dialog->findChild<QPushButton *>(QStringLiteral("pbStartUpgrade"))->isEnabled());
    QVERIFY(!dialog->taskRunning);
    QCOMPARE(dialog->stepState, StepState::Idle);

    // The right work folder holds the downloaded package.
    QVERIFY(dialog->currentWorkDir().endsWith(workFolder));
    QVERIFY2(
        QFile::exists(dialog->currentWorkDir() + sim.packageFile()), qPrintable(sim.packageFile()));

    const QJsonObject report = onlyReport();
    QCOMPARE(report.value(QStringLiteral("code")).toInt(-1), 0);
    QCOMPARE(report.value(QStringLiteral("serialNumber")).toString(), serial);
    QCOMPARE(report.value(QStringLiteral("robotType")).toInt(-1), robotType);

    QCOMPARE(installedInOrder(), kPlannedInstallOrder);
    const QList<QStringList> planned = plannedCommands(workFolder);
    QVERIFY(!planned.isEmpty());
    QCOMPARE(adb.commands(), planned);
    for (const char *file : { "device/sdcard/actions/hello.mp3",
             "device/sdcard/actions/dance/dance.hts", "device/sdcard/actions/step/step1.hts" })
        QVERIFY2(QFile::exists(simFile(QLatin1String(file))), file);
    QVERIFY(deviceState().value(QStringLiteral("started")).toArray().contains(kServiceActivity));

    const QString log = newLog();
    for (const char *line : { "testUsbConnectRobot", "get robot serialnum start...",
             "Get robot version sucessfull!", "Start downloading...",
             "Extract the upgrade zip file...", "rooting please wait for about three minitues..." })
        QVERIFY2(log.contains(QLatin1String(line)), line);
    QVERIFY(log.contains(QStringLiteral("read serialnum : %1 sucessfull...").arg(serial)));
    const QStringList unexpected = unexpectedLogLines(log);
    QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(QLatin1Char('\n'))));

    // Each run's serial and unpacking threads end once their answer is in.
    QTRY_COMPARE_WITH_TIMEOUT(dialog->findChildren<QThread *>().size(), 0, 5000);
}

void TestWorkflow::cachedPackageIsReused()
{
    QVERIFY(startSim({}));
    writeConfig();
    plug(k2M);
    makeDialog();
    pressStart();
    QVERIFY(waitForBoxes(1));
    QCOMPARE(boxes->boxes.last().title, QStringLiteral("Success"));
    QCOMPARE(webRequests(QStringLiteral("/download/")).size(), 1);

    // The next run's answer names the package already in the work folder.
    auto *event = dialog->findChild<QLabel *>(QStringLiteral("lbDownloadEvent"));
    QStringList texts;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (texts.isEmpty() || texts.last() != event->text())
            texts << event->text();
    });
    watch.start(1);
    pressStart();
    QVERIFY(waitForBoxes(2));
    watch.stop();
    QCOMPARE(boxes->boxes.last().title, QStringLiteral("Success"));
    QCOMPARE(webRequests(QStringLiteral("/download/")).size(), 1);
    QCOMPARE(webRequests(QStringLiteral("/zev/version/findPcInstallApk")).size(), 2);
    QVERIFY(!texts.contains(QStringLiteral("downloading...")));
    const int answer = texts.indexOf(
        QStringLiteral("Request the latest upgrade software version information..."));
    QVERIFY2(answer >= 0, qPrintable(texts.join(QLatin1Char('|'))));
    QCOMPARE(texts.value(answer + 1), QStringLiteral("Check upgrade file..."));
    QCOMPARE(newLog().count(QStringLiteral("Start downloading...")), 1);
}

void TestWorkflow::emptySerialNumber()
{
    QVERIFY(startSim({ { "service", QJsonObject { { "silent", true } } } }));
    writeConfig();
    plug(k2M);
    makeDialog();
    QElapsedTimer elapsed;
    elapsed.start();
    pressStart();
    QVERIFY(waitForBoxes(1));
    QCOMPARE(boxes->boxes.first().title, QStringLiteral("Success"));
    // The reader waited its full time for an answer that never came.
    QVERIFY2(elapsed.elapsed() >= 5000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY(newLog().contains(QStringLiteral("read serialnum failure!")));
    const QJsonObject report = onlyReport();
    QCOMPARE(report.value(QStringLiteral("serialNumber")).toString(), QString());
    QCOMPARE(report.value(QStringLiteral("code")).toInt(-1), 0);
}

void TestWorkflow::noRobot()
{
    // The start ends every adb process on the machine: this case holds the simulator's
    // machine-wide lock like the others, so that no other simulator's adb server is in use.
    QVERIFY(startSim({}));
    writeConfig();
    makeDialog();
    pressStart();
    checkFailure(utils::kRobotNotFound);
    QVERIFY(newLog().contains(QStringLiteral("usb not connect or robot shutdown!")));
    QCOMPARE(page()->objectName(), QStringLiteral("startWidget"));
    // A report would leave with the finish box; 500 ms let it reach the loopback service.
    QVERIFY(!QTest::qWaitFor(
        [&] { return !webRequests(QStringLiteral("/zev/version/")).isEmpty(); }, 500));
}

void TestWorkflow::englishRegionWithType0Robot()
{
    // In a process namespace of its own no other test's tool can end the adb-named process
    // below; a tool run outside namespaces still could.
    QVERIFY(startSim({}));
    writeConfig(QStringLiteral("EN"));
    plug(k2M);
    // A process named adb must survive: the check comes before any process is ended.
    const QString sentinel = dir->filePath(QStringLiteral("adb"));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), sentinel));
    QProcess adb;
    adb.start(sentinel, { QStringLiteral("60") });
    QVERIFY(adb.waitForStarted(5000));

    makeDialog();
    pressStart();
    checkFailure(utils::kBuildTooOld);
    QCOMPARE(adb.state(), QProcess::Running);
    adb.kill();
    adb.waitForFinished(5000);
    const QString log = newLog();
    QVERIFY(!log.contains(QStringLiteral("testUsbConnectRobot")));
    // No adb command reached the robot.
    QVERIFY(textLines(simFile(QStringLiteral("commands.log"))).isEmpty());
}

void TestWorkflow::buildChecks_data()
{
    QTest::addColumn<QString>("buildVersion");
    QTest::addColumn<QString>("kernelVersion");
    QTest::addColumn<QString>("title");

    const QString kernelLimit = QString::number(QDateTime::fromString(
        QStringLiteral("2016-07-20 18:31:33"), QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                                                    .toSecsSinceEpoch());
    QTest::newRow("system one second below the limit")
        << QStringLiteral("20160721195945") << kernelLimit << QStringLiteral("Failure");
    QTest::newRow("system and kernel at the limits")
        << QStringLiteral("20160721195946") << kernelLimit << QStringLiteral("Success");
    QTest::newRow("kernel one second below the limit")
        << QStringLiteral("20160721195946") << QString::number(kernelLimit.toLongLong() - 1)
        << QStringLiteral("Failure");
    QTest::newRow("system build with month 13 does not parse and passes")
        << QStringLiteral("20161321195946") << kernelLimit << QStringLiteral("Success");
}

void TestWorkflow::buildChecks()
{
    QFETCH(QString, buildVersion);
    QFETCH(QString, kernelVersion);
    QFETCH(QString, title);

    QVERIFY(startSim({ { "build_prop",
        QJsonObject { { "ro.build.version.incremental", buildVersion },
            { "ro.build.date.utc", kernelVersion } } } }));
    writeConfig();
    plug(k2M);
    makeDialog();
    pressStart();
    QVERIFY(waitForBoxes(1));
    QCOMPARE(boxes->boxes.size(), 1);
    QVERIFY2(boxes->boxes.first().title == title, qPrintable(boxes->boxes.first().text));
    if (title == QLatin1String("Failure")) {
        QCOMPARE(boxes->boxes.first().text, messageText(utils::kBuildTooOld));
        // Past the base information: the failure is reported.
        QVERIFY(!onlyReport().isEmpty());
        QCOMPARE(webRequests(QStringLiteral("/zev/version/findPcInstallApk")).size(), 0);
    }
}

// The adb library hands over digits only; the dialog's own check also sees values that the
// library never produces today, such as a negative kernel time.
void TestWorkflow::buildCheckValues_data()
{
    QTest::addColumn<QString>("buildVersion");
    QTest::addColumn<qint64>("kernelOffset");
    QTest::addColumn<bool>("kernelMinusOne");
    QTest::addColumn<bool>("passes");

    QTest::newRow("at both limits")
        << QStringLiteral("20160721195946") << qint64(0) << false << true;
    QTest::newRow("system one second below")
        << QStringLiteral("20160721195945") << qint64(0) << false << false;
    QTest::newRow("kernel one second below")
        << QStringLiteral("20160721195946") << qint64(-1) << false << false;
    QTest::newRow("kernel -1, large when unsigned")
        << QStringLiteral("20170315120000") << qint64(0) << true << false;
    QTest::newRow("empty system build passes") << QString() << qint64(0) << false << true;
    QTest::newRow("text system build passes")
        << QStringLiteral("eng.builder") << qint64(0) << false << true;
}

void TestWorkflow::buildCheckValues()
{
    QFETCH(QString, buildVersion);
    QFETCH(qint64, kernelOffset);
    QFETCH(bool, kernelMinusOne);
    QFETCH(bool, passes);

    const qint64 kernelLimit = QDateTime::fromString(
        QStringLiteral("2016-07-20 18:31:33"), QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                                   .toSecsSinceEpoch();
    RobotTarvo2 robot;
    robot.buildVersion = buildVersion;
    robot.kernelVersion = kernelMinusOne ? -1 : static_cast<qint32>(kernelLimit + kernelOffset);
    makeDialog();
    QCOMPARE(dialog->buildsPassChecks(robot), passes);
}

// Hotplug sets the flag but not the type; a dialog that has not scanned a robot yet then holds
// an attached device of unknown type when the base information arrives.
void TestWorkflow::unknownTypeWhilePresent()
{
    makeDialog();
    QVERIFY(!dialog->isUsbConnected());
    QCOMPARE(dialog->currentRobotType(), 255);
    plug(k2M);
    QTRY_VERIFY_WITH_TIMEOUT(dialog->isUsbConnected(), 5000);
    QCOMPARE(dialog->currentRobotType(), 255);

    auto robot = std::make_shared<RobotTarvo2>();
    robot->buildVersion = QStringLiteral("20170315120000");
    robot->kernelVersion = 1489550400;
    emit dialog->sigOnGetRobotBaseInfo(robot);
    checkFailure(utils::kRobotTypeWrong);
}

void TestWorkflow::answerFailures_data()
{
    QTest::addColumn<QJsonObject>("answer");
    QTest::addColumn<int>("code"); // in the box and the report
    QTest::addColumn<int>("downloads");

    QTest::newRow("invalid answer")
        << QJsonObject { { "valid", false } } << int(utils::kUpgradeInfoBad) << 0;
    QTest::newRow("no download URL")
        << QJsonObject { { "downloadUrl", QJsonValue::Null } } << int(utils::kUpgradeInfoBad) << 0;
    QTest::newRow("wrong MD5") << QJsonObject { { "md5",
        QStringLiteral("0123456789abcdef0123456789abcdef") } }
                               << int(utils::kPackageMd5Mismatch) << 1;
}

void TestWorkflow::answerFailures()
{
    QFETCH(QJsonObject, answer);
    QFETCH(int, code);
    QFETCH(int, downloads);

    QVERIFY(startSim({ { "web", QJsonObject { { "answer", answer } } } }));
    writeConfig();
    plug(k2M);
    makeDialog();
    pressStart();
    checkFailure(code);
    QCOMPARE(webRequests(QStringLiteral("/download/")).size(), downloads);
    QCOMPARE(onlyReport().value(QStringLiteral("code")).toInt(-1), code);
    QVERIFY(installedInOrder().isEmpty());
}

void TestWorkflow::apkFailingTwice()
{
    QVERIFY(startSim({ { "install_answers",
        QJsonObject { { kServicePackage,
            QJsonArray { "INSTALL_FAILED_INVALID_APK", "INSTALL_FAILED_INVALID_APK" } } } } }));
    writeConfig();
    plug(k2M);
    makeDialog();
    pressStart();
    checkFailure(utils::kMainServiceInstallFailed, QStringLiteral("Tarvo2Services.apk"));
    QCOMPARE(onlyReport().value(QStringLiteral("code")).toInt(-1),
        int(utils::kMainServiceInstallFailed));
}

void TestWorkflow::batteryWarning_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("ac");
    QTest::addColumn<bool>("warned");
    QTest::newRow("exactly 0.6 without AC") << 60 << false << true;
    QTest::newRow("0.61 without AC") << 61 << false << false;
    QTest::newRow("0.3 on AC") << 30 << true << false;
}

void TestWorkflow::batteryWarning()
{
    QFETCH(int, level);
    QFETCH(bool, ac);
    QFETCH(bool, warned);

    QVERIFY(startSim({ { "battery",
        QJsonObject { { "ac", ac }, { "usb", false }, { "level", level }, { "scale", 100 } } } }));
    writeConfig();
    plug(k2M);
    makeDialog();
    pressStart();
    QVERIFY(waitForBoxes(warned ? 2 : 1));
    QCOMPARE(boxes->boxes.size(), warned ? 2 : 1);
    if (warned) {
        QCOMPARE(boxes->boxes.first().title, QStringLiteral("Warnning"));
        QCOMPARE(boxes->boxes.first().text,
            QStringLiteral("Your tarvo's power is less than 60%,please make sure Tarvo is "
                           "charging before upgrade!"));
    }
    // The push and the rest of the chain go on after the warning.
    QCOMPARE(boxes->boxes.last().title, QStringLiteral("Success"));
    QCOMPARE(installedInOrder(), kPlannedInstallOrder);
}

void TestWorkflow::unplugDuringStep_data()
{
    QTest::addColumn<StepState>("step");
    QTest::addColumn<QString>("service"); // the robot's answer to it is slow enough to unplug
    QTest::newRow("base information") << StepState::ReadingBaseInfo << "shell:busybox arp*";
    QTest::newRow("push") << StepState::PushingFiles << "sync:";
    QTest::newRow("install") << StepState::InstallingApps << "shell:pm 'install'*";
}

// Only the USB device goes; adb still reaches the robot, so nothing but the dialog's own reaction
// to the unplug can end the run with 20002.
void TestWorkflow::unplugDuringStep()
{
    QFETCH(StepState, step);
    QFETCH(QString, service);
    QVERIFY(startSim({ { "rules",
        QJsonArray {
            QJsonObject { { "match", service }, { "delay_ms", 3000 }, { "times", 1 } } } } }));
    writeConfig();
    plug(k2M);
    makeDialog();
    pressStart();
    QTRY_VERIFY_WITH_TIMEOUT(dialog->stepState == step, 60000);
    const QString seen = service.left(service.indexOf(QLatin1Char('*')));
    QTRY_VERIFY_WITH_TIMEOUT(
        textLines(simFile(QStringLiteral("commands.log"))).join('\n').contains(seen), 10000);
    unplug(k2M);
    checkFailure(utils::kUsbDisconnected);
    QVERIFY(installedInOrder().isEmpty());
    QCOMPARE(dialog->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"))->value(), -1);
    QVERIFY(!dialog->progressTimer.isActive());
}

void TestWorkflow::closeDuringRun()
{
    // The download is slow enough to ask twice while it runs.
    QVERIFY(startSim({ { "web",
        QJsonObject { { "faults",
            QJsonArray { QJsonObject { { "target", "download" }, { "rate", 1000 } } } } } } }));
    writeConfig();
    plug(k2M);
    makeDialog();
    boxes->answers[QStringLiteral("Exit")]
        = QStringList { QStringLiteral("No"), QStringLiteral("Yes") };
    pressStart();
    QTRY_VERIFY_WITH_TIMEOUT(newLog().contains(QStringLiteral("Start downloading...")), 60000);

    dialog->close();
    QCOMPARE(boxes->boxes.size(), 1);
    QCOMPARE(boxes->boxes.first().title, QStringLiteral("Exit"));
    QCOMPARE(boxes->boxes.first().text,
        QStringLiteral("A task is running , end the operation and exit?"));
    QVERIFY(dialog->isVisible());
    QVERIFY(dialog->taskRunning);

    dialog->close();
    QCOMPARE(boxes->boxes.size(), 2);
    QCOMPARE(boxes->boxes.at(1).answer, QStringLiteral("Yes"));
    QVERIFY(!dialog->isVisible());
    // The program would end here; the dialog goes away in the middle of the run.
}

void TestWorkflow::simulatedProgress_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("interval");
    QTest::newRow("camera") << 2 << 500;
    QTest::newRow("language application") << 3 << 10;
    QTest::newRow("main service") << 1 << 1000;
    QTest::newRow("other") << 4 << 1000;
}

void TestWorkflow::simulatedProgress()
{
    QFETCH(int, kind);
    QFETCH(int, interval);
    makeDialog();
    auto app = std::make_shared<App>();
    app->id = kind;
    app->name = QStringLiteral("Some.apk");
    auto *bar = dialog->findChild<QProgressBar *>(QStringLiteral("installProgressBar"));
    auto *event = dialog->findChild<QLabel *>(QStringLiteral("lbInstallEvent"));
    auto *item = dialog->findChild<QLabel *>(QStringLiteral("lbInstallPackageName"));

    // A failed attempt starts nothing.
    dialog->onInstallingApp(app, utils::makeError(20005));
    QVERIFY(!dialog->progressTimer.isActive());

    dialog->onInstallingApp(app, utils::makeError(0));
    QVERIFY(dialog->progressTimer.isActive());
    QCOMPARE(dialog->progressTimer.interval(), interval);
    QVERIFY(dialog->fakeProgressCap >= 95 && dialog->fakeProgressCap <= 99);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(event->text(), QStringLiteral("Installing:"));
    QCOMPARE(item->text(), QStringLiteral("Some.apk"));

    dialog->onInstallOneFinished(app, utils::makeError(0));
    QVERIFY(!dialog->progressTimer.isActive());
    QCOMPARE(bar->value(), bar->minimum() - 1);
    QCOMPARE(event->text(), QStringLiteral("Installation complete:"));

    dialog->onUninstallStart();
    QCOMPARE(dialog->progressTimer.interval(), 50);
    QCOMPARE(event->text(), QStringLiteral("uninstall apps"));
    QCOMPARE(item->text(), QStringLiteral("please wait..."));
}

void TestWorkflow::progressStopsAtTheCap()
{
    makeDialog();
    auto app = std::make_shared<App>();
    app->id = 3;
    auto *bar = dialog->findChild<QProgressBar *>(QStringLiteral("installProgressBar"));
    dialog->onInstallingApp(app, utils::makeError(0));
    const int cap = dialog->fakeProgressCap;
    // One step per 10 ms: the cap is reached after about a second and then held.
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), cap, 5000);
    // 200 ms: twenty more steps, had the bar not stopped.
    QVERIFY(!QTest::qWaitFor([&] { return bar->value() != cap; }, 200));
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(dialog->fakeProgressValue > cap);
}

int main(int argc, char **argv)
{
    if (!dialogharness::underUmockdev(argv, "tst_workflow", "15139"))
        return 1;
    // A case may first wait up to five minutes for another simulator to leave the robot's ports.
    setenv("QTEST_FUNCTION_TIMEOUT", "900000", 0);
    QApplication app(argc, argv);
    TestWorkflow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_workflow.moc"
