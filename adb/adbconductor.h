#pragma once

#include "adbconductor_export.h"
#include "app.h"
#include "iadbconductorevent.h"
#include "robottarvo2.h"
#include "robotversion.h"

#include <singleton.h>
#include <zeverror.h>

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

class AdbConductor;
class AdbPushFileWorker;
class AdbCommonWorker;
class AdbInstallWorker;
class AdbUninstallWorker;
class QThread;

namespace utils {
extern template class ADBCONDUCTOR_EXPORT SingletonT<AdbConductor>;
}

// Registers AppPtr, utils::ZEVErrorPtr, RobotTarvo2Ptr and QList<AppPtr>, in that order, under
// those names, for queued signals. Safe to call more than once.
ADBCONDUCTOR_EXPORT void registerAdbConductorMetaTypes();

// Runs adb command lines on three worker threads (base information, reboot and server stop;
// install and uninstall; action file push) and reports to one IAdbConductorEvent on the thread
// that owns it. Expected order of calls: instance(), setEvent, setSdk, reset(true), requests.
class ADBCONDUCTOR_EXPORT AdbConductor : public QObject, public utils::SingletonT<AdbConductor>
{
    Q_OBJECT
public:
    explicit AdbConductor(QObject *parent);
    ~AdbConductor() override;

    void setEvent(IAdbConductorEvent *event);
    // The adb program exactly as it heads every command line, usually a path in double quotes.
    void setSdk(QString sdk);
    void reset(bool running);
    void setRobotVersion(const enumRobotVersion &version);

    void adbGetRobotBaseInfo(const QString &buildKey, const QString &kernelKey);
    void adbPushFiles(const QString &folder);
    void adbInstallApps();
    void adbReboot();
    // Call only while no install run is in progress.
    void appendInstallApps(const QList<AppPtr> &apps);
    void stopAll();

signals:
    void sigGetRobotBaseInfo(QString, QString);
    void sigPushFiles(QString);
    void sigInstallApps();
    void sigReboot();
    void sigKillServer();

protected slots:
    void slotInstallingApp(AppPtr appPtr, utils::ZEVErrorPtr errorPtr);
    void slotInstallOneFinished(AppPtr appPtr, utils::ZEVErrorPtr errorPtr);
    void slotInstallAllFinished(utils::ZEVErrorPtr errorPtr);
    void slotPushFilesFinished(utils::ZEVErrorPtr errorPtr);
    void slotPushOneFileFinished(
        QString qsFileName, utils::ZEVErrorPtr errorPtr, int nDone, int nTotal);
    void slotGetRobotInfo(utils::ZEVErrorPtr errorPtr);
    void slotUninstallStart();

private:
    // Which request was issued last; stopAll() stops the workers it may still be using.
    enum class Operation : qint32 {
        None = 0,
        BaseInfo = 1,
        PushFiles = 2,
        InstallApps = 3,
    };

    AdbPushFileWorker *pushWorker = nullptr;
    AdbCommonWorker *commonWorker = nullptr;
    AdbInstallWorker *installWorker = nullptr;
    AdbUninstallWorker *uninstallWorker = nullptr;
    IAdbConductorEvent *event = nullptr;
    QThread *commonThread = nullptr;
    QThread *installThread = nullptr;
    QThread *pushThread = nullptr;
    RobotTarvo2Ptr robot;
    QMutex mutex;
    Operation currentOperation = Operation::None;
};
