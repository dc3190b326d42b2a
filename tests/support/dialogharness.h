#pragma once

// The main dialog in process against the simulated robot: the simulator started and stopped
// through simctl.py, the adb program beside the dialog, the web service's address in its
// config.json, the day's log, every modal box answered and recorded, and the start-up under
// umockdev's preload library.

#include "usbfixture.h"

#include <fileutils.h>

#include <QApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <QElapsedTimer>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sys/types.h>
#include <unistd.h>

namespace dialogharness {

inline QList<QJsonObject> jsonLines(const QString &path)
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

inline QStringList textLines(const QString &path)
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
    QString answer;
};

// Answers every visible message box as soon as it shows: with the button named by the next
// answer queued for its title, "Ok" when none is queued, the first button when it has no button
// of that name. Records title, text and answer in order.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(20);
    }

    QList<BoxRecord> boxes;
    QMap<QString, QStringList> answers;
    std::function<void(const QString &title)> onShown;

private:
    void poll()
    {
        const QWidgetList widgets = QApplication::topLevelWidgets();
        for (QWidget *widget : widgets) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible() || box->property("zevAnswered").toBool())
                continue;
            box->setProperty("zevAnswered", true);
            BoxRecord record { box->windowTitle(), box->text(), QStringLiteral("Ok") };
            QStringList &queue = answers[record.title];
            if (!queue.isEmpty())
                record.answer = queue.takeFirst();
            boxes << record;
            if (onShown)
                onShown(record.title);
            const QList<QAbstractButton *> buttons = box->buttons();
            QAbstractButton *chosen = buttons.value(0);
            for (QAbstractButton *button : buttons) {
                if (button->text().remove(QLatin1Char('&')) == record.answer) {
                    chosen = button;
                    break;
                }
            }
            if (chosen)
                QTimer::singleShot(0, chosen, &QAbstractButton::click);
        }
    }

    QTimer timer;
};

// The simulated robot (adbd, robot service, web service) of one test case, run by simctl.py.
// Once it could not start (its machine-wide lock stayed taken), later starts fail at once
// instead of each waiting out the lock again.
class SimRobot
{
public:
    // The scenario goes to `folder`; the simulator keeps its state in `folder`/robot.
    bool start(const QJsonObject &scenario, const QString &folder)
    {
        if (unavailable)
            return false;
        stateDir = folder + QStringLiteral("/robot");
        const QString scenarioPath = folder + QStringLiteral("/scenario.json");
        QFile file(scenarioPath);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(QJsonDocument(scenario).toJson());
        file.close();
        QProcess p;
        // simctl gives up, and stops its simulator, well before a test's own time-out.
        p.start(python(),
            { simctl(), QStringLiteral("start"), QStringLiteral("--state-dir"), stateDir,
                QStringLiteral("--scenario"), scenarioPath, QStringLiteral("--timeout"),
                QStringLiteral("300") });
        if (!p.waitForFinished(330000) || p.exitCode() != 0) {
            qWarning("robot-sim: %s", p.readAllStandardError().constData());
            unavailable = true;
            return false;
        }
        running = true;
        const QJsonObject ports = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
        port = ports.value(QStringLiteral("web")).toInt();
        url = ports.value(QStringLiteral("web_url")).toString();
        package = QFileInfo(ports.value(QStringLiteral("package"))
                                .toObject()
                                .value(QStringLiteral("file"))
                                .toString())
                      .fileName();
        return port > 0;
    }

    void stop()
    {
        if (!running)
            return;
        QProcess::execute(python(),
            { simctl(), QStringLiteral("stop"), QStringLiteral("--state-dir"), stateDir });
        running = false;
    }

    // Gone at once, as the robot is when its cable comes out: every adb connection is cut and
    // none is taken any more (a stop lets the simulator serve on while it shuts down).
    void pull()
    {
        if (!running)
            return;
        QFile pidFile(file(QStringLiteral("pid")));
        const pid_t pid
            = pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll().trimmed().toInt() : 0;
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) {
            QElapsedTimer waited;
            waited.start();
            while (::kill(pid, 0) == 0 && waited.elapsed() < 5000)
                QThread::msleep(10);
        }
        running = false;
    }

    bool isRunning() const { return running; }
    int webPort() const { return port; }
    // "http://127.0.0.1:PORT", or https when the scenario gives the service a certificate.
    QString webUrl() const { return url; }
    // The file name of the package the web service offers.
    QString packageFile() const { return package; }
    QString file(const QString &relative) const { return stateDir + QLatin1Char('/') + relative; }

    QList<QJsonObject> webRequests(const QString &pathPrefix) const
    {
        QList<QJsonObject> result;
        for (const QJsonObject &request : jsonLines(file(QStringLiteral("web.log")))) {
            if (request.value(QStringLiteral("path")).toString().startsWith(pathPrefix))
                result << request;
        }
        return result;
    }

    // The APK file names the robot's package manager was asked to install, in order.
    QStringList installedInOrder() const
    {
        QStringList names;
        for (const QJsonObject &line : jsonLines(file(QStringLiteral("exec.log")))) {
            const QJsonArray argv = line.value(QStringLiteral("argv")).toArray();
            if (argv.size() >= 3 && argv.at(0).toString() == QLatin1String("pm")
                && argv.at(1).toString() == QLatin1String("install"))
                names << QFileInfo(argv.last().toString()).fileName();
        }
        return names;
    }

    QJsonObject deviceState() const
    {
        QFile state(file(QStringLiteral("state.json")));
        if (!state.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(state.readAll()).object();
    }

    static QString python() { return QStringLiteral("/usr/bin/python3"); }
    static QString simctl()
    {
        return qEnvironmentVariable("ZEV_SOURCE_DIR")
            + QStringLiteral("/tools/robot-sim/simctl.py");
    }

private:
    QString stateDir;
    bool running = false;
    bool unavailable = false;
    int port = 0;
    QString url;
    QString package;
};

// "fastbootfile/adb" beside the program: the simulated robot's adb wrapper (Debian's adb, meeting
// the simulated robot as it meets one on USB).
inline bool installAdbWrapper()
{
    const QString fastboot = FileUtils::appDirPath() + QStringLiteral("/fastbootfile");
    if (!QDir().mkpath(fastboot))
        return false;
    QFile::remove(fastboot + QStringLiteral("/adb"));
    return QFile::link(
        qEnvironmentVariable("ZEV_SOURCE_DIR") + QStringLiteral("/tools/robot-sim/fastboot-adb"),
        fastboot + QStringLiteral("/adb"));
}

inline void killAdbServer()
{
    QProcess::execute(FileUtils::appDirPath() + QStringLiteral("/fastbootfile/adb"),
        { QStringLiteral("kill-server") });
}

// The dialog finds the web service through config.json; `region` sets its systemLanguage.
inline bool writeConfig(const QString &webUrl, const QString &region = QString(),
    const QStringList &trustedKeys = {}, const QString &caFile = QString())
{
    if (!QDir().mkpath(FileUtils::configDirPath()))
        return false;
    QJsonObject config { { QStringLiteral("default_request_url"), webUrl } };
    if (!caFile.isEmpty())
        config.insert(QStringLiteral("ca_file"), caFile);
    if (!region.isEmpty())
        config.insert(QStringLiteral("systemLanguage"), region);
    if (!trustedKeys.isEmpty())
        config.insert(QStringLiteral("trusted_keys"), QJsonArray::fromStringList(trustedKeys));
    QFile file(FileUtils::configDirPath() + QStringLiteral("/config.json"));
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(config).toJson()) > 0;
}

// What the day's log gains from a mark on.
class LogTail
{
public:
    static QString path()
    {
        return FileUtils::logDirPath() + QLatin1Char('/')
            + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
    }
    void mark()
    {
        const QFileInfo log(path());
        offset = log.exists() ? log.size() : 0;
    }
    QString added() const
    {
        QFile log(path());
        if (!log.open(QIODevice::ReadOnly) || !log.seek(offset))
            return QString();
        return QString::fromUtf8(log.readAll());
    }

private:
    qint64 offset = 0;
};

// libusb must see the testbed, so the test runs with umockdev's preload library: started without
// it, it starts itself again with it, with a HOME of its own and its own adb server port (unless
// one is set). Returns only when it is already under the preload (true) or could not start again.
inline bool underUmockdev(char **argv, const char *name, const char *adbServerPort)
{
    if (usbfixture::preloaded())
        return true;
    QByteArray home = QByteArray("/tmp/") + name + "-home-XXXXXX";
    if (!mkdtemp(home.data())) {
        perror("mkdtemp");
        return false;
    }
    setenv("HOME", home.constData(), 1);
    setenv("ANDROID_ADB_SERVER_PORT", adbServerPort, 0);
    usbfixture::restartPreloaded(argv);
    return false;
}

} // namespace dialogharness
