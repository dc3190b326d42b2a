#pragma once

#include "adbworker.h"
#include "app.h"

#include <QList>

// Removes the applications the install worker hands over and every package on the robot that is
// neither the system's nor the maker's. Runs inside the install run, on the install thread.
class AdbUninstallWorker : public AdbWorker
{
    Q_OBJECT
public:
    explicit AdbUninstallWorker(QObject *parent = nullptr);

signals:
    // Declared for the controller's wiring; never emitted, so the install run stays in charge.
    void sigUninstallAppListDone();
    void sigUninstallOneFinished(int, int);
    void sigUninstallStart();
    void sigUninstallFinished();

protected slots:
    void slotUninstallAppList();
    void slotGetInstalledAppList();
    void slotAppendUninstallApp(QList<AppPtr> appPtr);

private:
    QList<AppPtr> uninstallApps;
};
