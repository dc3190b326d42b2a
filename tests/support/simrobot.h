#pragma once

// The simulated robot (tools/robot-sim: adbd, robot service, web service) of one test, started
// and stopped by simctl.py; from a Windows test program through the Windows suite's relay. Every
// C++ test that needs the robot starts it here.

#include "hostprocess.h"

#include <fileutils.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#ifndef Q_OS_WIN
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

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

class SimRobot
{
public:
    SimRobot() = default;
    ~SimRobot() { stop(); }
    SimRobot(const SimRobot &) = delete;
    SimRobot &operator=(const SimRobot &) = delete;

    // The scenario goes to `folder`, the simulator keeps its state in `folder`/robot. `adbPort`
    // other than 0 moves its adbd off 5555 (a port no adb server scans leaves it unseen).
    bool start(const QJsonObject &scenario, const QString &folder, quint16 adbPort = 0)
    {
        stop();
        stateDir = folder + QStringLiteral("/robot");
        const QString scenarioPath = folder + QStringLiteral("/scenario.json");
        QFile file(scenarioPath);
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly)
            || file.write(QJsonDocument(scenario).toJson()) <= 0)
            return false;
        file.close();
        QStringList arguments { simctl(), QStringLiteral("start"), QStringLiteral("--state-dir"),
            HostProcess::hostPath(stateDir), QStringLiteral("--scenario"),
            HostProcess::hostPath(scenarioPath), QStringLiteral("--timeout"),
            QStringLiteral("300") };
        if (adbPort)
            arguments << QStringLiteral("--adb-port") << QString::number(adbPort);
        // simctl gives up, and stops its simulator, well before this wait ends.
        HostProcess p;
        if (!p.start(python(), arguments) || !p.waitForFinished(330000) || !p.succeeded()) {
            qWarning("robot-sim did not start: %s", qPrintable(p.errorString()));
            return false;
        }
        running = true;
        ports = QJsonDocument::fromJson(p.readAll()).object();
        return webPort() > 0;
    }

    void stop()
    {
        if (!running)
            return;
        HostProcess p;
        if (p.start(python(),
                { simctl(), QStringLiteral("stop"), QStringLiteral("--state-dir"),
                    HostProcess::hostPath(stateDir) }))
            p.waitForFinished(30000);
        running = false;
    }

#ifndef Q_OS_WIN
    // Gone at once, as the robot is when its cable comes out: every adb connection is cut and
    // none is taken any more (a stop lets the simulator serve on while it shuts down).
    void pull()
    {
        if (!running)
            return;
        running = false;
        QFile pidFile(file(QStringLiteral("pid")));
        const pid_t pid
            = pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll().trimmed().toInt() : 0;
        if (pid <= 0)
            return;
        // Not our child: its end is seen through a descriptor that becomes readable then.
        const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
        if (::kill(pid, SIGKILL) == 0 && pidfd >= 0) {
            pollfd gone { pidfd, POLLIN, 0 };
            ::poll(&gone, 1, 5000);
        }
        if (pidfd >= 0)
            ::close(pidfd);
    }
#endif

    bool isRunning() const
    {
        return running;
    }
    int webPort() const
    {
        return ports.value(QStringLiteral("web")).toInt();
    }
    // "http://127.0.0.1:PORT", or https when the scenario gives the service a certificate.
    QString webUrl() const
    {
        return ports.value(QStringLiteral("web_url")).toString();
    }
    // The file name of the package the web service offers.
    QString packageFile() const
    {
        return QFileInfo(ports.value(QStringLiteral("package"))
                             .toObject()
                             .value(QStringLiteral("file"))
                             .toString())
            .fileName();
    }
    QString file(const QString &relative) const
    {
        return stateDir + QLatin1Char('/') + relative;
    }

    // The web service's requests whose path starts with `pathPrefix`, in order.
    QList<QJsonObject> webRequests(const QString &pathPrefix = QString()) const
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

    static QString python()
    {
        return QStringLiteral("/usr/bin/python3");
    }
    static QString simctl()
    {
        return HostProcess::hostPath(
            qEnvironmentVariable("ZEV_SOURCE_DIR") + QStringLiteral("/tools/robot-sim/simctl.py"));
    }

private:
    QString stateDir;
    bool running = false;
    QJsonObject ports;
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

#ifndef Q_OS_WIN
// An adb server of the test's own: a HOME of its own and its own server port (unless one is set).
inline bool ownAdbServer(const char *name, const char *port)
{
    QByteArray home = QByteArray("/tmp/") + name + "-home-XXXXXX";
    if (!mkdtemp(home.data())) {
        perror("mkdtemp");
        return false;
    }
    setenv("HOME", home.constData(), 1);
    setenv("ANDROID_ADB_SERVER_PORT", port, 0);
    return true;
}
#endif

inline void killAdbServer()
{
    QProcess::execute(FileUtils::appDirPath() + QStringLiteral("/fastbootfile/adb"),
        { QStringLiteral("kill-server") });
}
