#include "adbinstallworker.h"

#include "adbparsers.h"
#include "adbsteplimit.h"

#include <logger.h>

#include <QDebug>

namespace {

const QString tmpFolder = QStringLiteral("/data/local/tmp/");

} // namespace

AdbInstallWorker::AdbInstallWorker(QObject *parent)
    : AdbWorker(parent)
{
}

void AdbInstallWorker::setApps(const QList<AppPtr> &list)
{
    apps = list;
}

void AdbInstallWorker::clearTemporaryFiles()
{
    for (const char *leftover : { "Tarvo2Services*", "smartcamera*" }) {
        const QString command
            = sdk + QStringLiteral(" shell busybox rm -rf ") + tmpFolder + QLatin1String(leftover);
        const adblimit::StepClock clock(adblimit::kInstallCleanUpMs);
        runCommand(command, clock.limit(), Channels::Merged);
        clock.ranOut(command);
        Logger::instance()->info(QStringLiteral("adb rm -rf: /data/local/tmp/"));
    }
}

void AdbInstallWorker::restartMainService(const App &app)
{
    const QString component = adbparse::commandLineWord(
        adbparse::robotShellWord(app.packageName + QLatin1Char('/') + app.mainActivity));
    const QString command = sdk + QStringLiteral(" shell am start -n ") + component;
    const adblimit::StepClock clock(adblimit::kStartServiceMs);
    const QString out = runCommand(command, clock.limit(), Channels::Merged);
    clock.ranOut(command);
    qDebug() << "Restart main service:" << out << "end!";
}

void AdbInstallWorker::slotInstallApps()
{
    Logger *log = Logger::instance();
    utils::ZEVErrorPtr runError = utils::makeError();

    if (!stillRunning(*runError)) {
        emit sigAllInstalled(runError);
        return;
    }
    if (apps.isEmpty()) {
        runError->setErrorCode(utils::kInstallListFailed);
        emit sigAllInstalled(runError);
        return;
    }
    clearTemporaryFiles();

    int ordinal = 0;
    while (!apps.isEmpty()) {
        ++ordinal;
        const AppPtr app = apps.takeFirst();
        if (!app)
            continue;

        int attempts = 2;
        bool installed = false;
        QString out;
        do {
            // A copy: the run error may still change, and the receiver reads it on another thread.
            emit sigInstallingApp(app,
                std::make_shared<utils::ZEVError>(runError->errorCode(), runError->errorMessage()));

            QString rmOut = runCommand(sdk + QStringLiteral(" shell busybox rm -rf ")
                    + adbparse::commandLineWord(
                        adbparse::robotShellPath(tmpFolder, app->packageName)),
                adblimit::capped(adblimit::kInstallCleanUpMs), Channels::Merged);
            log->error(
                QStringLiteral("adb rm -rf: %1, return str: %2").arg(tmpFolder, removeCrLf(rmOut)));
            rmOut = runCommand(sdk + QStringLiteral(" shell busybox rm -rf /data/app/vmd*"),
                adblimit::capped(adblimit::kInstallCleanUpMs), Channels::Merged);
            log->error(QStringLiteral("adb rm -rf: %1, return str: %2")
                           .arg(QStringLiteral("/data/app/vmp*"), removeCrLf(rmOut)));

            const QString install = sdk + QStringLiteral(" install ")
                + (reinstall ? QStringLiteral("-r ") : QString()) + app->apkPath;
            const adblimit::StepClock clock(adblimit::kInstallMs);
            out = runCommand(install, clock.limit(), Channels::Merged,
                [&] { log->info(QStringLiteral("adb install [ %1 ] start!").arg(app->name)); });
            log->info(
                QStringLiteral("adb install [ %1 ] info : [ %2 ]").arg(app->name, removeCrLf(out)));
            // A robot that did not answer in this long is lost to the run, like one gone from
            // adb: a second attempt and an uninstall pass would only wait as long again.
            if (clock.ranOut(install)) {
                runError->setErrorCode(utils::kUsbDisconnected);
                emit sigAllInstalled(runError);
                return;
            }

            // The main service goes on after a stop request: a robot without it is unusable.
            if (app->id != AppKindMainService && !stillRunning(*runError)) {
                emit sigAllInstalled(runError);
                return;
            }

            if (!out.contains(QLatin1String("Success"))) {
                log->info(QStringLiteral("adb install [ %1 ] the [%2] times, failed : [ %3 ]")
                              .arg(app->name, QString::number(ordinal), removeCrLf(out)));
                const int code = utils::ZEVError::errorCodeFromAdbOutput(
                    adbparse::installFailureReason(out).toLocal8Bit());
                if (code == utils::kRobotNotDetected || code == utils::kRobotDisconnected) {
                    runError->setErrorCode(utils::kUsbDisconnected);
                    emit sigAllInstalled(runError);
                    return;
                }
                if (adbparse::isToleratedInstallCode(code))
                    break;
                if (attempts == 2) {
                    apps.prepend(app);
                    emit sigAppendUninstallApp(apps);
                    emit sigUninstallApps();
                }
            } else {
                installed = true;
                if (app->id == AppKindMainService)
                    restartMainService(*app);
            }
            --attempts;
        } while (attempts > 0 && !installed);

        utils::ZEVErrorPtr appError = utils::makeError();
        if (out.contains(QLatin1String("Success"))) {
            emit sigInstalledOne(app, appError);
            log->info(QStringLiteral("adb install [ %1 ] successful : [ %2 ]")
                          .arg(app->name, removeCrLf(out)));
            continue;
        }
        const int code = utils::ZEVError::errorCodeFromAdbOutput(out.toLocal8Bit());
        log->error(
            QStringLiteral("adb install [ %1 ] failed : [ %2 ]").arg(app->name, removeCrLf(out)));
        if (adbparse::isToleratedInstallCode(code)) {
            emit sigInstalledOne(app, appError);
            continue;
        }
        appError->setErrorCode(code);
        emit sigInstalledOne(app, appError);
        runError->setErrorCode(utils::kMainServiceInstallFailed);
        runError->setErrorMessage(app->name.toLocal8Bit().toStdString() + runError->errorMessage());
        emit sigAllInstalled(runError);
        return;
    }
    emit sigAllInstalled(runError);
}
