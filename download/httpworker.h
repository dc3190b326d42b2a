#pragma once

#include "reportqueue.h"
#include "sha256.h"
#include "upgrespdata.h"
#include "zevdownloadhandler.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <functional>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Runs the component's HTTP exchanges one after another on the component's thread and hands
// the results to the component's own thread. Reports left in the queue file go out first.
class HttpWorker : public QObject
{
    Q_OBJECT
public:
    struct Task
    {
        HttpCmdHeader header = HttpCmdUpgradeInfo;
        QString url;
        QByteArray body; // the JSON of a request or report
        QString downloadDir; // where a download is saved
        QString sha256; // announced for this download, or empty
        qint64 size = -1; // announced for this download, or -1
        bool withSignature = false; // the package's ".minisig" is fetched after it
    };

    explicit HttpWorker(ZEVDownloadHandler *handler);
    ~HttpWorker() override;

    // These run on the worker's thread.
    void start();
    void enqueue(const Task &task);
    void setReportQueueFile(const QString &path);
    void setTransferTimeout(int milliseconds);
    void setCaFile(const QString &path);
    void shutdown();
    void cancelDownload();
    // `done` runs on this thread once no exchange is in progress and no task is waiting.
    void whenIdle(std::function<void()> done);

private:
    enum class Stage { Idle, QueuedReport, Task, Signature };

    void next();
    void runTask();
    void send();
    void onReadyRead();
    void onFinished();
    void onIdleTimeout();
    void onSslErrors(const QList<QSslError> &errors);
    void refuseExchange(int code);
    bool handleHeaders();
    bool followRedirect(QNetworkReply *reply, int &code);
    void restartDownloadFresh();
    void readAnswerData();
    void readDownloadData();

    void finishQueuedReport(bool delivered);
    void finishInfo(int code, UpgRespDataPtr data);
    void finishDownload(int code);
    void finishReport(bool delivered, bool keep);
    void completeDownload();
    void fetchSignature();
    void finishSignature(bool keep);
    void endExchange();
    void deliverProgress(bool force);

    int networkErrorCode() const;
    bool isRefusal() const;
    void abortExchange(int code);

    ZEVDownloadHandler *m_handler;
    QNetworkAccessManager *m_network = nullptr;
    QTimer *m_idleTimer = nullptr;
    int m_transferTimeout = 30000;
    QString m_unusableCaFile; // configured but unusable: https is refused
    ReportQueue m_reports;
    QQueue<Task> m_tasks;
    bool m_shuttingDown = false;
    std::vector<std::function<void()>> m_idleWaiters;

    // The exchange in progress.
    Stage m_stage = Stage::Idle;
    Task m_task;
    QNetworkReply *m_reply = nullptr;
    QUrl m_url;
    QByteArray m_method;
    QByteArray m_body;
    QSet<QUrl> m_visited;
    int m_redirects = 0;
    bool m_headersSeen = false;
    bool m_redirecting = false;
    bool m_timedOut = false;
    int m_abortCode = 0; // set when we end the exchange ourselves
    int m_status = 0;
    QByteArray m_answer;

    // The download in progress.
    QString m_partPath;
    QString m_finalPath;
    QFile m_file;
    Sha256 m_sha256;
    qint64 m_offset = 0; // bytes asked to be skipped with Range
    qint64 m_done = 0;
    qint64 m_total = -1;
    bool m_restartedFresh = false;
    bool m_finished = false;
    bool m_discardPart = false;
    QElapsedTimer m_progressClock;
};
