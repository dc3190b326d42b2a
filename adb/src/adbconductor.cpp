#include "adbconductor.h"

#include "adbcommonworker.h"
#include "adbinstallworker.h"
#include "adbpushfileworker.h"
#include "adbuninstallworker.h"

#include <logger.h>

#include <QThread>

template class utils::SingletonT<AdbConductor>;

void registerAdbConductorMetaTypes()
{
    qRegisterMetaType<AppPtr>("AppPtr");
    qRegisterMetaType<utils::ZEVErrorPtr>("utils::ZEVErrorPtr");
    qRegisterMetaType<RobotTarvo2Ptr>("RobotTarvo2Ptr");
    qRegisterMetaType<QList<AppPtr>>("QList<AppPtr>");
}

IAdbConductorEvent::IAdbConductorEvent() = default;
IAdbConductorEvent::IAdbConductorEvent(const IAdbConductorEvent &) = default;
IAdbConductorEvent &IAdbConductorEvent::operator=(const IAdbConductorEvent &) = default;

AdbConductor::AdbConductor(QObject *parent)
    : QObject(parent)
    , robot(std::make_shared<RobotTarvo2>())
{
    // Queued signals below carry these types; the program registers them too, harmlessly twice.
    registerAdbConductorMetaTypes();

    commonWorker = new AdbCommonWorker;
    commonThread = new QThread(this);
    commonWorker->moveToThread(commonThread);
    connect(this, &AdbConductor::sigGetRobotBaseInfo, commonWorker,
        &AdbCommonWorker::slotGetRobotBaseInfo);
    connect(commonWorker, &AdbCommonWorker::sigGetRobotInfo, this, &AdbConductor::slotGetRobotInfo);
    connect(this, &AdbConductor::sigKillServer, commonWorker, &AdbCommonWorker::slotKillServer);
    connect(this, &AdbConductor::sigReboot, commonWorker, &AdbCommonWorker::slotReboot);
    connect(commonThread, &QThread::finished, commonWorker, &QObject::deleteLater);
    connect(commonThread, &QThread::finished, commonThread, &QObject::deleteLater);
    commonThread->start(QThread::InheritPriority);

    installWorker = new AdbInstallWorker;
    installThread = new QThread(this);
    installWorker->moveToThread(installThread);
    connect(this, SIGNAL(sigInstallApps()), installWorker, SLOT(slotInstallApps()));
    connect(
        installWorker, &AdbInstallWorker::sigInstallingApp, this, &AdbConductor::slotInstallingApp);
    connect(installWorker, &AdbInstallWorker::sigInstalledOne, this,
        &AdbConductor::slotInstallOneFinished);
    connect(installWorker, &AdbInstallWorker::sigAllInstalled, this,
        &AdbConductor::slotInstallAllFinished);
    connect(installThread, &QThread::finished, installWorker, &QObject::deleteLater);
    connect(installThread, &QThread::finished, installThread, &QObject::deleteLater);

    // Same thread as the install worker: the uninstall pass runs as direct calls inside the
    // install run that asks for it.
    uninstallWorker = new AdbUninstallWorker;
    uninstallWorker->moveToThread(installThread);
    connect(
        uninstallWorker, SIGNAL(sigUninstallAppListDone()), installWorker, SLOT(slotInstallApps()));
    connect(
        installWorker, SIGNAL(sigUninstallApps()), uninstallWorker, SLOT(slotUninstallAppList()));
    connect(installWorker, SIGNAL(sigAppendUninstallApp(QList<AppPtr>)), uninstallWorker,
        SLOT(slotAppendUninstallApp(QList<AppPtr>)));
    connect(uninstallWorker, &AdbUninstallWorker::sigUninstallStart, this,
        &AdbConductor::slotUninstallStart);
    connect(installThread, &QThread::finished, uninstallWorker, &QObject::deleteLater);
    installThread->start(QThread::InheritPriority);

    pushWorker = new AdbPushFileWorker;
    pushThread = new QThread(this);
    pushWorker->moveToThread(pushThread);
    connect(this, &AdbConductor::sigPushFiles, pushWorker, &AdbPushFileWorker::slotPushFiles);
    connect(pushWorker, &AdbPushFileWorker::sigPushOneFileFinished, this,
        &AdbConductor::slotPushOneFileFinished);
    connect(pushWorker, &AdbPushFileWorker::sigPushFilesFinished, this,
        &AdbConductor::slotPushFilesFinished);
    connect(pushThread, &QThread::finished, pushWorker, &QObject::deleteLater);
    connect(pushThread, &QThread::finished, pushThread, &QObject::deleteLater);
    pushThread->start(QThread::InheritPriority);
}

AdbConductor::~AdbConductor()
{
    const QList<AdbWorker *> workers { pushWorker, commonWorker, installWorker, uninstallWorker };
    for (AdbWorker *worker : workers) {
        worker->abort();
        worker->deleteLater();
    }
    // The workers are deleted when their threads finish; the threads must end before the
    // controller deletes them as its children.
    const QList<QThread *> threads { commonThread, installThread, pushThread };
    for (QThread *thread : threads)
        thread->quit();
    for (QThread *thread : threads)
        thread->wait();
}

void AdbConductor::setEvent(IAdbConductorEvent *sink)
{
    event = sink;
}

void AdbConductor::setSdk(QString sdk)
{
    pushWorker->setSdk(sdk);
    commonWorker->setSdk(sdk);
    installWorker->setSdk(sdk);
    uninstallWorker->setSdk(sdk);
}

void AdbConductor::reset(bool running)
{
    pushWorker->setRunning(running);
    commonWorker->setRunning(running);
    installWorker->setRunning(running);
    uninstallWorker->setRunning(running);
}

void AdbConductor::setRobotVersion(const enumRobotVersion &version)
{
    if (installWorker)
        installWorker->setRobotVersion(version);
}

void AdbConductor::adbGetRobotBaseInfo(const QString &buildKey, const QString &kernelKey)
{
    Logger::instance()->info(QStringLiteral("adbGetRobotBaseInfo..."));
    currentOperation = Operation::BaseInfo;
    emit sigGetRobotBaseInfo(buildKey, kernelKey);
}

void AdbConductor::adbPushFiles(const QString &folder)
{
    currentOperation = Operation::PushFiles;
    emit sigPushFiles(folder);
}

void AdbConductor::adbInstallApps()
{
    currentOperation = Operation::InstallApps;
    emit sigInstallApps();
}

void AdbConductor::adbReboot()
{
    emit sigReboot();
}

void AdbConductor::appendInstallApps(const QList<AppPtr> &apps)
{
    if (!installWorker)
        return;
    QMutexLocker locker(&mutex);
    installWorker->setApps(apps);
}

void AdbConductor::stopAll()
{
    emit sigKillServer();
    switch (currentOperation) {
    case Operation::PushFiles:
        pushWorker->setRunning(false);
        commonWorker->setRunning(false);
        installWorker->setRunning(false);
        break;
    case Operation::BaseInfo:
        commonWorker->setRunning(false);
        installWorker->setRunning(false);
        break;
    case Operation::InstallApps:
        installWorker->setRunning(false);
        break;
    case Operation::None:
        break;
    }
}

void AdbConductor::slotInstallingApp(AppPtr appPtr, utils::ZEVErrorPtr errorPtr)
{
    if (event)
        event->onInstallingApp(appPtr, errorPtr);
}

void AdbConductor::slotInstallOneFinished(AppPtr appPtr, utils::ZEVErrorPtr errorPtr)
{
    if (event)
        event->onInstallOneFinished(appPtr, errorPtr);
}

void AdbConductor::slotInstallAllFinished(utils::ZEVErrorPtr errorPtr)
{
    if (event)
        event->onInstallAllFinished(errorPtr);
}

void AdbConductor::slotPushFilesFinished(utils::ZEVErrorPtr errorPtr)
{
    if (event)
        event->onPushFilesFinished(errorPtr);
}

void AdbConductor::slotPushOneFileFinished(
    QString qsFileName, utils::ZEVErrorPtr errorPtr, int nDone, int nTotal)
{
    if (event)
        event->onPushOneFileFinished(qsFileName, errorPtr, nDone, nTotal);
}

void AdbConductor::slotGetRobotInfo(utils::ZEVErrorPtr errorPtr)
{
    *robot = commonWorker->getRobotInfo();
    auto fresh = std::make_shared<RobotTarvo2>(*robot);
    if (event)
        event->onGetRobotBaseInfo(fresh, errorPtr);
}

void AdbConductor::slotUninstallStart()
{
    if (event)
        event->onUninstallStart();
}
