// Faults against the real dialog, in process and offscreen, with Debian's adb, the simulated robot
// (adbd, robot service, web service) and the robot's USB device under umockdev's testbed. Every
// case must end in exactly one finish box, leave the dialog ready for the next run, never take a
// partial package for a complete one and run nothing on the robot's shell that the tool did not
// mean to run.

// GLib first: its headers use "signals" as a plain name, which Qt's headers define away.
#include "../support/usbfixture.h"

#include "tarvo2_upgradetool.h"

#include <fileutils.h>

#include <QtTest>
#include <QtWidgets>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <unistd.h>

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");
const QString kSystemAdb = QStringLiteral("/usr/bin/adb");
const QString k2M = QStringLiteral("tarvo2-18d1-4e26.umockdev");
const QString kServicePackage = QStringLiteral("com.norvikinc.tarvo2services");
const int kFullInstall = 4;

QList<QJsonObject> jsonLines(const QString &path)
{
    QList<QJsonObject> result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            result << QJsonDocument::fromJson(line).object();
    }
    return result;
}

QStringList textLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

struct BoxRecord
{
    QString title;
    QString text;
};

// Answers every message box with its first button as soon as it shows, and records it.
class BoxAnswerer : public QObject
{
    Q_OBJECT
public:
    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(20);
    }

    QList<BoxRecord> boxes;

private:
    void poll()
    {
        const QWidgetList widgets = QApplication::topLevelWidgets();
        for (QWidget *widget : widgets) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible() || box->property("zevAnswered").toBool())
                continue;
            box->setProperty("zevAnswered", true);
            boxes << BoxRecord { box->windowTitle(), box->text() };
            const QList<QAbstractButton *> buttons = box->buttons();
            if (!buttons.isEmpty())
                QTimer::singleShot(0, buttons.first(), &QAbstractButton::click);
        }
    }

    QTimer timer;
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void unplugAtStep_data();
    void unplugAtStep();
    void silentRobotAtStep_data();
    void silentRobotAtStep();
    void webFaults_data();
    void webFaults();
    void corruptedCachedPackage();
    void hostileNames();
    void twoRobots();
    void unplugDuringDownload();

private:
    bool startSim(const QJsonObject &scenario);
    void stopSim();
    void writeConfig();
    void plug();
    void unplug();
    void pressStart();
    bool waitForBoxes(int count, int timeoutMs);
    void checkReadyForNextRun();
    void checkNoWritesOutsideWorkFolders();
    QList<QJsonObject> webRequests(const QString &path) const;
    QStringList installed() const;
    QString simFile(const QString &relative) const
    {
        return stateDir + QLatin1Char('/') + relative;
    }
    QString newLog() const;
    // The type 0 robot's work folder.
    static QString workDir() { return FileUtils::appDirPath() + QStringLiteral("/download/2M/"); }

    UMockdevTestbed *testbed = nullptr;
    QTemporaryDir *dir = nullptr;
    QString stateDir;
    QString simctl;
    bool simRunning = false;
    bool plugged = false;
    int webPort = 0;
    QString packageFile;
    QStringList appDirBefore;
    qint64 logOffset = 0;
    Tarvo2_UpgradeTool *dialog = nullptr;
    BoxAnswerer *boxes = nullptr;
};

void TestFaults::initTestCase()
{
    if (!QFile::exists(kSystemAdb) || !QFile::exists(kPython))
        QSKIP("Debian's adb or python3 is not installed");
    qRegisterMetaType<AppPtr>("AppPtr");
    qRegisterMetaType<utils::ZEVErrorPtr>("utils::ZEVErrorPtr");
    qRegisterMetaType<RobotTarvo2Ptr>("RobotTarvo2Ptr");
    qRegisterMetaType<QList<AppPtr>>("QList<AppPtr>");
    simctl = qEnvironmentVariable("ZEV_SOURCE_DIR") + QStringLiteral("/tools/robot-sim/simctl.py");
    QVERIFY2(QFile::exists(simctl), qPrintable(simctl));

    // The dialog runs "fastbootfile/adb" beside the program; umockdev's preload is for the
    // dialog's libusb only.
    const QString fastboot = FileUtils::appDirPath() + QStringLiteral("/fastbootfile");
    QVERIFY(QDir().mkpath(fastboot));
    QFile wrapper(fastboot + QStringLiteral("/adb"));
    wrapper.remove();
    QVERIFY(wrapper.open(QIODevice::WriteOnly));
    wrapper.write("#!/bin/sh\nunset LD_PRELOAD\nexec /usr/bin/adb \"$@\"\n");
    wrapper.close();
    QVERIFY(wrapper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QDir().mkpath(FileUtils::logDirPath()));
}

void TestFaults::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    stateDir = dir->filePath(QStringLiteral("robot"));
    testbed = umockdev_testbed_new();
    QVERIFY(testbed);
    FileUtils::removeTree(FileUtils::appDirPath() + QStringLiteral("/download"));
    boxes = new BoxAnswerer;
    QFile log(FileUtils::logDirPath() + QLatin1Char('/')
        + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log"));
    logOffset = log.exists() ? log.size() : 0;
}

void TestFaults::cleanup()
{
    delete dialog;
    dialog = nullptr;
    delete boxes;
    boxes = nullptr;
    QProcess::execute(FileUtils::appDirPath() + QStringLiteral("/fastbootfile/adb"),
        { QStringLiteral("kill-server") });
    stopSim();
    if (plugged)
        unplug();
    g_object_unref(testbed);
    testbed = nullptr;
    delete dir;
    dir = nullptr;
}

bool TestFaults::startSim(const QJsonObject &scenario)
{
    const QString scenarioPath = dir->filePath(QStringLiteral("scenario.json"));
    QFile file(scenarioPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(scenario).toJson());
    file.close();
    QProcess p;
    p.start(kPython,
        { simctl, QStringLiteral("start"), QStringLiteral("--state-dir"), stateDir,
            QStringLiteral("--scenario"), scenarioPath });
    if (!p.waitForFinished(340000) || p.exitCode() != 0) {
        qWarning("robot-sim: %s", p.readAllStandardError().constData());
        return false;
    }
    simRunning = true;
    const QJsonObject ports = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    webPort = ports.value(QStringLiteral("web")).toInt();
    packageFile = QFileInfo(
        ports.value(QStringLiteral("package")).toObject().value(QStringLiteral("file")).toString())
                      .fileName();
    return webPort > 0;
}

void TestFaults::stopSim()
{
    if (!simRunning)
        return;
    QProcess::execute(
        kPython, { simctl, QStringLiteral("stop"), QStringLiteral("--state-dir"), stateDir });
    simRunning = false;
}

void TestFaults::writeConfig()
{
    QVERIFY(QDir().mkpath(FileUtils::configDirPath()));
    const QJsonObject config { { QStringLiteral("default_request_url"),
        QStringLiteral("http://127.0.0.1:%1").arg(webPort) } };
    QFile file(FileUtils::configDirPath() + QStringLiteral("/config.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(config).toJson());
}

void TestFaults::plug()
{
    QVERIFY(usbfixture::plug(testbed, k2M));
    plugged = true;
}

void TestFaults::unplug()
{
    usbfixture::unplug(testbed, k2M);
    plugged = false;
}

void TestFaults::pressStart()
{
    if (!dialog) {
        dialog = new Tarvo2_UpgradeTool;
        dialog->show();
        appDirBefore
            = QDir(FileUtils::appDirPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }
    auto *start = dialog->findChild<QPushButton *>(QStringLiteral("pbStartUpgrade"));
    QVERIFY(start);
    QVERIFY(start->isEnabled());
    QTest::mouseClick(start, Qt::LeftButton);
}

bool TestFaults::waitForBoxes(int count, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (boxes->boxes.size() < count && waited.elapsed() < timeoutMs)
        QTest::qWait(20);
    // A second finish would follow closely; give it the chance to show.
    QTest::qWait(1000);
    return boxes->boxes.size() >= count;
}

void TestFaults::checkReadyForNextRun()
{
    QVERIFY(dialog->findChild<QPushButton *>(QStringLiteral("pbStartUpgrade"))->isEnabled());
    QCOMPARE(dialog->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))
                 ->currentWidget()
                 ->objectName(),
        QStringLiteral("startWidget"));
    // No progress goes on behind the start page.
    auto *progress = dialog->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"));
    const int value = progress->value();
    QTest::qWait(1200);
    QCOMPARE(progress->value(), value);
}

// The program writes only into its work folders, Log/, config/ and the adb helper's folder.
void TestFaults::checkNoWritesOutsideWorkFolders()
{
    const QStringList now
        = QDir(FileUtils::appDirPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &name : now) {
        if (appDirBefore.contains(name))
            continue;
        QVERIFY2(
            name == QLatin1String("download") || name == QLatin1String("Log"), qPrintable(name));
    }
}

QList<QJsonObject> TestFaults::webRequests(const QString &path) const
{
    QList<QJsonObject> result;
    for (const QJsonObject &request : jsonLines(simFile(QStringLiteral("web.log")))) {
        if (request.value(QStringLiteral("path")).toString().startsWith(path))
            result << request;
    }
    return result;
}

QStringList TestFaults::installed() const
{
    QStringList names;
    for (const QJsonObject &line : jsonLines(simFile(QStringLiteral("exec.log")))) {
        const QJsonArray argv = line.value(QStringLiteral("argv")).toArray();
        if (argv.size() >= 3 && argv.at(0).toString() == QLatin1String("pm")
            && argv.at(1).toString() == QLatin1String("install"))
            names << QFileInfo(argv.last().toString()).fileName();
    }
    return names;
}

QString TestFaults::newLog() const
{
    QFile log(FileUtils::logDirPath() + QLatin1Char('/')
        + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log"));
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    log.seek(logOffset);
    return QString::fromUtf8(log.readAll());
}

void TestFaults::unplugAtStep_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("service");
    QTest::addColumn<QJsonObject>("extra");

    QTest::newRow("serial") << "serial"
                            << "tcp:6102" << QJsonObject();
    QTest::newRow("base information") << "base_info"
                                      << "shell:cat /system/build.prop" << QJsonObject();
    QTest::newRow("checks") << "battery"
                            << "shell:dumpsys battery" << QJsonObject();
    QTest::newRow("push") << "push"
                          << "shell:mkdir /sdcard/actions/" << QJsonObject();
    QTest::newRow("uninstall after a failed install")
        << "uninstall"
        << "shell:pm list packages"
        << QJsonObject { { "install_answers",
               QJsonObject { { kServicePackage, QJsonArray { "INSTALL_FAILED_INVALID_APK" } } } } };
    QTest::newRow("install") << "install"
                             << "shell:pm 'install'" << QJsonObject();
}

// The cable comes out as the step's first adb service reaches the robot: adb loses the device
// and USB reports it gone.
void TestFaults::unplugAtStep()
{
    QFETCH(QString, step);
    QFETCH(QString, service);
    QFETCH(QJsonObject, extra);

    QJsonObject scenario = extra;
    scenario.insert(QStringLiteral("unplug"), QJsonObject { { "at", step } });
    QVERIFY(startSim(scenario));
    writeConfig();
    plug();

    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        for (const QString &line : textLines(simFile(QStringLiteral("commands.log")))) {
            if (line.startsWith(service)) {
                watch.stop();
                unplug();
                return;
            }
        }
    });
    watch.start(10);
    pressStart();
    QVERIFY(waitForBoxes(1, 240000));
    QVERIFY2(!plugged, "the step was never reached");

    QCOMPARE(boxes->boxes.size(), 1);
    QVERIFY2(boxes->boxes.first().title == QLatin1String("Failure"),
        qPrintable(boxes->boxes.first().text));
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
    QVERIFY(newLog().contains(QStringLiteral("Start Upgrade")));

    // With the robot back, the same dialog upgrades it; it read the web service's address when
    // it started.
    const int port = webPort;
    stopSim();
    QVERIFY(startSim(QJsonObject { { "web", QJsonObject { { "port", port } } } }));
    plug();
    pressStart();
    QVERIFY(waitForBoxes(2, 240000));
    QCOMPARE(boxes->boxes.size(), 2);
    QVERIFY2(boxes->boxes.last().title == QLatin1String("Success"),
        qPrintable(boxes->boxes.last().text));
}

void TestFaults::silentRobotAtStep_data()
{
    QTest::addColumn<QString>("service");

    QTest::newRow("base information") << "shell:cat /system/build.prop*";
    QTest::newRow("battery") << "shell:dumpsys battery*";
    QTest::newRow("push") << "sync:*";
    QTest::newRow("install") << "shell:pm 'install'*";
}

// adb stays connected but the robot answers nothing: each step must give up within its bound.
void TestFaults::silentRobotAtStep()
{
    QFETCH(QString, service);

    QVERIFY(startSim(QJsonObject {
        { "rules", QJsonArray { QJsonObject { { "match", service }, { "freeze", true } } } } }));
    writeConfig();
    plug();
    pressStart();
    QVERIFY2(waitForBoxes(1, 280000), "no finish box: the run waits forever");
    QCOMPARE(boxes->boxes.size(), 1);
    QVERIFY(installed().size() < kFullInstall || boxes->boxes.first().title == "Success");
    checkReadyForNextRun();
}

void TestFaults::webFaults_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("title");

    const auto fault = [](const char *target, const char *key, const QJsonValue &value) {
        return QJsonObject { { "target", target }, { key, value } };
    };
    QTest::newRow("newest package 404") << fault("find", "status", 404) << "Failure";
    QTest::newRow("newest package 500") << fault("find", "status", 500) << "Failure";
    QTest::newRow("newest package garbage JSON") << fault("find", "garbage", true) << "Failure";
    QTest::newRow("newest package redirect loop") << fault("find", "redirect", "loop") << "Failure";
    QTest::newRow("newest package dropped") << fault("find", "drop", true) << "Failure";
    QTest::newRow("download 404") << fault("download", "status", 404) << "Failure";
    QTest::newRow("download 500") << fault("download", "status", 500) << "Failure";
    QTest::newRow("download redirect loop") << fault("download", "redirect", "loop") << "Failure";
    // Each answer stops after 3000 bytes: the download resumes where it stopped.
    QTest::newRow("download cut every 3000 bytes")
        << fault("download", "cut_after", 3000) << "Success";
    QTest::newRow("download slow trickle") << fault("download", "rate", 20000) << "Success";
}

void TestFaults::webFaults()
{
    QFETCH(QJsonObject, fault);
    QFETCH(QString, title);

    QVERIFY(
        startSim(QJsonObject { { "web", QJsonObject { { "faults", QJsonArray { fault } } } } }));
    writeConfig();
    plug();
    pressStart();
    QVERIFY(waitForBoxes(1, 240000));
    QCOMPARE(boxes->boxes.size(), 1);
    QVERIFY2(boxes->boxes.first().title == title, qPrintable(boxes->boxes.first().text));
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
    const QString complete = workDir() + packageFile;
    if (title == QLatin1String("Failure")) {
        QVERIFY(installed().isEmpty());
        QVERIFY2(!QFile::exists(complete), "a partial package kept under the complete name");
    } else {
        QCOMPARE(installed().size(), kFullInstall);
    }
}

// A cached package that no longer matches the announced digest is fetched again, never
// installed.
void TestFaults::corruptedCachedPackage()
{
    QVERIFY(startSim(QJsonObject()));
    writeConfig();
    plug();
    pressStart();
    QVERIFY(waitForBoxes(1, 240000));
    QVERIFY2(boxes->boxes.last().title == QLatin1String("Success"),
        qPrintable(boxes->boxes.last().text));
    const QString cached = workDir() + packageFile;
    QVERIFY(QFile::exists(cached));

    QFile file(cached);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(file.size() / 2));
    QByteArray middle = file.peek(16);
    for (char &c : middle)
        c = static_cast<char>(~c);
    QVERIFY(file.write(middle) == middle.size());
    file.close();

    pressStart();
    QVERIFY(waitForBoxes(2, 240000));
    QCOMPARE(boxes->boxes.size(), 2);
    QVERIFY2(boxes->boxes.last().title == QLatin1String("Success"),
        qPrintable(boxes->boxes.last().text));
    QCOMPARE(webRequests(QStringLiteral("/download/")).size(), 2);
    checkReadyForNextRun();
}

// Action folders and APK names with shell metacharacters, quotes, blanks and non-ASCII text are
// pushed and installed as they are, and the robot's shell runs nothing hidden in them.
void TestFaults::hostileNames()
{
    const QJsonArray apks {
        QJsonObject { { "file", "Tarvo2Services.apk" }, { "package", kServicePackage },
            { "version", "1.2.3" }, { "size", 4096 } },
        QJsonObject { { "file", "my game $(reboot) `id`;x.apk" }, { "package", "com.example.game" },
            { "version", "1.0" }, { "size", 1024 } },
        QJsonObject { { "file", QString::fromUtf8("机器人 'quote' \"dq\".apk") },
            { "package", "com.example.robot" }, { "version", "1.0" }, { "size", 1024 } },
    };
    const QJsonObject actions {
        { "actions/hello.hts", "wave\n" },
        { "actions/$(touch pwned)/a.hts", "sub\n" },
        { "actions/a;reboot/b.hts", "semi\n" },
        { "actions/it's \"here\"/c.hts", "quotes\n" },
        { QString::fromUtf8("actions/舞蹈 dance/d.hts"), "cjk\n" },
        { "actions/`id` & | > x/e.hts", "ops\n" },
    };
    QVERIFY(startSim(QJsonObject { { "web",
        QJsonObject {
            { "package", QJsonObject { { "apks", apks }, { "actions", actions } } } } } }));
    writeConfig();
    plug();
    pressStart();
    QVERIFY(waitForBoxes(1, 240000));
    QCOMPARE(boxes->boxes.size(), 1);
    QVERIFY2(boxes->boxes.first().title == QLatin1String("Success"),
        qPrintable(boxes->boxes.first().text));

    for (const QJsonObject &line : jsonLines(simFile(QStringLiteral("exec.log")))) {
        QVERIFY2(!line.contains(QStringLiteral("substitution")),
            QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
        const QString program = line.value(QStringLiteral("argv")).toArray().first().toString();
        QVERIFY2(QStringList({ "cat", "busybox", "dumpsys", "df", "mkdir", "rm", "pm", "am",
                                 "reboot", "echo", "getprop", "sh", "chmod", "ls" })
                     .contains(program),
            QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
        QVERIFY(program != QLatin1String("reboot") && program != QLatin1String("touch"));
    }
    QVERIFY(!QFile::exists(simFile(QStringLiteral("device/pwned"))));
    QVERIFY(QFile::exists(simFile(QStringLiteral("device/sdcard/actions/$(touch pwned)/a.hts"))));
    QVERIFY(QFile::exists(simFile(QStringLiteral("device/sdcard/actions/a;reboot/b.hts"))));
    QVERIFY(QFile::exists(simFile(QString::fromUtf8("device/sdcard/actions/舞蹈 dance/d.hts"))));
    QCOMPARE(installed().size(), apks.size());
}

// Two robots on adb: every command would need a serial the tool does not give, so the run ends
// at once with a failure rather than upgrading either of them.
void TestFaults::twoRobots()
{
    QVERIFY(startSim(QJsonObject { { "adb_ports", QJsonArray { 5555, 5557 } } }));
    writeConfig();
    plug();
    pressStart();
    QVERIFY(waitForBoxes(1, 240000));
    QCOMPARE(boxes->boxes.size(), 1);
    QVERIFY2(boxes->boxes.first().title == QLatin1String("Failure"),
        qPrintable(boxes->boxes.first().text));
    QVERIFY(installed().isEmpty());
    checkReadyForNextRun();
}

// The cable comes out while the package downloads: the download may finish, but nothing is
// pushed or installed, and the run ends with one failure.
void TestFaults::unplugDuringDownload()
{
    QVERIFY(startSim(QJsonObject { { "web",
        QJsonObject { { "faults",
            QJsonArray { QJsonObject { { "target", "download" }, { "rate", 4000 } } } } } } }));
    writeConfig();
    plug();
    pressStart();
    QTRY_VERIFY_WITH_TIMEOUT(newLog().contains(QStringLiteral("Start downloading...")), 120000);
    QTest::qWait(500);
    unplug();
    QVERIFY(waitForBoxes(1, 240000));
    QCOMPARE(boxes->boxes.size(), 1);
    QVERIFY2(boxes->boxes.first().title == QLatin1String("Failure"),
        qPrintable(boxes->boxes.first().text));
    QVERIFY(installed().isEmpty());
    QVERIFY(!QFile::exists(simFile(QStringLiteral("device/sdcard/actions/dance/dance.hts"))));
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
}

// libusb must see the testbed, so the test runs with umockdev's preload library: started
// without it, it starts itself again with it. Its adb server gets a HOME and port of its own.
int main(int argc, char **argv)
{
    const char *preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload")) {
        QByteArray newPreload("libumockdev-preload.so.0");
        if (preload && *preload)
            newPreload += QByteArray(":") + preload;
        setenv("LD_PRELOAD", newPreload.constData(), 1);
        const char *asan = std::getenv("ASAN_OPTIONS");
        QByteArray asanOptions("verify_asan_link_order=0");
        if (asan && *asan)
            asanOptions = QByteArray(asan) + ":" + asanOptions;
        setenv("ASAN_OPTIONS", asanOptions.constData(), 1);
        char home[] = "/tmp/tst_faults-home-XXXXXX";
        if (!mkdtemp(home)) {
            perror("mkdtemp");
            return 1;
        }
        setenv("HOME", home, 1);
        if (!std::getenv("ANDROID_ADB_SERVER_PORT"))
            setenv("ANDROID_ADB_SERVER_PORT", "15143", 1);
        execv("/proc/self/exe", argv);
        perror("execv");
        return 1;
    }
    QApplication app(argc, argv);
    TestFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
