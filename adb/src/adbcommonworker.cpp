#include "adbcommonworker.h"

#include "adbparsers.h"
#include "adbsteplimit.h"

#include <fileutils.h>
#include <logger.h>
#include <platform.h>

#include <QFileInfo>

AdbCommonWorker::AdbCommonWorker(QObject *parent)
    : AdbWorker(parent)
{
}

RobotTarvo2 AdbCommonWorker::getRobotInfo()
{
    QMutexLocker locker(&robotMutex);
    return robot;
}

void AdbCommonWorker::prepareCommands()
{
    commands.clear();
    commands.append(sdk + QStringLiteral("  shell  cat /system/build.prop"));
}

void AdbCommonWorker::slotGetRobotBaseInfo(QString qsBuildName, QString qsKernalname)
{
    Logger *log = Logger::instance();
    log->info(QStringLiteral("slotGetRobotBaseInfo..."));
    utils::ZEVErrorPtr error = utils::makeError();

    if (!FileUtils::fileExists(adbProgramPath())) {
        error->setErrorCode(utils::kAdbMissing);
        emit sigGetRobotInfo(error);
        return;
    }
    log->info(QStringLiteral("getRobotBaseInfo...check adb path"));

    // The flag is read under the lock, but no adb command runs under it: reset() and stopAll()
    // come from the GUI thread and must not wait for a command that has no time limit.
    if (!stillRunning(*error)) {
        emit sigGetRobotInfo(error);
        return;
    }
    // adb returns from "kill-server" once the old server is gone, and a new server acknowledges
    // "start-server" once its USB scan has brought the robot online: no waiting of our own.
    runCommand(
        sdk + QStringLiteral(" kill-server"), adblimit::kServerStopMs, Channels::StandardOutput);
    pause(adblimit::kServerStartPauseMs);
    runCommand(
        sdk + QStringLiteral(" start-server"), adblimit::kServerStartMs, Channels::StandardOutput);
    log->info(QStringLiteral("getRobotBaseInfo...reboot adb server"));

    slotGetIpAddress();
    log->info(QStringLiteral("GetIpAddress..."));
    slotGetBatteryInfo();
    log->info(QStringLiteral("GetBatteryInfo..."));

    prepareCommands();

    if (!stillRunning(*error)) {
        emit sigGetRobotInfo(error);
        return;
    }
    log->info(QStringLiteral("Get base info start..."));
    const QString command = commands.takeFirst();
    const adblimit::StepClock clock(adblimit::kBuildPropMs);
    const QString out = runCommand(command, clock.limit(), Channels::Merged);

    // What a silent robot sent before its limit may be any part of the file: never read it.
    if (clock.ranOut(command) || !out.contains(QLatin1String("build.prop"))) {
        error->setErrorCode(utils::kBuildPropUnreadable);
        emit sigGetRobotInfo(error);
        return;
    }
    const auto info = adbparse::readBuildProp(out, qsBuildName, qsKernalname);
    if (info) {
        QMutexLocker locker(&robotMutex);
        robot.buildVersion = info->buildVersion;
        robot.kernelVersion = info->kernelVersion;
    }
    if (info && adbparse::isUsableBuildInfo(*info)) {
        emit sigGetRobotInfo(error);
        log->info(QStringLiteral("Get base info end..."));
    } else {
        error->setErrorCode(utils::ZEVError::errorCodeFromAdbOutput(out.toLocal8Bit()));
        emit sigGetRobotInfo(error);
    }
}

void AdbCommonWorker::slotGetIpAddress()
{
    Logger *log = Logger::instance();
    log->info(QStringLiteral("GetIpAddress....start..."));
    const QString arpCommand = sdk + QStringLiteral(" shell busybox arp");
    const adblimit::StepClock arpClock(adblimit::kShellMs);
    const QString arp = runCommand(arpCommand, arpClock.limit(), Channels::StandardOutput);
    log->info(QStringLiteral("adb get robot ip adb return str: [ %1 ].").arg(removeCrLf(arp)));
    if (arpClock.ranOut(arpCommand))
        return;

    const auto interfaceName = adbparse::arpInterface(arp);
    if (!interfaceName) {
        log->info(QStringLiteral("adb get robot ip error: wlan is off."));
        return;
    }
    // The name comes from the robot; quoted so that its shell cannot read anything else in it.
    const QString word
        = adbparse::commandLineWord(adbparse::robotShellWord(interfaceName->trimmed()));
    const QString ifconfigCommand
        = sdk + QStringLiteral(" shell busybox ifconfig ") + QLatin1Char(' ') + word;
    const adblimit::StepClock ifconfigClock(adblimit::kShellMs);
    const QString ifconfig
        = runCommand(ifconfigCommand, ifconfigClock.limit(), Channels::StandardOutput);
    if (ifconfigClock.ranOut(ifconfigCommand))
        return;
    const auto address = adbparse::ifconfigAddress(ifconfig);
    if (address) {
        QMutexLocker locker(&robotMutex);
        robot.ipAddress = *address;
    }
}

void AdbCommonWorker::slotGetBatteryInfo()
{
    const QString command = sdk + QStringLiteral(" shell dumpsys battery");
    const adblimit::StepClock clock(adblimit::kShellMs);
    const QString dumpsys = runCommand(command, clock.limit(), Channels::StandardOutput);
    // A cut answer could lack the charger line, which reads as "on the charger".
    if (!clock.ranOut(command) && !dumpsys.trimmed().isEmpty()) {
        const adbparse::BatteryInfo battery = adbparse::readBattery(dumpsys);
        QMutexLocker locker(&robotMutex);
        robot.acPowered = battery.acPowered;
        robot.batteryLevel = battery.level;
        robot.batteryScale = battery.scale;
        if (battery.level > 0 && battery.scale > 0)
            robot.batteryRatio = static_cast<double>(battery.level) / battery.scale;
    }
    Logger::instance()->info(
        QStringLiteral("adb get battery info, adb return str: [ %1 ].").arg(removeCrLf(dumpsys)));
}

void AdbCommonWorker::slotGetMemoryAvailableSize()
{
    const QString command = sdk + QStringLiteral(" shell df");
    const adblimit::StepClock clock(adblimit::kShellMs);
    const QString df = runCommand(command, clock.limit(), Channels::StandardOutput);
    if (clock.ranOut(command))
        return;
    const auto freeBytes = adbparse::dataPartitionFreeBytes(df);
    if (freeBytes) {
        QMutexLocker locker(&robotMutex);
        robot.availableStorage = *freeBytes;
    }
}

void AdbCommonWorker::slotReboot()
{
    pause(adblimit::kRebootDelayMs);
    const QString command = sdk + QStringLiteral(" shell reboot");
    const adblimit::StepClock clock(adblimit::kRebootMs);
    runCommand(command, clock.limit(), Channels::StandardOutput);
    clock.ranOut(command);
}

void AdbCommonWorker::slotKillServer()
{
    runCommand(
        sdk + QStringLiteral(" kill-server"), adblimit::kServerStopMs, Channels::StandardOutput);
    // The adb server outlives kill-server when it hangs; end every copy of the program we run.
    QString name = QFileInfo(adbProgramPath()).fileName();
    if (name.isEmpty())
        name = QString::fromLatin1(platform::adbProgramName());
    FileUtils::killProcessesByName(name);
}
