#include "adbuninstallworker.h"

#include "adbparsers.h"
#include "adbsteplimit.h"

#include <logger.h>

#include <QDebug>

AdbUninstallWorker::AdbUninstallWorker(QObject *parent)
    : AdbWorker(parent)
{
}

void AdbUninstallWorker::slotAppendUninstallApp(QList<AppPtr> appPtr)
{
    uninstallApps = appPtr;
}

void AdbUninstallWorker::slotGetInstalledAppList()
{
    const QString command = sdk + QStringLiteral(" shell pm list packages");
    const adblimit::StepClock clock(adblimit::kShellMs);
    const QString list = runCommand(command, clock.limit(), Channels::StandardOutput);
    // A list cut short may end in a cut name: remove nothing found in it.
    const QStringList packages
        = clock.ranOut(command) ? QStringList() : adbparse::removablePackages(list);
    for (const QString &package : packages) {
        auto app = std::make_shared<App>();
        app->packageName = package;
        uninstallApps.append(app);
    }
    Logger::instance()->info(
        QStringLiteral("adb get installed app list , adb return str: [ %1 ].").arg(list));
}

void AdbUninstallWorker::slotUninstallAppList()
{
    emit sigUninstallStart();
    slotGetInstalledAppList();
    Logger *log = Logger::instance();
    while (!uninstallApps.isEmpty()) {
        const AppPtr app = uninstallApps.takeFirst();
        pause(adblimit::kUninstallPauseMs);
        if (!app)
            continue;
        const QString command = app->keepData
            ? sdk + QStringLiteral(" uninstall -k ") + app->packageName
            : sdk + QStringLiteral(" uninstall ") + app->packageName;
        const adblimit::StepClock clock(adblimit::kShellMs);
        const QString out = runCommand(command, clock.limit(), Channels::StandardOutput);
        if (clock.ranOut(command)) {
            // The robot stopped answering; the install run goes on and meets that itself.
            uninstallApps.clear();
            break;
        }
        if (out.contains(QLatin1String("failure"), Qt::CaseInsensitive)) {
            log->info(QStringLiteral("adb unistall [%1] FAILURE, return str: [ %2 ].")
                          .arg(app->packageName, removeCrLf(out)));
        } else {
            qDebug() << "**uninstall" << app->packageName << QStringLiteral("SUCCESS\uFF01");
            log->info(QStringLiteral("adb unistall [%1] SUCCESS, return str: [ %2 ].")
                          .arg(app->packageName, removeCrLf(out)));
        }
    }
}
