#pragma once

#include "adbworker.h"
#include "app.h"
#include "robotversion.h"

#include <zeverror.h>

#include <QList>

// Installs the package's applications one after another, each up to twice, with an uninstall
// pass between the attempts, and restarts the main service after installing it.
class AdbInstallWorker : public AdbWorker
{
    Q_OBJECT
public:
    explicit AdbInstallWorker(QObject *parent = nullptr);

    // Replaces the install list; the records stay shared with the caller.
    void setApps(const QList<AppPtr> &list);
    void setRobotVersion(enumRobotVersion version) { robotVersion = version; }

signals:
    void sigInstalledOne(AppPtr, utils::ZEVErrorPtr);
    void sigInstallingApp(AppPtr, utils::ZEVErrorPtr);
    void sigAllInstalled(utils::ZEVErrorPtr);
    void sigUninstallApps();
    void sigAppendUninstallApp(QList<AppPtr>);

protected slots:
    void slotInstallApps();

private:
    void clearTemporaryFiles();
    void restartMainService(const App &app);

    QList<AppPtr> apps;
    bool reinstall = false;
    enumRobotVersion robotVersion = RobotVersionUnknown;
};
