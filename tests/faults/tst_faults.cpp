// Faults against the real dialog, in process and offscreen, with Debian's adb, the simulated robot
// (adbd, robot service, web service) and the robot's USB device under umockdev's testbed. Every
// case must end in exactly one finish box with its code, logged once, leave the dialog ready for
// the next run, never take a partial package for a complete one, write nothing outside the work
// folders and run nothing on the robot's shell that the tool did not mean to run. Signed packages
// with keys and signatures made by Debian's minisign at test time, HTTPS with a certificate
// authority made by openssl.

// GLib first: its headers use "signals" as a plain name, which Qt's headers define away.
#include "../support/usbfixture.h"

#include "../support/upgradecase.h"

#include "tarvo2_upgradetool.h"
#include "usbwatcher.h"

#include <constants.h>
#include <fileutils.h>
#include <logger.h>
#include <packagesignature.h>
#include <zeverror.h>

#include <QNetworkReply>
#include <QtTest>
#include <QtWidgets>

#include <algorithm>
#include <cstdlib>

using dialogharness::BoxAnswerer;
using dialogharness::BoxRecord;

namespace {

using usbfixture::k2M;

const QString kServicePackage = QStringLiteral("com.norvikinc.tarvo2services");
const int kFullInstall = 4;

// The codes of every "Upgrade finished" line in a log (the program's diagnostic detail).
QList<int> finishCodes(const QString &log)
{
    QList<int> codes;
    static const QRegularExpression line(QStringLiteral("\\] Upgrade finished, code: (-?\\d+)\n"));
    auto it = line.globalMatch(log);
    while (it.hasNext())
        codes << it.next().captured(1).toInt();
    return codes;
}

bool minisign(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("minisign"), arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// A file changed the way the signed-package table names it.
bool change(const QString &path, const QString &how)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray text = file.readAll();
    if (how == QLatin1String("package"))
        text[text.size() / 2] = char(~text[text.size() / 2]);
    else if (how == QLatin1String("comment"))
        text.replace("trusted comment: timestamp:", "trusted comment: timestamp:9");
    else if (how == QLatin1String("truncate"))
        text.truncate(text.indexOf("trusted comment: "));
    else if (how == QLatin1String("pad"))
        text += QByteArray(int(zev::kMaxSignatureBytes), ' ');
    return file.resize(0) && file.seek(0) && file.write(text) == text.size();
}

} // namespace

Q_DECLARE_METATYPE(trust::Verdict)

class TestFaults : public QObject, private dialogharness::UpgradeCase
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void unplugAtStep_data();
    void unplugAtStep();
    void unplugDuringUnpacking();
    void silentRobotAtStep_data();
    void silentRobotAtStep();
    void webFaults_data();
    void webFaults();
    void corruptedCachedPackage();
    void hostileNames();
    void twoRobots();
    void unplugDuringDownload();
    void signedPackages_data();
    void signedPackages();

private:
    void stopSim() { sim.stop(); }
    void writeConfig() { QVERIFY(UpgradeCase::writeConfig()); }
    void plug() { QVERIFY(UpgradeCase::plug(k2M)); }
    void unplug() { UpgradeCase::unplug(k2M); }
    void pressStart();
    void checkOneFinish(const QList<int> &codes);
    void checkOneFinish(int code) { checkOneFinish(QList<int> { code }); }
    void checkReadyForNextRun();
    void checkNoWritesOutsideWorkFolders();
    QStringList installed() const { return sim.installedInOrder(); }
    QString simFile(const QString &relative) const { return sim.file(relative); }
    // The type 0 robot's work folder.
    static QString workDir() { return FileUtils::appDirPath() + QStringLiteral("/download/2M/"); }

    QString key(const QString &name, const char *suffix) const
    {
        return keys.filePath(name + QLatin1String(suffix));
    }
    // Its comment line ends in the key id as minisign prints it; the key is its second line.
    QStringList publicKey(const QString &name) const
    {
        QFile file(key(name, ".pub"));
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).split('\n')
                                              : QStringList();
    }

    QStringList appDirBefore;
    QTemporaryDir keys;
};

void TestFaults::initTestCase()
{
    const QString missing = prepare();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(installProgram());
    // How each run ended and which step ran out of time are read from the diagnostic lines.
    Logger::routeDiagnostics(true);
    for (const QString name : { "A", "B" })
        QVERIFY(minisign({ "-G", "-W", "-p", key(name, ".pub"), "-s", key(name, ".key") }));
    const QString pki = qEnvironmentVariable("ZEV_SOURCE_DIR") + "/tests/support/testpki.sh";
    QVERIFY(QProcess::execute("/bin/sh", { pki, keys.filePath(QStringLiteral("pki")) }) == 0);
}

void TestFaults::init()
{
    QVERIFY(begin());
}

void TestFaults::cleanup()
{
    end();
}

void TestFaults::pressStart()
{
    if (!dialog) {
        makeDialog();
        appDirBefore
            = QDir(FileUtils::appDirPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }
    QVERIFY(UpgradeCase::pressStart());
}

// Exactly one finish box, for one of `codes`, and the log says so once.
void TestFaults::checkOneFinish(const QList<int> &codes)
{
    QCOMPARE(boxes->boxes.size(), 1);
    const BoxRecord &box = boxes->boxes.first();
    const QList<int> logged = finishCodes(newLog());
    QCOMPARE(logged.size(), 1);
    const int code = logged.first();
    QVERIFY2(codes.contains(code), qPrintable(QString::number(code)));
    QVERIFY2(box.title == QLatin1String(code == 0 ? "Success" : "Failure"), qPrintable(box.text));
    if (code != 0)
        QVERIFY2(box.text.endsWith(messageText(code)), qPrintable(box.text));
}

void TestFaults::checkReadyForNextRun()
{
    QVERIFY(dialog->findChild<QPushButton *>(QStringLiteral("pbStartUpgrade"))->isEnabled());
    QCOMPARE(dialog->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))
                 ->currentWidget()
                 ->objectName(),
        QStringLiteral("startWidget"));
    // No progress goes on behind the start page: the simulated one is stopped, and a download
    // left running would still move its bar.
    QVERIFY(!dialog->progressTimer.isActive());
    auto *progress = dialog->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"));
    const int value = progress->value();
    // 300 ms hold many 10 ms steps of the simulated bar and many progress reports of a download.
    QVERIFY2(!QTest::qWaitFor([&] { return progress->value() != value; }, 300),
        "the download bar moves behind the start page");
}

// The program writes only into its work folders, Log/, config/ and the adb helper's folder.
void TestFaults::checkNoWritesOutsideWorkFolders()
{
    const QStringList now
        = QDir(FileUtils::appDirPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &name : now) {
        if (appDirBefore.contains(name))
            continue;
        QVERIFY2(name == QLatin1String("download") || name == QLatin1String("Log")
                || name == QLatin1String("pending_reports.json"),
            qPrintable(name));
    }
}

void TestFaults::unplugAtStep_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QJsonObject>("extra");
    QTest::addColumn<QList<int>>("codes");

    const auto holding = [](const char *service) {
        return QJsonObject { { "rules",
            QJsonArray { QJsonObject { { "match", service }, { "hang", true } } } } };
    };
    // The serial number comes back empty; the base information then finds the library stopped.
    QTest::newRow("serial") << "service:tcp:6102" << holding("tcp:6102*") << QList<int> { 20002 };
    QTest::newRow("base information")
        << "service:shell:cat /system/build.prop" << holding("shell:cat /system/build.prop*")
        << QList<int> { 20001 };
    QTest::newRow("battery") << "service:shell:dumpsys battery" << holding("shell:dumpsys battery*")
                             << QList<int> { 20002 };
    // The build checks passed and the newest package is asked for: the tool only finds out
    // when it is about to copy files to the robot.
    QTest::newRow("checks")
        << "label:Request the latest upgrade software version information..."
        << QJsonObject { { "web",
               QJsonObject { { "faults",
                   QJsonArray { QJsonObject { { "target", "find" }, { "delay_ms", 1500 } } } } } } }
        << QList<int> { 40000 };
    QTest::newRow("push") << "service:shell:mkdir /sdcard/actions/"
                          << holding("shell:mkdir /sdcard/actions/*") << QList<int> { 20002 };
    QJsonObject failingService = holding("shell:pm list packages*");
    failingService.insert("install_answers",
        QJsonObject { { kServicePackage, QJsonArray { "INSTALL_FAILED_INVALID_APK" } } });
    // The main service's install is not broken off by a stop: its second attempt meets adb's
    // server stopped by the tool (20023) or the robot gone (20002), whichever comes first.
    QTest::newRow("uninstall after a failed install")
        << "service:shell:pm list packages" << failingService << QList<int> { 20002, 20023 };
    QTest::newRow("install") << "service:shell:pm 'install'" << holding("shell:pm 'install'*")
                             << QList<int> { 20002 };
}

// The cable comes out while a step waits on the robot: USB reports the robot gone and adb
// loses it (the simulator goes away). The run ends in one failure with the step's code, and
// with the robot back the same dialog upgrades it.
void TestFaults::unplugAtStep()
{
    QFETCH(QString, trigger);
    QFETCH(QJsonObject, extra);
    QFETCH(QList<int>, codes);

    QVERIFY(startSim(extra));
    writeConfig();
    plug();

    const bool byService = trigger.startsWith(QLatin1String("service:"));
    const QString awaited = trigger.section(QLatin1Char(':'), 1);
    bool pulled = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        bool reached = false;
        if (byService) {
            const QStringList services = textLines(simFile(QStringLiteral("commands.log")));
            reached = std::any_of(services.cbegin(), services.cend(),
                [&](const QString &line) { return line.startsWith(awaited); });
        } else {
            reached
                = dialog->findChild<QLabel *>(QStringLiteral("lbDownloadEvent"))->text() == awaited;
        }
        if (!reached)
            return;
        watch.stop();
        QSignalSpy removed(dialog->usbWatcher, &UsbWatcher::usbRemoved);
        unplug();
        // adb loses the robot with the cable: the simulator goes as soon as the tool has seen the
        // USB device go, so that no adb command after the tool's reaction reaches the robot.
        if (byService) {
            QVERIFY(removed.wait(5000));
            sim.pull();
        }
        pulled = true;
    });
    watch.start(10);
    pressStart();
    QTRY_VERIFY_WITH_TIMEOUT(pulled || !boxes->boxes.isEmpty(), 120000);
    QVERIFY2(pulled, "the step was never reached");
    QVERIFY(waitForBoxes(1, 120000));
    checkOneFinish(codes);
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
    QVERIFY(newLog().contains(QStringLiteral("Start Upgrade")));
    // Only a run that got past the base information reports.
    const bool reported = newLog().contains(QStringLiteral("Get robot version sucessfull!"));
    const int installedBefore = installed().size();

    // With the robot back, the same dialog upgrades it; it read the web service's address when
    // it started. The service offers a newer package with less in it now.
    const int port = sim.webPort();
    stopSim();
    // As between cases: no adb server of the failed run is left to the next one.
    killAdbServer();
    const QJsonObject service { { "file", "Tarvo2Services.apk" }, { "package", kServicePackage } };
    const QJsonObject newer { { "apks", QJsonArray { service } } };
    QVERIFY(startSim({ { "web", QJsonObject { { "port", port }, { "package", newer } } } }));
    plug();
    pressStart();
    QVERIFY(waitForBoxes(2, 120000));
    QCOMPARE(boxes->boxes.size(), 2);
    QVERIFY2(boxes->boxes.last().title == QLatin1String("Success"),
        qPrintable(boxes->boxes.last().text));
    // Nothing of the first package came along.
    QCOMPARE(
        installed().mid(installedBefore), QStringList { QStringLiteral("Tarvo2Services.apk") });
    // A report the first run could not deliver goes before the second run's.
    const auto reports
        = [this] { return sim.webRequests(QStringLiteral("/zev/version/addPcInstallStat")); };
    QTRY_COMPARE_WITH_TIMEOUT(reports().size(), reported ? 2 : 1, 10000);
    QCOMPARE(reports().last().value("body").toObject().value("code").toInt(-1), 0);
}

// The cable comes out while the package is unpacked (ten thousand small action files take
// seconds): the unpacking ends, then the tool finds the robot gone before copying anything.
void TestFaults::unplugDuringUnpacking()
{
    QJsonObject actions;
    for (int i = 0; i < 3000; ++i)
        actions.insert(QStringLiteral("actions/many/%1.hts").arg(i), QStringLiteral("x"));
    QVERIFY(startSim(QJsonObject {
        { "web", QJsonObject { { "package", QJsonObject { { "actions", actions } } } } } }));
    writeConfig();
    plug();
    bool pulled = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (dialog->findChild<QLabel *>(QStringLiteral("lbDownloadEvent"))->text()
            != QLatin1String("Check upgrade file..."))
            return;
        watch.stop();
        unplug();
        pulled = true;
    });
    watch.start(5);
    pressStart();
    QVERIFY(waitForBoxes(1, 120000));
    QVERIFY2(pulled, "the unpacking was never reached");
    checkOneFinish(40000);
    QVERIFY(installed().isEmpty());
    QVERIFY(!QFile::exists(simFile(QStringLiteral("device/sdcard/actions/many/0.hts"))));
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
}

void TestFaults::silentRobotAtStep_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<QJsonObject>("extra");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<bool>("ranOutOfTime");

    // The robot stops answering on the connection that meets the step. Debian's adb gives up on
    // some such shell commands by itself (an empty answer); its next server, which the base
    // information starts, connects afresh. So a silent address or battery may still end well.
    QTest::newRow("serial") << "tcp:6102*" << QJsonObject() << QList<int> { 0 } << false;
    QTest::newRow("base information")
        << "shell:cat /system/build.prop*" << QJsonObject() << QList<int> { 20001 } << false;
    QTest::newRow("address") << "shell:busybox arp*" << QJsonObject() << QList<int> { 0, 20001 }
                             << false;
    QTest::newRow("battery") << "shell:dumpsys battery*" << QJsonObject() << QList<int> { 0, 20001 }
                             << false;
    QTest::newRow("push") << "sync:*" << QJsonObject() << QList<int> { 20022 } << false;
    QTest::newRow("uninstall pass")
        << "shell:pm list packages*"
        << QJsonObject { { "install_answers",
               QJsonObject { { kServicePackage, QJsonArray { "INSTALL_FAILED_INVALID_APK" } } } } }
        << QList<int> { 0, 20002, 20023 } << false;
    // Under load adb may give up on the frozen install itself, before the tool's limit.
    QTest::newRow("install") << "shell:pm 'install'*" << QJsonObject()
                             << QList<int> { 20002, 20023 } << true;
    // Restarting the main service is the last step and its answer is not judged.
    QTest::newRow("main service restart")
        << "shell:am start*" << QJsonObject() << QList<int> { 0 } << false;
}

// adb stays connected but the robot answers nothing: each step gives up within its bound and the
// run ends in the step's failure.
void TestFaults::silentRobotAtStep()
{
    QFETCH(QString, service);
    QFETCH(QJsonObject, extra);
    QFETCH(QList<int>, codes);
    QFETCH(bool, ranOutOfTime);

    QJsonObject scenario = extra;
    scenario.insert(QStringLiteral("rules"),
        QJsonArray { QJsonObject { { "match", service }, { "freeze", true } } });
    QVERIFY(startSim(scenario));
    writeConfig();
    plug();
    pressStart();
    QVERIFY2(waitForBoxes(1, 120000), "no finish box: the run waits forever");
    checkOneFinish(codes);
    // (The uninstall row's main service fails its first attempt by design, and counts.)
    if (boxes->boxes.first().title != QLatin1String("Success") && extra.isEmpty())
        QVERIFY(installed().size() < kFullInstall);
    if (ranOutOfTime && finishCodes(newLog()).value(0) == 20002)
        QVERIFY(newLog().contains(QStringLiteral("] The robot did not answer within ")));
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
}

void TestFaults::webFaults_data()
{
    QTest::addColumn<QJsonObject>("web"); // of the scenario
    QTest::addColumn<QString>("caFile"); // in config.json
    QTest::addColumn<int>("code");

    const auto fault = [](const char *target, const char *key, const QJsonValue &value) {
        return QJsonObject { { "faults",
            QJsonArray { QJsonObject { { "target", target }, { key, value } } } } };
    };
    // The download component's own tests go through every kind of web fault; here one of each
    // reaction of the dialog. Network errors carry QNetworkReply's value: 401 internal server
    // error.
    QTest::newRow("newest package 500") << fault("find", "status", 500) << "" << 401;
    QTest::newRow("newest package garbage JSON") << fault("find", "garbage", true) << "" << 501;
    QTest::newRow("download 404") << fault("download", "status", 404) << "" << 503;
    // Each answer stops after 3000 bytes: the download resumes where it stopped.
    QTest::newRow("download cut every 3000 bytes")
        << fault("download", "cut_after", 3000) << "" << 0;
    // A certificate of the test CA, which a ca_file beside config.json makes trusted.
    const QString pki = keys.filePath(QStringLiteral("pki/"));
    const QJsonObject tls { { "tls",
        QJsonObject { { "cert", pki + "good.pem" }, { "key", pki + "good.key" } } } };
    QTest::newRow("HTTPS, private CA in ca_file") << tls << "test-ca.pem" << 0;
    QTest::newRow("HTTPS, unknown CA") << tls << "" << int(QNetworkReply::SslHandshakeFailedError);
}

void TestFaults::webFaults()
{
    QFETCH(QJsonObject, web);
    QFETCH(QString, caFile);
    QFETCH(int, code);

    QVERIFY(startSim(QJsonObject { { "web", web } }));
    QVERIFY(UpgradeCase::writeConfig(QString(), {}, caFile));
    const QString ca = FileUtils::configDirPath() + QStringLiteral("/test-ca.pem");
    QFile::remove(ca); // of an earlier run's CA
    QVERIFY(QFile::copy(keys.filePath(QStringLiteral("pki/ca.pem")), ca));
    plug();
    pressStart();
    QVERIFY(waitForBoxes(1, 240000));
    checkOneFinish(code);
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
    const QString complete = workDir() + sim.packageFile();
    if (code != 0) {
        // On the robot, nothing after the base information's last read.
        const QStringList ran = textLines(simFile(QStringLiteral("commands.log")));
        QCOMPARE(ran.last(), QStringLiteral("shell:cat /system/build.prop"));
        if (code == QNetworkReply::SslHandshakeFailedError) // and a diagnostic line says why
            QVERIFY(newLog().contains(QStringLiteral("; certificate: CN=Zev Test CA")));
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
    const QString cached = workDir() + sim.packageFile();
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
    QCOMPARE(sim.webRequests(QStringLiteral("/download/")).size(), 2);
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
        { QString::fromUtf8("actions/舞蹈/f.hts"), "plain cjk\n" },
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
    QVERIFY(QFile::exists(simFile(QString::fromUtf8("device/sdcard/actions/舞蹈/f.hts"))));
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
    checkOneFinish(20001);
    QVERIFY(installed().isEmpty());
    checkReadyForNextRun();
}

// The cable comes out while the package downloads: the download may finish, but nothing is
// pushed or installed, and the run ends with one failure.
void TestFaults::unplugDuringDownload()
{
    // Five seconds for the package: the tool must have seen the robot go long before its end,
    // however busy the machine.
    QVERIFY(startSim(QJsonObject { { "web",
        QJsonObject { { "faults",
            QJsonArray { QJsonObject { { "target", "download" }, { "rate", 500 } } } } } } }));
    writeConfig();
    plug();
    pressStart();
    auto *progress = dialog->findChild<QProgressBar *>(QStringLiteral("downloadProgressBar"));
    QTRY_VERIFY_WITH_TIMEOUT(progress->value() > 0, 120000);
    QSignalSpy removed(dialog->usbWatcher, &UsbWatcher::usbRemoved);
    unplug();
    QVERIFY(removed.wait(5000));
    QVERIFY2(progress->value() < progress->maximum(), "the download ended before the robot went");
    QVERIFY(waitForBoxes(1, 240000));
    checkOneFinish(40000);
    QVERIFY(installed().isEmpty());
    QVERIFY(!QFile::exists(simFile(QStringLiteral("device/sdcard/actions/dance/dance.hts"))));
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
}

void TestFaults::signedPackages_data()
{
    QTest::addColumn<QStringList>("trusted");
    // The signer ("" for none), then "/" and a change: "package", the signer signed another.
    QTest::addColumn<QString>("signature");
    QTest::addColumn<bool>("cached"); // a signed run first; the change is made to its cache
    QTest::addColumn<trust::Verdict>("verdict");

    using trust::Verdict;
    const QStringList a { "A" };
    QTest::newRow("unsigned") << a << QString() << false << Verdict::NoSignature;
    QTest::newRow("untrusted key") << a << "B" << false << Verdict::UnknownKey;
    QTest::newRow("tampered package with matching MD5")
        << a << "A/package" << false << Verdict::BadSignature;
    QTest::newRow("tampered trusted comment")
        << a << "A/comment" << false << Verdict::BadTrustedComment;
    QTest::newRow("truncated signature") << a << "A/truncate" << false << Verdict::Malformed;
    QTest::newRow("oversized signature") << a << "A/pad" << false << Verdict::TooLarge;
    QTest::newRow("second of two trusted keys")
        << QStringList { "B", "A" } << "A" << false << Verdict::Verified;
    QTest::newRow("cached package whose signature no longer verifies")
        << a << "A/comment" << true << Verdict::BadTrustedComment;
}

// A package whose signature cannot be verified ends the run with 30004 before anything reaches
// the robot: nothing after the base information, the report carries 30004, and neither package
// nor signature stays cached.
void TestFaults::signedPackages()
{
    QFETCH(QStringList, trusted);
    QFETCH(QString, signature);
    QFETCH(bool, cached);
    QFETCH(trust::Verdict, verdict);
    const QString signer = signature.section(QLatin1Char('/'), 0, 0);
    const QString changed = signature.section(QLatin1Char('/'), 1);

    const QString served = dir->filePath(QStringLiteral("served.minisig"));
    QVERIFY(startSim(
        { { "web", QJsonObject { { "signature", QJsonObject { { "file", served } } } } } }));
    QStringList trustedKeys;
    for (const QString &name : trusted)
        trustedKeys << publicKey(name).value(1);
    QVERIFY(UpgradeCase::writeConfig(QString(), trustedKeys));
    plug();
    if (!signer.isEmpty()) {
        // A changed package is what the publisher signed; the web service serves another.
        QString package = simFile(QStringLiteral("web/") + sim.packageFile());
        if (changed == QLatin1String("package")) {
            const QString signedCopy = dir->filePath(QStringLiteral("signed.zip"));
            QVERIFY(QFile::copy(package, signedCopy) && change(signedCopy, changed));
            package = signedCopy;
        }
        QVERIFY(minisign({ "-S", "-s", key(signer, ".key"), "-m", package, "-x", served }));
        if (!cached && changed != QLatin1String("package"))
            QVERIFY(change(served, changed));
    }
    const QString cachedPackage = workDir() + sim.packageFile();
    if (cached) {
        pressStart();
        QVERIFY(waitForBoxes(1));
        QCOMPARE(boxes->boxes.takeFirst().title, QStringLiteral("Success"));
        QVERIFY(change(cachedPackage + zev::kSignatureSuffix, changed));
        todaysLog.mark();
    }
    const int downloads = sim.webRequests(QStringLiteral("/download/")).size();
    const int services = textLines(simFile(QStringLiteral("commands.log"))).size();
    pressStart();
    QVERIFY(waitForBoxes(1));
    const bool verified = verdict == trust::Verdict::Verified;
    const int code = verified ? utils::kSuccess : utils::kPackageSignatureBad;
    checkOneFinish(code);
    checkReadyForNextRun();
    checkNoWritesOutsideWorkFolders();
    const bool keyRead = !signer.isEmpty() && verdict != trust::Verdict::Malformed
        && verdict != trust::Verdict::TooLarge;
    const QString line = QStringLiteral("%1, key id %2")
                             .arg(QLatin1String(trust::verdictText(verdict)),
                                 keyRead ? publicKey(signer).value(0).section(QLatin1Char(' '), -1)
                                         : QStringLiteral("none"));
    QVERIFY2(newLog().contains(line), qPrintable(line));
    // An oversized signature is read one byte past the limit, no more.
    if (changed == QLatin1String("pad"))
        QVERIFY(newLog().contains(
            QStringLiteral(".minisig, %1 bytes").arg(zev::kMaxSignatureBytes + 1)));
    const auto reported = [&] {
        const QJsonObject report = sim.webRequests(zev::kAddInstallStatPath).value(cached ? 1 : 0);
        return report.value(QStringLiteral("body"))
            .toObject()
            .value(QStringLiteral("code"))
            .toInt(-1);
    };
    QTRY_COMPARE_WITH_TIMEOUT(reported(), code, 10000);

    // On the robot: the base information's last read ended what a refused run did there.
    const QStringList ran = textLines(simFile(QStringLiteral("commands.log"))).mid(services);
    const int buildProp = ran.indexOf(QStringLiteral("shell:cat /system/build.prop"));
    QVERIFY2(buildProp >= 0, qPrintable(ran.join(QLatin1Char('\n'))));
    QCOMPARE(ran.mid(buildProp + 1).isEmpty(), !verified);
    // Nothing was unpacked either (a cached package's first run left its own files).
    if (!verified && !cached)
        QCOMPARE(QDir(workDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(QFile::exists(cachedPackage), verified);
    QCOMPARE(QFile::exists(cachedPackage + zev::kSignatureSuffix), verified);
    // A cached package with its signature is taken from the cache, and checked again.
    QCOMPARE(sim.webRequests(QStringLiteral("/download/")).size() - downloads, cached ? 0 : 2);
}

int main(int argc, char **argv)
{
    if (!dialogharness::underUmockdev(argv, "tst_faults", "15143"))
        return 1;
    // A case may first wait up to five minutes for another simulator to leave the robot's ports.
    setenv("QTEST_FUNCTION_TIMEOUT", "900000", 0);
    // A silent robot costs each case seconds instead of the minutes a real robot is given; the
    // simulated one answers every real step well within this.
    setenv("ZEV_ADB_STEP_LIMIT_MS", "5000", 0);
    QApplication app(argc, argv);
    TestFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
