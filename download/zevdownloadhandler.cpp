#include "zevdownloadhandler.h"

#include "downloadlog.h"
#include "httpworker.h"
#include "webformats.h"

#include <fileutils.h>

#include <QDateTime>
#include <QDir>
#include <QThread>

namespace utils {
template class SingletonT<ZEVDownloadHandler>;
}

namespace {

const QString kReportQueueFile = QStringLiteral("pending_reports.json");

} // namespace

ZEVDownloadHandler::ZEVDownloadHandler(QObject *parent)
    : QObject(parent)
    , m_thread(new QThread)
    , m_worker(new HttpWorker(this))
{
    qRegisterMetaType<UpgRespDataPtr>("UpgRespDataPtr");
    m_thread->setObjectName(QStringLiteral("ZEVDownloadHandler"));
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
    HttpWorker *worker = m_worker;
    const QString queueFile = FileUtils::joinPath(FileUtils::writableHomePath(), kReportQueueFile);
    QMetaObject::invokeMethod(worker, [worker, queueFile] {
        worker->start();
        worker->setReportQueueFile(queueFile);
    });
}

ZEVDownloadHandler::~ZEVDownloadHandler()
{
    HttpWorker *worker = m_worker;
    // Blocking: the worker must have let go of its transfer before its thread ends.
    QMetaObject::invokeMethod(
        worker, [worker] { worker->shutdown(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void ZEVDownloadHandler::createTaskInstance(
    const QString &downloadPath, IDownloadHandlerEvent *event, DownLoadTaskMode mode)
{
    Q_UNUSED(mode)
    m_downloadPath = downloadPath;
    m_event = event;
}

void ZEVDownloadHandler::setRobotTarvo2Data(std::shared_ptr<RobotTarvo2> robot)
{
    m_robot = robot ? RobotTarvo2(*robot) : RobotTarvo2();
}

void ZEVDownloadHandler::setRobotVersion(const enumRobotVersion &robotVersion)
{
    m_robotVersion = robotVersion;
}

void ZEVDownloadHandler::setDownloadPath(const QString &path)
{
    m_downloadPath = path;
}

void ZEVDownloadHandler::setFetchSignatures(bool fetch)
{
    m_fetchSignatures = fetch;
}

void ZEVDownloadHandler::setCaFile(const QString &path)
{
    HttpWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, path] { worker->setCaFile(path); });
}

void ZEVDownloadHandler::setReportQueueFile(const QString &path)
{
    HttpWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, path] { worker->setReportQueueFile(path); });
}

void ZEVDownloadHandler::setTransferTimeout(int milliseconds)
{
    HttpWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, milliseconds] { worker->setTransferTimeout(milliseconds); });
}

void ZEVDownloadHandler::postHttpTask(QString url, HttpCmdHeader header, utils::ZEVErrorPtr error)
{
    HttpWorker::Task task;
    task.header = header;
    task.url = url;
    switch (header) {
    case HttpCmdUpgradeInfo:
        qCDebug(lcDownload, "Request the newest package from %s", qUtf8Printable(url));
        task.body = webformats::upgradeInfoRequest(m_robot, m_robotVersion);
        break;
    case HttpCmdDownload:
        task.downloadDir = m_downloadPath.isEmpty()
            ? FileUtils::downloadDirPath(RobotVersionUnknown)
            : m_downloadPath;
        task.withSignature = m_fetchSignatures;
        if (m_lastAnswer && m_lastAnswer->downloadUrl == url.trimmed()) {
            task.sha256 = m_lastAnswer->sha256;
            task.size = m_lastAnswer->size;
        }
        break;
    case HttpCmdReport: {
        const int code = error ? error->errorCode() : 0;
        const QString message
            = error ? QString::fromLocal8Bit(error->errorMessage().c_str()) : QString();
        const QDateTime now = QDateTime::currentDateTime();
        task.body = webformats::reportRequest(
            m_robot, m_robotVersion, code, message, now.toOffsetFromUtc(now.offsetFromUtc()));
        qCDebug(lcDownload, "Report code %d to %s", code, qUtf8Printable(url));
        break;
    }
    default:
        qCDebug(lcDownload, "Unknown HTTP task %d ignored", int(header));
        return;
    }
    HttpWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, task] { worker->enqueue(task); });
}

void ZEVDownloadHandler::cancelDownload()
{
    HttpWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->cancelDownload(); });
}

void ZEVDownloadHandler::whenSettled(std::function<void()> done)
{
    HttpWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [this, worker, done = std::move(done)] {
        worker->whenIdle([this, done] { QMetaObject::invokeMethod(this, done); });
    });
}

void ZEVDownloadHandler::deliverUpgradeInfo(UpgRespDataPtr data, utils::ZEVErrorPtr error)
{
    if (error->errorCode() == utils::kSuccess)
        m_lastAnswer = data;
    if (m_event)
        m_event->onUpgradeInfo(data, error);
}

void ZEVDownloadHandler::deliverProgress(qint64 totalBytes, qint64 doneBytes)
{
    if (m_event)
        m_event->onProgress(totalBytes, doneBytes);
}

void ZEVDownloadHandler::deliverTaskFinished(
    qint64 totalBytes, qint64 doneBytes, const QString &filePath, utils::ZEVErrorPtr error)
{
    if (m_event)
        m_event->onTaskFinished(totalBytes, doneBytes, filePath, error);
}
