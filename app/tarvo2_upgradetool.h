#pragma once

#include "izevusbinterface.h"
#include "sessioneventinterface.h"
#include "stepstate.h"
#include "upgradeview.h"

#include <adbconductor.h>
#include <appconfig.h>
#include <idownloadhandlerevent.h>
#include <singleton.h>
#include <upgrespdata.h>
#include <zeverror.h>

#include <QDialog>
#include <QList>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

class QMutex;
class QThread;
class UsbWatcher;
class ZEVSocketWorker;
class ZipHandler;

Q_DECLARE_INTERFACE(IAdbConductorEvent, "IAdbConductorEvent")
Q_DECLARE_INTERFACE(IDownloadHandlerEvent, "IDownloadHandlerEvent")

namespace Ui {
class Tarvo2_UpgradeToolClass;
}

// The main dialog and controller of the one-click upgrade: a frameless window with three pages
// (start, check and download, install). One press of the start button runs the chain USB check,
// serial number, base information, build checks, upgrade information, download or reuse,
// unpacking, push, uninstall and install; every run ends in exactly one finish box.
// One process-wide instance, made by main() through instance() and freed by release().
class Tarvo2_UpgradeTool : public QDialog,
                           public IAdbConductorEvent,
                           public IDownloadHandlerEvent,
                           public IZEVSocketSessionEvent,
                           public IZEVUsbInterface,
                           public utils::SingletonT<Tarvo2_UpgradeTool>,
                           private UpgradeView
{
    Q_OBJECT
    Q_INTERFACES(IAdbConductorEvent IDownloadHandlerEvent IZEVSocketSessionEvent IZEVUsbInterface)

public:
    explicit Tarvo2_UpgradeTool(QWidget *parent = nullptr);
    ~Tarvo2_UpgradeTool() override;

    // Where the simulated install progress stops (95..99) for a seed of seconds since midnight.
    static int progressCapForSeed(quint32 seconds);

    // IAdbConductorEvent
    void onGetRobotBaseInfo(RobotTarvo2Ptr robotPtr, utils::ZEVErrorPtr errorPtr) override;
    void onInstallingApp(AppPtr appPtr, utils::ZEVErrorPtr errorPtr) override;
    void onInstallAllFinished(utils::ZEVErrorPtr errorPtr) override;
    void onInstallOneFinished(AppPtr appPtr, utils::ZEVErrorPtr errorPtr) override;
    void onPushFilesFinished(utils::ZEVErrorPtr errorPtr) override;
    void onPushOneFileFinished(
        QString name, utils::ZEVErrorPtr errorPtr, int nDone, int nTotal) override;
    void onUninstallStart() override;

    // IDownloadHandlerEvent
    void onProgress(qint64 totalBytes, qint64 doneBytes) override;
    void onTaskFinished(qint64 totalBytes, qint64 doneBytes, QString filePath,
        utils::ZEVErrorPtr errorPtr) override;
    void onUpgradeInfo(UpgRespDataPtr dataPtr, utils::ZEVErrorPtr errorPtr) override;

    // IZEVSocketSessionEvent: the serial worker drives its own session.
    void OnSerialNum(QString qsSerialNum) override;
    void OnConnected() override;

    // IZEVUsbInterface; called from the serial worker's thread.
    bool isUsbConnected() override;

    // Where the run shows itself; null gives the dialog's widgets and boxes back. The view must
    // outlive its use.
    void setView(UpgradeView *view);
    UsbWatcher *usbWatch() const { return usbWatcher; }
    bool isTaskRunning() const { return taskRunning; }

signals:
    void sigCheckRobot();
    void sigStartTask(UpgRespDataPtr dataPtr);
    void sigProgressChange(qint64 totalBytes, qint64 doneBytes);
    void sigTaskFinished(qint64 totalBytes, qint64 doneBytes);
    void sigUpgradeRobot();
    void sigInstallApps();
    void sigGetRobotBaseInfo();
    void sigExtractZipFile(QString fileName, QString qsMD5, int type);
    void sigReportError(utils::ZEVErrorPtr errorPtr);
    void sigOnGetRobotBaseInfo(RobotTarvo2Ptr robotPtr);
    void sigShowFinishMessageBox(utils::ZEVErrorPtr errorPtr);
    void sigUsbStateChanged(bool bInsertUsb);
    void sigReadSerialNumDone();
    void sigGetUpgradeInfo();
    void sigReadSerialNum();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;

protected slots:
    void on_btn_close_clicked();
    void on_pbStartUpgrade_clicked();
    void onTimerOut();
    void slotExtractZipDone(QList<AppPtr> appList, utils::ZEVErrorPtr errorPtr);
    bool slotVerifyZipFileMd5();
    void slotGetUpgradeInfo();
    void slotStartTask(UpgRespDataPtr dataPtr);
    void slotUpdateProgress(qint64 totalBytes, qint64 doneBytes);
    void slotTaskFinished(qint64 totalBytes, qint64 doneBytes);
    void slotCheckRobot();
    void slotGetRobotBaseInfo();
    void slotOnGetRobotBaseInfo(RobotTarvo2Ptr robotPtr);
    void slotUpgradeRobot();
    void slotInstallApps();
    void slotShowFinishMessageBox(utils::ZEVErrorPtr errorPtr);
    void slotReportError(utils::ZEVErrorPtr errorPtr);
    void slotUsbStateChanged(bool bInsertUsb);
    void slotReadSerialnumDone(QString serialNum);

private:
    using Page = UpgradePage;

    friend class TestDialog;
    friend class TestWorkflow;
    friend class TestFaults;

    // UpgradeView, with the dialog's widgets and message boxes.
    void showPage(UpgradePage page) override;
    void showStep(StepState step, const QString &text) override;
    void showInstallStep(StepState step, const QString &text, const QString &detail) override;
    void showDownloadProgress(qint64 totalBytes, qint64 doneBytes) override;
    void resetDownloadProgress() override;
    void showPushed(const QString &name, int done, int total) override;
    void showInstallProgress(int value, int maximum) override;
    void resetInstallProgress() override;
    void setStartEnabled(bool enabled) override;
    void showWarning(const QString &title, const QString &text) override;
    void showFinish(int code, const QString &title, const QString &message,
                    const QString &robotSerial) override;

    void applyStyleSheet();
    static void cleanWorkFolders();
    void finishWithCode(utils::ErrorCode code);
    void startExtract(const QString &path);
    void startProgressTimer(int intervalMs, int startValue, int maximum);
    void newProgressCap();
    bool buildsPassChecks(const RobotTarvo2 &robotInfo) const;
    void stopThread(QThread *thread);
    enumRobotVersion currentRobotType() const;
    QString currentWorkDir() const;

    std::unique_ptr<Ui::Tarvo2_UpgradeToolClass> ui;
    UpgradeView *view = this;

    AppConfig config;
    bool dragging = false;
    QPoint dragPressGlobalPos;
    QPoint dragPressWindowPos;
    Page currentPage = Page::Start;
    QString packagePath;
    QMutex *stateMutex;
    QTimer progressTimer;
    int fakeProgressCap = 99;
    // Holds usbConnected, robotType and workDir, written under stateMutex.
    UsbWatcher *usbWatcher = nullptr;
    QPointer<QThread> zipThread;
    UpgRespDataPtr upgradeInfo;
    QString packageMd5;
    int fakeProgressValue = 0;
    StepState stepState = StepState::Idle;
    QMutex *robotMutex;
    RobotTarvo2Ptr robot;
    QString serialNumber;
    QPointer<ZEVSocketWorker> serialWorker;
    QPointer<QThread> serialThread;
    // Not owning: the zip thread's finished() is the handler's one owner.
    QPointer<ZipHandler> zipHandler;
    bool taskRunning = false;
};
