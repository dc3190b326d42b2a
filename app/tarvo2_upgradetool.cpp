#include "tarvo2_upgradetool.h"
#include "ui_tarvo2_upgradetool.h"

#include "applog.h"
#include "usbwatcher.h"
#include "windowsize.h"
#include "zevsocketworker.h"
#include "ziphandler.h"

#include <adbconductor.h>
#include <constants.h>
#include <fileutils.h>
#include <logger.h>
#include <platform.h>
#include <zevdownloadhandler.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QStyleOption>
#include <QThread>
#include <QTime>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr int kDragAreaHeight = 45;

using utils::kBuildTooOld;
using utils::kRobotNotFound;
using utils::kRobotTypeWrong;
using utils::kUpgradeInfoBad;

const char kSystemLowLimit[] = "2016-07-21 19:59:46";
const char kKernelLowLimit[] = "2016-07-20 18:31:33";
const char kLimitFormat[] = "yyyy-MM-dd hh:mm:ss";
const char kBuildFormat[] = "yyyyMMddhhmmss";

// The battery warning compares against the single-precision 0.6, slightly above 0.6 itself.
const double kBatteryWarningRatio = static_cast<double>(0.6f);

// A failure once the base information has arrived is reported to the web service.
bool baseInfoArrived(StepState state)
{
    switch (state) {
    case StepState::Idle:
    case StepState::ReadingBaseInfo:
        return false;
    case StepState::Preparing:
    case StepState::PushingFiles:
    case StepState::InstallingApps:
        return true;
    }
    return false;
}

// The simulated progress moves one step per tick; adb reports none of its own.
constexpr int kUninstallTickMs = 50;
constexpr int kCameraTickMs = 500;
constexpr int kLanguageTickMs = 10;
constexpr int kAppTickMs = 1000;

int installTickMs(int appKind)
{
    switch (appKind) {
    case AppKindCamera:
        return kCameraTickMs;
    case AppKindLanguage:
        return kLanguageTickMs;
    default:
        return kAppTickMs;
    }
}

QString decodedMessage(const utils::ZEVErrorPtr &error)
{
    return utils::ZEVError::decodeMessage(error->errorMessage());
}

// A finishing callback without an error object tells nothing of what went wrong: its step fails
// with kUnknownError, never with "Success" nor with a code that would name a cause.
utils::ZEVErrorPtr orUnknown(const utils::ZEVErrorPtr &error)
{
    return error ? error : utils::makeError(utils::kUnknownError);
}

} // namespace

Tarvo2_UpgradeTool::Tarvo2_UpgradeTool(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::Tarvo2_UpgradeToolClass>())
    , stateMutex(new QMutex(QMutex::Recursive))
    , robotMutex(new QMutex(QMutex::Recursive))
{
    ui->setupUi(this);
    applyStyleSheet();
    ui->stackedWidget->setCurrentIndex(static_cast<int>(currentPage));
    ui->pbStartUpgrade->setCursor(Qt::PointingHandCursor);
    ui->versionLabel->hide();
    ui->versionComb->hide();
    ui->btn_close->setFocusPolicy(Qt::NoFocus);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        resize(mainWindowSize(screen->availableGeometry().size(), minimumSize(), maximumSize()));

    AdbConductor::instance()->setEvent(this);
    const QString adbPath = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()
        + QLatin1Char('/') + QLatin1String(platform::adbRelativePath()));
    Logger::instance()->info(QStringLiteral("adb path:%1.").arg(adbPath));
    AdbConductor::instance()->setSdk(QLatin1Char('"') + adbPath + QLatin1Char('"'));

    config = readAppConfig();

    usbWatcher = new UsbWatcher(stateMutex, this);
    {
        QMutexLocker locker(stateMutex);
        usbWatcher->setWorkDir(FileUtils::downloadDirPath(RobotVersionUnknown));
        cleanWorkFolders();
        FileUtils::prepareAppDirs();
        usbWatcher->setWorkDir(FileUtils::downloadDirPath(RobotVersionUnknown));
    }

    usbWatcher->setIdleQuery(
        [this] { return stepState == StepState::Idle || stepState == StepState::Preparing; });
    usbWatcher->setArrivalReset([] { AdbConductor::instance()->reset(true); });
    connect(usbWatcher, &UsbWatcher::usbRemoved, this, [this] { slotUsbStateChanged(false); });
    usbWatcher->setupUsbWatch();
#ifdef Q_OS_WIN
    usbWatcher->registerDeviceNotification(reinterpret_cast<void *>(winId()));
#endif

    connect(this, &Tarvo2_UpgradeTool::sigCheckRobot, this, &Tarvo2_UpgradeTool::slotCheckRobot);
    connect(this, &Tarvo2_UpgradeTool::sigStartTask, this, &Tarvo2_UpgradeTool::slotStartTask);
    connect(this, &Tarvo2_UpgradeTool::sigProgressChange, this,
        &Tarvo2_UpgradeTool::slotUpdateProgress);
    connect(
        this, &Tarvo2_UpgradeTool::sigTaskFinished, this, &Tarvo2_UpgradeTool::slotTaskFinished);
    connect(
        this, &Tarvo2_UpgradeTool::sigUpgradeRobot, this, &Tarvo2_UpgradeTool::slotUpgradeRobot);
    connect(this, &Tarvo2_UpgradeTool::sigInstallApps, this, &Tarvo2_UpgradeTool::slotInstallApps);
    connect(this, &Tarvo2_UpgradeTool::sigGetRobotBaseInfo, this,
        &Tarvo2_UpgradeTool::slotGetRobotBaseInfo);
    connect(this, &Tarvo2_UpgradeTool::sigReportError, this, &Tarvo2_UpgradeTool::slotReportError);
    connect(this, &Tarvo2_UpgradeTool::sigOnGetRobotBaseInfo, this,
        &Tarvo2_UpgradeTool::slotOnGetRobotBaseInfo);
    connect(this, &Tarvo2_UpgradeTool::sigShowFinishMessageBox, this,
        &Tarvo2_UpgradeTool::slotShowFinishMessageBox);
    connect(this, &Tarvo2_UpgradeTool::sigUsbStateChanged, this,
        &Tarvo2_UpgradeTool::slotUsbStateChanged);
    connect(this, &Tarvo2_UpgradeTool::sigGetUpgradeInfo, this,
        &Tarvo2_UpgradeTool::slotGetUpgradeInfo);
    connect(&progressTimer, &QTimer::timeout, this, &Tarvo2_UpgradeTool::onTimerOut);
}

Tarvo2_UpgradeTool::~Tarvo2_UpgradeTool()
{
    progressTimer.stop();
    // A run may still be reading the serial number or unpacking; its thread must end before the
    // dialog deletes it as a child.
    stopThread(serialThread);
    stopThread(zipThread);
    AdbConductor::release();
    utils::SingletonT<ZEVDownloadHandler>::release();
    delete usbWatcher;
    usbWatcher = nullptr;
    delete stateMutex;
    stateMutex = nullptr;
    delete robotMutex;
    robotMutex = nullptr;
    cleanWorkFolders();
    FileUtils::ensureFolder(FileUtils::downloadDirPath(RobotVersion2M));
    FileUtils::ensureFolder(FileUtils::downloadDirPath(RobotVersion5M));
    // A dialog deleted directly, not through release(), must not stay registered.
    if (s_pInstance == this)
        s_pInstance = nullptr;
}

void Tarvo2_UpgradeTool::stopThread(QThread *thread)
{
    if (!thread)
        return;
    thread->quit();
    thread->wait();
}

void Tarvo2_UpgradeTool::applyStyleSheet()
{
    QFile qss(QStringLiteral(":/Tarvo2_UpgradeTool/Resources/Tarvo2_default.qss"));
    if (qss.open(QIODevice::ReadOnly))
        setStyleSheet(QString::fromUtf8(qss.readAll()));
}

void Tarvo2_UpgradeTool::cleanWorkFolders()
{
    FileUtils::cleanFolderKeepZip(FileUtils::downloadDirPath(RobotVersion2M));
    FileUtils::cleanFolderKeepZip(FileUtils::downloadDirPath(RobotVersion5M));
}

void Tarvo2_UpgradeTool::on_btn_close_clicked()
{
    close();
}

void Tarvo2_UpgradeTool::mousePressEvent(QMouseEvent *event)
{
    if (rect().contains(event->pos()) && event->button() == Qt::LeftButton && !isMaximized()) {
        dragging = true;
        dragPressWindowPos = pos();
        dragPressGlobalPos = event->globalPos();
        event->accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

void Tarvo2_UpgradeTool::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging && event->pos().y() <= kDragAreaHeight) {
        move(dragPressWindowPos + event->globalPos() - dragPressGlobalPos);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void Tarvo2_UpgradeTool::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        dragging = false;
    QDialog::mouseReleaseEvent(event);
}

void Tarvo2_UpgradeTool::keyPressEvent(QKeyEvent *event)
{
    // A plain dialog would close on Escape; this one only closes through its close button.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Tarvo2_UpgradeTool::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

void Tarvo2_UpgradeTool::closeEvent(QCloseEvent *event)
{
    if (!taskRunning) {
        event->accept();
        return;
    }
    const int answer = QMessageBox::question(nullptr, tr("Exit"),
        tr("A task is running , end the operation and exit?"), tr("Yes"), tr("No"), QString(), 0,
        -1);
    if (answer == 0)
        event->accept();
    else
        event->ignore();
}

bool Tarvo2_UpgradeTool::nativeEvent(const QByteArray &eventType, void *message, long *result)
{
    Q_UNUSED(eventType)
#ifdef Q_OS_WIN
    const MSG *msg = static_cast<const MSG *>(message);
    if (usbWatcher)
        usbWatcher->handleNativeMessage(message);
    if (msg->message == WM_NCHITTEST) {
        const int x = static_cast<short>(LOWORD(msg->lParam));
        const int y = static_cast<short>(HIWORD(msg->lParam));
        const QPoint local = QPoint(x, y) - frameGeometry().topLeft();
        const QWidget *child = childAt(local);
        if (!child)
            return true;
        if (child == ui->titleBar) {
            *result = HTCAPTION;
            return true;
        }
        return false;
    }
#endif
    return QWidget::nativeEvent(QByteArray(), message, result);
}

void Tarvo2_UpgradeTool::setView(UpgradeView *newView)
{
    view = newView ? newView : this;
}

void Tarvo2_UpgradeTool::showPage(UpgradePage page)
{
    currentPage = page;
    ui->stackedWidget->setCurrentIndex(static_cast<int>(page));
}

void Tarvo2_UpgradeTool::showStep(StepState step, const QString &text)
{
    Q_UNUSED(step)
    ui->lbDownloadEvent->setText(text);
}

void Tarvo2_UpgradeTool::showInstallStep(StepState step, const QString &text, const QString &detail)
{
    Q_UNUSED(step)
    ui->lbInstallEvent->setText(text);
    if (!detail.isNull())
        ui->lbInstallPackageName->setText(detail);
}

void Tarvo2_UpgradeTool::showDownloadProgress(qint64 totalBytes, qint64 doneBytes)
{
    ui->downloadProgressBar->setMaximum(static_cast<int>(totalBytes));
    ui->downloadProgressBar->setValue(static_cast<int>(doneBytes));
}

void Tarvo2_UpgradeTool::resetDownloadProgress()
{
    ui->downloadProgressBar->reset();
}

void Tarvo2_UpgradeTool::showPushed(const QString &name, int done, int total)
{
    ui->installProgressBar->setMaximum(total);
    ui->installProgressBar->setValue(done);
    ui->lbInstallEvent->setText(tr("Push: ") + name + QStringLiteral(": "));
    ui->lbInstallPackageName->setText(tr("Succeed"));
}

void Tarvo2_UpgradeTool::showInstallProgress(int value, int maximum)
{
    ui->installProgressBar->setMaximum(maximum);
    ui->installProgressBar->setValue(value);
}

void Tarvo2_UpgradeTool::resetInstallProgress()
{
    ui->installProgressBar->reset();
}

void Tarvo2_UpgradeTool::setStartEnabled(bool enabled)
{
    ui->pbStartUpgrade->setEnabled(enabled);
}

void Tarvo2_UpgradeTool::showWarning(const QString &title, const QString &text)
{
    QMessageBox::warning(nullptr, title, text, tr("Ok"), QString(), QString(), 0, -1);
}

void Tarvo2_UpgradeTool::showFinish(
    int code, const QString &title, const QString &message, const QString &robotSerial)
{
    Q_UNUSED(robotSerial)
    if (code == utils::kSuccess)
        QMessageBox::warning(nullptr, title, message, tr("Ok"), QString(), QString(), 0, -1);
    else
        QMessageBox::critical(nullptr, title, message, tr("Ok"), QString(), QString(), 0, -1);
}

enumRobotVersion Tarvo2_UpgradeTool::currentRobotType() const
{
    return usbWatcher->robotType();
}

QString Tarvo2_UpgradeTool::currentWorkDir() const
{
    return usbWatcher->workDir();
}

bool Tarvo2_UpgradeTool::isUsbConnected()
{
    QMutexLocker locker(stateMutex);
    return usbWatcher->isUsbConnected();
}

void Tarvo2_UpgradeTool::OnSerialNum(QString qsSerialNum)
{
    Q_UNUSED(qsSerialNum)
}

void Tarvo2_UpgradeTool::OnConnected()
{
}

void Tarvo2_UpgradeTool::finishWithCode(utils::ErrorCode code)
{
    emit sigShowFinishMessageBox(utils::makeError(code));
}

void Tarvo2_UpgradeTool::on_pbStartUpgrade_clicked()
{
    Logger::instance()->info(QStringLiteral(
        "----------------------------------Start Upgrade------------------------------"));
    if (config.region.compare(QLatin1String("en"), Qt::CaseInsensitive) == 0
        && currentRobotType() == RobotVersion2M) {
        finishWithCode(kBuildTooOld);
        return;
    }
    FileUtils::killProcessesByName(QString::fromLatin1(platform::adbProgramName()));
    usbWatcher->checkUsbDevice();
    Logger::instance()->info(QStringLiteral("testUsbConnectRobot"));

    // The finish box is modal: it is never shown with a mutex held, so that the USB event
    // thread and the serial worker are not stalled behind it.
    QMutexLocker locker(stateMutex);
    if (usbWatcher->isUsbConnected()) {
        view->setStartEnabled(false);
        taskRunning = true;
        view->showPage(Page::Download);
        view->showStep(stepState, tr("Read the robot version information, please wait..."));
        packagePath.clear();
        // A robot whose number cannot be read must not be reported under the one before it.
        serialNumber.clear();
        AdbConductor::instance()->reset(true);
        Logger::instance()->info(QStringLiteral("sigGetRobotBaseInfo..."));
        emit sigCheckRobot();
    } else {
        locker.unlock();
        utils::ZEVErrorPtr error = utils::makeError(kRobotNotFound);
        Logger::instance()->info(QStringLiteral("usb not connect or robot shutdown!"));
        emit sigShowFinishMessageBox(error);
    }
}

void Tarvo2_UpgradeTool::slotCheckRobot()
{
    auto *worker = new ZEVSocketWorker;
    auto *thread = new QThread(this);
    worker->moveToThread(thread);
    // The thread's end is the worker's one owner; the thread is quit once the number is in.
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(
        this, &Tarvo2_UpgradeTool::sigReadSerialNum, worker, &ZEVSocketWorker::slotConnectRobot);
    connect(worker, &ZEVSocketWorker::sigReadSerialNumDone, this,
        &Tarvo2_UpgradeTool::slotReadSerialnumDone);
    serialWorker = worker;
    serialThread = thread;
    thread->start(QThread::InheritPriority);

    Logger::instance()->info(QStringLiteral("get robot serialnum start..."));
    view->showStep(stepState, tr("Read the robot serial number, please wait..."));
    emit sigReadSerialNum();
}

void Tarvo2_UpgradeTool::slotReadSerialnumDone(QString serialNum)
{
    if (!serialNum.isEmpty()) {
        serialNumber = serialNum;
        QMutexLocker locker(robotMutex);
        if (robot) {
            robot->serialNumber = serialNum;
            utils::SingletonT<ZEVDownloadHandler>::instance()->setRobotTarvo2Data(robot);
        }
        Logger::instance()->info(
            QStringLiteral("read serialnum : %1 sucessfull...").arg(serialNum));
    } else {
        Logger::instance()->info(QStringLiteral("read serialnum failure!"));
        qDebug() << "Robot SerialNum:" << serialNum;
    }
    // Only the worker of this run answers here; its thread ends and deletes it.
    if (QThread *thread = serialThread) {
        disconnect(this, &Tarvo2_UpgradeTool::sigReadSerialNum, nullptr, nullptr);
        thread->quit();
    }
    serialWorker = nullptr;
    serialThread = nullptr;
    emit sigGetRobotBaseInfo();
}

void Tarvo2_UpgradeTool::slotGetRobotBaseInfo()
{
    view->showPage(Page::Download);
    view->showStep(
        StepState::ReadingBaseInfo, tr("Read the robot system and the main service version."));
    Logger::instance()->info(QStringLiteral("Request robot tavro2 base infomation start..."));
    stepState = StepState::ReadingBaseInfo;
    AdbConductor::instance()->adbGetRobotBaseInfo(config.buildVersionKey, config.kernelVersionKey);
}

void Tarvo2_UpgradeTool::onGetRobotBaseInfo(RobotTarvo2Ptr robotPtr, utils::ZEVErrorPtr errorPtr)
{
    errorPtr = orUnknown(errorPtr);
    // An answer without a record is no success, whatever its code says.
    if (errorPtr->errorCode() == utils::kSuccess && !robotPtr)
        errorPtr = utils::makeError(utils::kUnknownError);
    if (errorPtr->errorCode() != utils::kSuccess) {
        emit sigShowFinishMessageBox(errorPtr);
        return;
    }
    Logger::instance()->info(QStringLiteral("Get robot version sucessfull!"));
    {
        QMutexLocker locker(robotMutex);
        robotPtr->serialNumber = serialNumber;
        robot = std::make_shared<RobotTarvo2>(*robotPtr);
    }
    ZEVDownloadHandler *download = utils::SingletonT<ZEVDownloadHandler>::instance();
    download->createTaskInstance(currentWorkDir(), this, DownLoadTaskModeNormal);
    download->setFetchSignatures(!config.trustedKeys.isEmpty());
    download->setCaFile(config.caFile);
    robotPtr->region = config.region;
    download->setRobotTarvo2Data(robotPtr);
    download->setRobotVersion(currentRobotType());
    emit sigOnGetRobotBaseInfo(robot);
}

bool Tarvo2_UpgradeTool::buildsPassChecks(const RobotTarvo2 &robotInfo) const
{
    const QString format = QLatin1String(kLimitFormat);
    const qint64 systemLimit
        = QDateTime::fromString(QLatin1String(kSystemLowLimit), format).toTime_t();
    const qint64 kernelLimit
        = QDateTime::fromString(QLatin1String(kKernelLowLimit), format).toTime_t();
    // An unparsable build string gives the largest unsigned value and passes.
    const qint64 systemBuild
        = QDateTime::fromString(robotInfo.buildVersion, QLatin1String(kBuildFormat)).toTime_t();
    const qint64 kernelBuild = robotInfo.kernelVersion;
    return !(systemBuild < systemLimit || kernelBuild < 0 || kernelBuild < kernelLimit);
}

void Tarvo2_UpgradeTool::slotOnGetRobotBaseInfo(RobotTarvo2Ptr robotPtr)
{
    stepState = StepState::Preparing;
    if (!robotPtr || !buildsPassChecks(*robotPtr)) {
        finishWithCode(kBuildTooOld);
        return;
    }
    QMutexLocker locker(stateMutex);
    if (currentRobotType() == RobotVersionUnknown && usbWatcher->isUsbConnected()) {
        locker.unlock();
        finishWithCode(kRobotTypeWrong);
        return;
    }
    slotGetUpgradeInfo();
}

void Tarvo2_UpgradeTool::slotGetUpgradeInfo()
{
    view->showStep(stepState, tr("Request the latest upgrade software version information..."));
    ZEVDownloadHandler *download = utils::SingletonT<ZEVDownloadHandler>::instance();
    download->setDownloadPath(currentWorkDir());
    download->postHttpTask(config.findInstallApkUrl, HttpCmdUpgradeInfo, utils::ZEVErrorPtr());
}

void Tarvo2_UpgradeTool::onUpgradeInfo(UpgRespDataPtr dataPtr, utils::ZEVErrorPtr errorPtr)
{
    // Without an error object the answer cannot be taken for one, whatever it holds.
    if (!errorPtr) {
        emit sigShowFinishMessageBox(orUnknown(errorPtr));
        return;
    }
    if (!dataPtr
        || (errorPtr->errorCode() == utils::kSuccess
            && (!dataPtr->valid || dataPtr->downloadUrl.isEmpty()))) {
        Logger::instance()->warning(QStringLiteral("dataPtr is null!"));
        errorPtr->setErrorCode(kUpgradeInfoBad);
        emit sigShowFinishMessageBox(errorPtr);
        return;
    }
    if (errorPtr->errorCode() != utils::kSuccess) {
        emit sigShowFinishMessageBox(errorPtr);
        return;
    }
    {
        QMutexLocker locker(robotMutex);
        upgradeInfo = dataPtr;
    }
    const QString folder = currentWorkDir();
    utils::SingletonT<ZEVDownloadHandler>::instance()->setDownloadPath(folder);
    packageMd5 = dataPtr->packageMd5;

    // With trusted keys a cached package is only as good as the signature beside it, which the
    // unpacker checks again.
    QString found;
    if (FileUtils::findFileByMd5(folder, packageMd5, found)
        && (config.trustedKeys.isEmpty() || QFile::exists(found + zev::kSignatureSuffix))) {
        {
            QMutexLocker locker(stateMutex);
            packagePath = found;
        }
        startExtract(found);
        return;
    }
    FileUtils::recreateFolder(folder, true);
    emit sigStartTask(dataPtr);
}

void Tarvo2_UpgradeTool::slotStartTask(UpgRespDataPtr dataPtr)
{
    Logger::instance()->info(QStringLiteral("Start downloading..."));
    view->showStep(stepState, tr("downloading..."));
    utils::SingletonT<ZEVDownloadHandler>::instance()->postHttpTask(
        dataPtr->downloadUrl, HttpCmdDownload, utils::ZEVErrorPtr());
}

void Tarvo2_UpgradeTool::onProgress(qint64 totalBytes, qint64 doneBytes)
{
    emit sigProgressChange(totalBytes, doneBytes);
}

void Tarvo2_UpgradeTool::slotUpdateProgress(qint64 totalBytes, qint64 doneBytes)
{
    view->showDownloadProgress(totalBytes, doneBytes);
}

void Tarvo2_UpgradeTool::onTaskFinished(
    qint64 totalBytes, qint64 doneBytes, QString filePath, utils::ZEVErrorPtr errorPtr)
{
    if (errorPtr && errorPtr->errorCode() == utils::kSuccess) {
        {
            QMutexLocker locker(stateMutex);
            packagePath = filePath;
        }
        emit sigTaskFinished(totalBytes, doneBytes);
        return;
    }
    emit sigShowFinishMessageBox(orUnknown(errorPtr));
}

void Tarvo2_UpgradeTool::slotTaskFinished(qint64 totalBytes, qint64 doneBytes)
{
    slotUpdateProgress(totalBytes, doneBytes);
    QString path;
    {
        QMutexLocker locker(stateMutex);
        path = packagePath;
    }
    startExtract(path);
}

bool Tarvo2_UpgradeTool::slotVerifyZipFileMd5()
{
    return false;
}

void Tarvo2_UpgradeTool::startExtract(const QString &path)
{
    QString md5;
    bool haveAnswer = false;
    {
        QMutexLocker locker(robotMutex);
        haveAnswer = upgradeInfo != nullptr;
        if (haveAnswer)
            md5 = upgradeInfo->packageMd5;
    }
    if (path.isEmpty() || !haveAnswer) {
        finishWithCode(utils::kDownloadHttpError);
        return;
    }
    view->showStep(stepState, tr("Check upgrade file..."));
    auto *handler = new ZipHandler;
    auto *thread = new QThread(this);
    handler->moveToThread(thread);
    connect(this, &Tarvo2_UpgradeTool::sigExtractZipFile, handler, &ZipHandler::slotExtractZip);
    connect(handler, &ZipHandler::sigExtractZipDone, this, &Tarvo2_UpgradeTool::slotExtractZipDone);
    // The thread's end is the handler's one owner; the thread is quit once the answer is in.
    connect(thread, &QThread::finished, handler, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    zipHandler = handler;
    zipThread = thread;
    thread->start(QThread::InheritPriority);

    QMutexLocker locker(stateMutex);
    emit sigExtractZipFile(path, md5, static_cast<int>(currentRobotType()));
}

void Tarvo2_UpgradeTool::slotExtractZipDone(QList<AppPtr> appList, utils::ZEVErrorPtr errorPtr)
{
    Logger::instance()->info(QStringLiteral("Extract the upgrade zip file..."));
    if (QThread *thread = zipThread) {
        disconnect(this, &Tarvo2_UpgradeTool::sigExtractZipFile, nullptr, nullptr);
        thread->quit();
    }
    zipHandler = nullptr;
    zipThread = nullptr;

    if (errorPtr && errorPtr->errorCode() == utils::kSuccess) {
        AdbConductor::instance()->appendInstallApps(appList);
        emit sigUpgradeRobot();
        return;
    }
    if (isUsbConnected())
        emit sigShowFinishMessageBox(orUnknown(errorPtr));
    else
        finishWithCode(kRobotNotFound);
}

void Tarvo2_UpgradeTool::slotUpgradeRobot()
{
    if (!isUsbConnected()) {
        finishWithCode(kRobotNotFound);
        return;
    }
    view->showPage(Page::Install);
    Logger::instance()->info(QStringLiteral("rooting please wait for about three minitues..."));

    bool lowBattery = false;
    {
        QMutexLocker locker(robotMutex);
        lowBattery = robot && robot->batteryRatio < kBatteryWarningRatio && !robot->acPowered;
    }
    if (lowBattery) {
        view->showWarning(tr("Warnning"),
            tr("Your tarvo's power is less than 60%,please make sure Tarvo is charging before "
               "upgrade!"));
    }

    view->showInstallStep(StepState::PushingFiles, tr("Copy action files:"), tr(""));
    progressTimer.stop();
    view->resetDownloadProgress();

    QMutexLocker locker(stateMutex);
    AdbConductor::instance()->setRobotVersion(currentRobotType());
    stepState = StepState::PushingFiles;
    AdbConductor::instance()->adbPushFiles(currentWorkDir());
}

void Tarvo2_UpgradeTool::onPushOneFileFinished(
    QString name, utils::ZEVErrorPtr errorPtr, int nDone, int nTotal)
{
    if (!errorPtr || errorPtr->errorCode() != utils::kSuccess)
        return;
    view->showPushed(name, nDone, nTotal);
}

void Tarvo2_UpgradeTool::onPushFilesFinished(utils::ZEVErrorPtr errorPtr)
{
    if (!errorPtr || errorPtr->errorCode() != utils::kSuccess) {
        emit sigShowFinishMessageBox(orUnknown(errorPtr));
        return;
    }
    progressTimer.stop();
    view->resetInstallProgress();
    emit sigInstallApps();
}

void Tarvo2_UpgradeTool::slotInstallApps()
{
    stepState = StepState::InstallingApps;
    AdbConductor::instance()->adbInstallApps();
}

int Tarvo2_UpgradeTool::progressCapForSeed(quint32 seconds)
{
    QRandomGenerator generator(seconds);
    return static_cast<int>(generator.bounded(5u)) + 95;
}

void Tarvo2_UpgradeTool::newProgressCap()
{
    // Seeded with the seconds since midnight, as the tool always did; qsrand is deprecated.
    fakeProgressCap
        = progressCapForSeed(static_cast<quint32>(QTime(0, 0, 0).secsTo(QTime::currentTime())));
}

void Tarvo2_UpgradeTool::startProgressTimer(int intervalMs, int startValue, int maximum)
{
    fakeProgressValue = startValue;
    if (progressTimer.isActive())
        progressTimer.stop();
    view->showInstallProgress(startValue, maximum);
    progressTimer.start(intervalMs);
}

void Tarvo2_UpgradeTool::onTimerOut()
{
    fakeProgressValue += 1;
    view->showInstallProgress(qMin(fakeProgressValue, fakeProgressCap), 100);
}

void Tarvo2_UpgradeTool::onUninstallStart()
{
    newProgressCap();
    startProgressTimer(kUninstallTickMs, 0, 100);
    view->showInstallStep(stepState, tr("uninstall apps"), tr("please wait..."));
}

void Tarvo2_UpgradeTool::onInstallingApp(AppPtr appPtr, utils::ZEVErrorPtr errorPtr)
{
    if (!errorPtr || errorPtr->errorCode() != utils::kSuccess || !appPtr)
        return;
    newProgressCap();
    startProgressTimer(installTickMs(appPtr->id), 0, 100);
    view->showInstallStep(stepState, tr("Installing:"), appPtr->name);
}

void Tarvo2_UpgradeTool::onInstallOneFinished(AppPtr appPtr, utils::ZEVErrorPtr errorPtr)
{
    if (!errorPtr || errorPtr->errorCode() != utils::kSuccess)
        return;
    progressTimer.stop();
    view->resetInstallProgress();
    view->showInstallStep(
        stepState, tr("Installation complete:"), appPtr ? appPtr->name : QLatin1String(""));
}

void Tarvo2_UpgradeTool::onInstallAllFinished(utils::ZEVErrorPtr errorPtr)
{
    if (!errorPtr || errorPtr->errorCode() != utils::kSuccess) {
        emit sigShowFinishMessageBox(orUnknown(errorPtr));
        return;
    }
    view->showInstallStep(stepState, decodedMessage(errorPtr), QString());
    errorPtr->setErrorCode(utils::kSuccess);
    emit sigShowFinishMessageBox(errorPtr);
}

void Tarvo2_UpgradeTool::slotShowFinishMessageBox(utils::ZEVErrorPtr errorPtr)
{
    errorPtr = orUnknown(errorPtr);
    qCDebug(lcApp, "Upgrade finished, code: %d", errorPtr->errorCode());
    view->setStartEnabled(true);
    progressTimer.stop();
    view->resetDownloadProgress();

    if (errorPtr->errorCode() == utils::kSuccess) {
        emit sigReportError(errorPtr);
        view->showFinish(errorPtr->errorCode(), tr("Success"),
            tr("Root complete, please wait for your robot to restart!"), serialNumber);
    } else {
        if (baseInfoArrived(stepState))
            emit sigReportError(errorPtr);
        view->showFinish(
            errorPtr->errorCode(), tr("Failure"), decodedMessage(errorPtr), serialNumber);
    }
    stepState = StepState::Idle;
    taskRunning = false;
    view->showPage(Page::Start);
}

void Tarvo2_UpgradeTool::slotReportError(utils::ZEVErrorPtr errorPtr)
{
    ZEVDownloadHandler *download = utils::SingletonT<ZEVDownloadHandler>::instance();
    {
        QMutexLocker locker(robotMutex);
        if (robot)
            download->setRobotTarvo2Data(robot);
    }
    // A run may end before the base information, where the rest of the settings are handed over.
    download->setCaFile(config.caFile);
    download->postHttpTask(config.addInstallStatUrl, HttpCmdReport, errorPtr);
}

void Tarvo2_UpgradeTool::slotUsbStateChanged(bool bInsertUsb)
{
    switch (stepState) {
    case StepState::Idle:
    case StepState::Preparing:
        AdbConductor::instance()->reset(bInsertUsb);
        break;
    case StepState::ReadingBaseInfo:
    case StepState::PushingFiles:
    case StepState::InstallingApps:
        if (!bInsertUsb) {
            progressTimer.stop();
            view->resetDownloadProgress();
            AdbConductor::instance()->stopAll();
        }
        break;
    }
}
