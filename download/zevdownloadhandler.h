#pragma once

#include "idownloadhandlerevent.h"
#include "upgrespdata.h"
#include "zevdownloadhandler_export.h"

#include <robottarvo2.h>
#include <robotversion.h>
#include <singleton.h>
#include <zeverror.h>

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class ZEVDownloadHandler;
class HttpWorker;
class QThread;

namespace utils {
extern template class ZEVDOWNLOADHANDLER_EXPORT SingletonT<ZEVDownloadHandler>;
}

enum HttpCmdHeader {
    HttpCmdUpgradeInfo = 0, // newest package for the robot
    HttpCmdDownload = 2, // one file into the download path
    HttpCmdReport = 3, // a run's result
};

enum DownLoadTaskMode {
    DownLoadTaskModeNormal = 0,
};

// HTTP client of the upgrade web service. Requests run one after another on a thread of the
// component's own; the event sink is called on the thread that created the component. They go
// through the proxies the system names (systemproxy.h), https with certificates verified.
//
// Failure codes in the callbacks: a network failure gives its QNetworkReply::NetworkError value
// (utils::isNetworkErrorCode), a certificate that does not verify SslHandshakeFailedError;
// redirect loops, too many redirects or a change of scheme other than from http to https
// kHttpRedirectError; an answer that is not the expected JSON kUpgradeInfoBad; a download URL
// that does not parse kDownloadUrlBad; an HTTP error status on a download kDownloadHttpError; a
// connection lost in the middle of a download kDownloadInterrupted; a downloaded file that does
// not match the announced size or SHA-256, or cannot be saved, kPackageBroken.
class ZEVDOWNLOADHANDLER_EXPORT ZEVDownloadHandler : public QObject,
                                                     public utils::SingletonT<ZEVDownloadHandler>
{
    Q_OBJECT
public:
    explicit ZEVDownloadHandler(QObject *parent = nullptr);
    ~ZEVDownloadHandler() override;

    void createTaskInstance(
        const QString &downloadPath, IDownloadHandlerEvent *event, DownLoadTaskMode mode);
    // The record is read when a request is posted.
    void setRobotTarvo2Data(std::shared_ptr<RobotTarvo2> robot);
    void setRobotVersion(const enumRobotVersion &robotVersion);
    void setDownloadPath(const QString &path);
    // With true, each download (header 2) also fetches the package's signature, the download URL
    // followed by ".minisig", into "<package>.minisig" beside it. A signature that cannot be
    // fetched fails nothing here (whoever checks it refuses the package); one larger than
    // zev::kMaxSignatureBytes is cut one byte past the limit, so that the check sees it is too
    // large.
    void setFetchSignatures(bool fetch);
    // A PEM file of certificate authorities trusted besides the system's for https; empty for
    // the system's alone. They go into Qt's process-wide default, so the last call of any
    // instance holds. A file that cannot be read or holds no certificate fails every https
    // request with SslHandshakeFailedError (6) before anything is sent.
    void setCaFile(const QString &path);
    // A report (header 3) gets no callback; one that cannot be delivered is kept in the report
    // queue file and sent before the next request.
    void postHttpTask(QString url, HttpCmdHeader header, utils::ZEVErrorPtr error);

    // Ends a download in progress with kDownloadInterrupted and removes what it saved, so that
    // nothing half-written stays for a later resume. Anything else in progress goes on.
    void cancelDownload();
    // Calls `done` on this component's thread once every request posted before is over (a report
    // delivered or kept in the queue file).
    void whenSettled(std::function<void()> done);

    // Defaults: "pending_reports.json" beside the program; 30000 ms without any data.
    void setReportQueueFile(const QString &path);
    void setTransferTimeout(int milliseconds);

private:
    void deliverUpgradeInfo(UpgRespDataPtr data, utils::ZEVErrorPtr error);
    void deliverProgress(qint64 totalBytes, qint64 doneBytes);
    void deliverTaskFinished(
        qint64 totalBytes, qint64 doneBytes, const QString &filePath, utils::ZEVErrorPtr error);

    IDownloadHandlerEvent *m_event = nullptr;
    RobotTarvo2 m_robot;
    enumRobotVersion m_robotVersion = RobotVersionUnknown;
    QString m_downloadPath;
    bool m_fetchSignatures = false;
    UpgRespDataPtr m_lastAnswer;
    QThread *m_thread = nullptr;
    HttpWorker *m_worker = nullptr;

    friend class HttpWorker;
};
