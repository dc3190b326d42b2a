#include "adbuninstallworker.h"

#include "adbparsers.h"

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
    const QString list = runCommand(
        sdk + QStringLiteral(" shell pm list packages"), 10000, Channels::StandardOutput);
    const QStringList packages = adbparse::removablePackages(list);
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
        pause(300);
        if (!app)
            continue;
        const QString command = app->keepData
            ? sdk + QStringLiteral(" uninstall -k ") + app->packageName
            : sdk + QStringLiteral(" uninstall ") + app->packageName;
        const QString out = runCommand(command, 10000, Channels::StandardOutput);
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
