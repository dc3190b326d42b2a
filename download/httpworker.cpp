#include "httpworker.h"

#include "downloadlog.h"
#include "systemproxy.h"
#include "webformats.h"

#include <constants.h>

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include <atomic>
#include <utility>

namespace {

constexpr int kMaxRedirects = 10;
constexpr qint64 kReadChunk = 256 * 1024;
// Qt stops reading from the socket when this much is waiting, so memory stays flat.
constexpr qint64 kReplyBuffer = 1024 * 1024;
constexpr qint64 kHashChunk = 1024 * 1024;
constexpr int kProgressIntervalMs = 100;

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// What the component did and what went wrong: diagnostic detail, off unless enabled.
void log(const QString &message)
{
    qCDebug(lcDownload, "%s", qUtf8Printable(message));
}

// The process-wide TLS configuration before any authority of a CA file was added to it.
const QSslConfiguration &systemOnly()
{
    static const QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    return configuration;
}
std::atomic<bool> g_authoritiesAdded { false };

bool isHttps(const QUrl &url)
{
    return url.scheme() == QLatin1String("https");
}

// "CN=..., O=...": which certificate a TLS error was about.
QString subjectOf(const QSslCertificate &certificate)
{
    QStringList parts;
    for (const QByteArray &attribute : certificate.subjectInfoAttributes())
        parts << QString::fromLatin1(attribute) + QLatin1Char('=')
                + certificate.subjectInfo(attribute).join(QLatin1Char('+'));
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

} // namespace

HttpWorker::HttpWorker(ZEVDownloadHandler *handler)
    : m_handler(handler)
{
}

HttpWorker::~HttpWorker() = default;

void HttpWorker::start()
{
    m_network = new QNetworkAccessManager(this);
    m_network->setProxyFactory(new SystemProxyFactory);
    if (!QSslSocket::supportsSsl())
        log(QStringLiteral("No TLS library could be loaded (Qt was built for %1): https fails")
                .arg(QSslSocket::sslLibraryBuildVersionString()));
    m_idleTimer = new QTimer(this);
    m_idleTimer->setSingleShot(true);
    connect(m_idleTimer, &QTimer::timeout, this, &HttpWorker::onIdleTimeout);
}

void HttpWorker::setReportQueueFile(const QString &path)
{
    m_reports.setFilePath(path);
}

void HttpWorker::setTransferTimeout(int milliseconds)
{
    m_transferTimeout = milliseconds;
}

void HttpWorker::setCaFile(const QString &path)
{
    m_unusableCaFile.clear();
    if (g_authoritiesAdded.exchange(false))
        QSslConfiguration::setDefaultConfiguration(systemOnly());
    if (path.isEmpty())
        return;
    QFile file(path);
    const QList<QSslCertificate> authorities = file.open(QIODevice::ReadOnly)
        ? QSslCertificate::fromDevice(&file, QSsl::Pem)
        : QList<QSslCertificate>();
    if (authorities.isEmpty()) {
        // Refused rather than ignored, as curl refuses a --cacert it cannot use: trust the
        // configuration asked for and did not get shows at once, not when a server changes.
        m_unusableCaFile = QDir::toNativeSeparators(path);
        log(QStringLiteral("The certificate authorities file %1 %2: every https request fails")
                .arg(m_unusableCaFile,
                    file.isOpen() ? QStringLiteral("holds no PEM certificate")
                                  : QStringLiteral("cannot be read (%1)").arg(file.errorString())));
        return;
    }
    // Qt reads the system's authorities when a certificate asks for them, but only in a
    // configuration that names none of its own: a request's configuration naming the file's
    // would have the whole system store read and parsed first (a quarter of a second here). The
    // process-wide default keeps that reading on when authorities are added to it, so the file's
    // go there; the program makes no TLS connection but through this component.
    systemOnly();
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QSslSocket::addDefaultCaCertificates(authorities);
    QT_WARNING_POP
    g_authoritiesAdded = true;
    log(QStringLiteral("Trusting %1 certificate authorities of %2 besides the system's")
            .arg(authorities.size())
            .arg(QDir::toNativeSeparators(path)));
}

void HttpWorker::enqueue(const Task &task)
{
    if (m_shuttingDown)
        return;
    m_tasks.enqueue(task);
    next();
}

void HttpWorker::shutdown()
{
    m_shuttingDown = true;
    m_tasks.clear();
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    m_file.close();
    m_stage = Stage::Idle;
}

void HttpWorker::cancelDownload()
{
    if (m_stage != Stage::Task || m_task.header != HttpCmdDownload || !m_reply)
        return;
    m_discardPart = true;
    abortExchange(utils::kDownloadInterrupted);
}

void HttpWorker::whenIdle(std::function<void()> done)
{
    m_idleWaiters.push_back(std::move(done));
    next();
}

void HttpWorker::next()
{
    if (!m_shuttingDown && m_stage == Stage::Idle && m_tasks.isEmpty()) {
        for (const auto &done : std::exchange(m_idleWaiters, {}))
            done();
    }
    if (m_shuttingDown || m_stage != Stage::Idle || m_tasks.isEmpty())
        return;
    m_task = m_tasks.dequeue();
    const QList<ReportQueue::Entry> queued = m_reports.load();
    if (!queued.isEmpty()) {
        // Queued reports are older than anything asked now, so they go first, oldest first.
        m_stage = Stage::QueuedReport;
        m_url = QUrl(queued.first().url);
        m_method = "POST";
        m_body = queued.first().body;
        log(QStringLiteral("Sending a queued report to %1").arg(m_url.toString()));
        send();
        return;
    }
    runTask();
}

void HttpWorker::runTask()
{
    m_stage = Stage::Task;
    m_body.clear();
    switch (m_task.header) {
    case HttpCmdUpgradeInfo:
    case HttpCmdReport:
        m_url = QUrl(m_task.url.trimmed(), QUrl::StrictMode);
        m_method = "POST";
        m_body = m_task.body;
        if (!m_url.isValid() || m_url.isRelative()) {
            log(QStringLiteral("Bad web service URL: %1").arg(m_task.url));
            if (m_task.header == HttpCmdUpgradeInfo) {
                finishInfo(QNetworkReply::ProtocolUnknownError, nullptr);
            } else {
                finishReport(false, false);
            }
            return;
        }
        break;
    case HttpCmdDownload: {
        const QString name = webformats::downloadFileName(m_task.url);
        if (name.isEmpty()) {
            log(QStringLiteral("Download URL does not parse: %1").arg(m_task.url));
            m_total = -1;
            m_done = 0;
            finishDownload(utils::kDownloadUrlBad);
            return;
        }
        m_url = QUrl(m_task.url.trimmed(), QUrl::StrictMode);
        m_method = "GET";
        QDir().mkpath(m_task.downloadDir);
        m_finalPath = QDir(m_task.downloadDir).absoluteFilePath(name);
        m_partPath = m_finalPath + QStringLiteral(".part");
        m_offset = QFileInfo(m_partPath).size();
        if (m_task.size >= 0 && m_offset > m_task.size) {
            QFile::remove(m_partPath);
            m_offset = 0;
        }
        m_done = 0;
        m_total = -1;
        m_restartedFresh = false;
        m_finished = false;
        log(QStringLiteral("Download %1 to %2 from byte %3")
                .arg(m_url.toString(), m_finalPath)
                .arg(m_offset));
        break;
    }
    }
    m_visited.clear();
    m_visited.insert(m_url);
    m_redirects = 0;
    send();
}

void HttpWorker::send()
{
    if (isHttps(m_url) && !m_unusableCaFile.isEmpty()) {
        log(QStringLiteral("No request to %1: the certificate authorities file %2 is unusable")
                .arg(m_url.toString(), m_unusableCaFile));
        refuseExchange(QNetworkReply::SslHandshakeFailedError);
        return;
    }
    QNetworkRequest request(m_url);
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    const bool download = m_stage == Stage::Task && m_task.header == HttpCmdDownload;
    if (download || m_stage == Stage::Signature) {
        // Without this Qt may ask for compression and change the byte counts under us.
        request.setRawHeader("Accept-Encoding", "identity");
        if (download && m_offset > 0)
            request.setRawHeader("Range", "bytes=" + QByteArray::number(m_offset) + '-');
    }
    if (m_method == "POST") {
        request.setHeader(
            QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        m_reply = m_network->post(request, m_body);
    } else {
        m_reply = m_network->get(request);
    }
    m_reply->setReadBufferSize(kReplyBuffer);
    m_headersSeen = false;
    m_redirecting = false;
    m_timedOut = false;
    m_abortCode = 0;
    m_status = 0;
    m_answer.clear();
    connect(m_reply, &QNetworkReply::readyRead, this, &HttpWorker::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &HttpWorker::onFinished);
    connect(m_reply, &QNetworkReply::sslErrors, this, &HttpWorker::onSslErrors);
    QNetworkReply *reply = m_reply;
    connect(reply, &QNetworkReply::encrypted, this, [this, reply] {
        const QSslCipher cipher = reply->sslConfiguration().sessionCipher();
        log(QStringLiteral("TLS to %1: %2, %3")
                .arg(m_url.host(), cipher.protocolString(), cipher.name()));
    });
    connect(m_reply, &QNetworkReply::metaDataChanged, m_idleTimer,
        static_cast<void (QTimer::*)()>(&QTimer::start));
    connect(m_reply, &QNetworkReply::uploadProgress, m_idleTimer,
        static_cast<void (QTimer::*)()>(&QTimer::start));
    m_idleTimer->start(m_transferTimeout);
}

// Never ignored: the reply then fails with SslHandshakeFailedError. This says why.
void HttpWorker::onSslErrors(const QList<QSslError> &errors)
{
    for (const QSslError &error : errors)
        log(QStringLiteral("TLS error from %1: %2; certificate: %3")
                .arg(m_url.toString(), error.errorString(), subjectOf(error.certificate())));
}

// Ends the exchange in progress, which sent nothing, as a network failure with `code` would.
void HttpWorker::refuseExchange(int code)
{
    m_reply = nullptr;
    switch (m_stage) {
    case Stage::Idle:
        return;
    case Stage::QueuedReport:
        finishQueuedReport(false);
        return;
    case Stage::Signature:
        finishSignature(false);
        return;
    case Stage::Task:
        break;
    }
    switch (m_task.header) {
    case HttpCmdUpgradeInfo:
        finishInfo(code, nullptr);
        break;
    case HttpCmdDownload:
        m_file.close();
        finishDownload(code);
        break;
    case HttpCmdReport:
        finishReport(false, true);
        break;
    }
}

void HttpWorker::onIdleTimeout()
{
    if (!m_reply)
        return;
    log(QStringLiteral("No data from %1 for %2 ms").arg(m_url.toString()).arg(m_transferTimeout));
    m_timedOut = true;
    m_reply->abort();
}

// False when the exchange was ended here.
bool HttpWorker::handleHeaders()
{
    if (m_headersSeen)
        return true;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true;
    m_headersSeen = true;
    m_status = status.toInt();
    if (isRedirect(m_status)) {
        m_redirecting = true;
        return true;
    }
    if (m_stage != Stage::Task || m_task.header != HttpCmdDownload)
        return true;

    if (m_status == 206) {
        qint64 first = 0;
        qint64 last = 0;
        qint64 total = 0;
        const bool ranged = webformats::parseContentRange(
            m_reply->rawHeader("Content-Range"), first, last, total);
        if (!ranged || first != m_offset) {
            log(QStringLiteral("Unexpected Content-Range \"%1\" for byte %2")
                    .arg(QString::fromLatin1(m_reply->rawHeader("Content-Range")))
                    .arg(m_offset));
            restartDownloadFresh();
            return false;
        }
        m_total = total;
        if (m_total < 0)
            m_total = m_offset + (last - first + 1);
        m_file.setFileName(m_partPath);
        if (!m_file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
            abortExchange(utils::kPackageBroken);
            return false;
        }
        // The digest covers the whole file, so it starts with the bytes already saved.
        m_sha256.reset();
        qint64 hashed = m_task.sha256.isEmpty() ? m_offset : 0;
        while (hashed < m_offset) {
            const QByteArray chunk = m_file.read(qMin(kHashChunk, m_offset - hashed));
            if (chunk.isEmpty())
                break;
            m_sha256.addData(chunk);
            hashed += chunk.size();
        }
        if (hashed != m_offset || !m_file.seek(m_offset)) {
            m_file.close();
            restartDownloadFresh();
            return false;
        }
        m_done = m_offset;
        log(QStringLiteral("Resuming at byte %1 of %2").arg(m_offset).arg(m_total));
    } else if (m_status == 200) {
        if (m_offset > 0)
            log(QStringLiteral("Range not honoured, downloading from the start"));
        m_offset = 0;
        m_total = m_reply->header(QNetworkRequest::ContentLengthHeader).isValid()
            ? m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()
            : -1;
        m_file.setFileName(m_partPath);
        // Unbuffered: every byte received is in the part file at once, so a download that
        // stalls or a tool that is killed keeps all of it for the resume.
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            abortExchange(utils::kPackageBroken);
            return false;
        }
        m_sha256.reset();
        m_done = 0;
    } else if (m_status == 416 && m_offset > 0) {
        // The saved part does not fit the file on the server any more.
        restartDownloadFresh();
        return false;
    } else {
        log(QStringLiteral("HTTP status %1 for %2").arg(m_status).arg(m_url.toString()));
        abortExchange(utils::kDownloadHttpError);
        return false;
    }
    m_progressClock.start();
    deliverProgress(true);
    return true;
}

void HttpWorker::restartDownloadFresh()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    m_file.close();
    QFile::remove(m_partPath);
    if (m_restartedFresh) {
        finishDownload(utils::kDownloadHttpError);
        return;
    }
    m_restartedFresh = true;
    m_offset = 0;
    send();
}

void HttpWorker::onReadyRead()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    m_idleTimer->start(m_transferTimeout);
    const bool proceed = handleHeaders();
    if (m_reply != reply)
        return; // ended, or replaced by a fresh request
    if (!proceed || m_redirecting || m_abortCode) {
        // A body we do not want: read it away so that the exchange can end.
        reply->readAll();
        return;
    }
    if (m_stage == Stage::Task && m_task.header == HttpCmdDownload)
        readDownloadData();
    else
        readAnswerData();
}

void HttpWorker::readAnswerData()
{
    const bool signature = m_stage == Stage::Signature;
    const qint64 limit = signature ? zev::kMaxSignatureBytes : webformats::kMaxAnswerBytes;
    m_answer += m_reply->read(limit + 1 - m_answer.size());
    if (m_answer.size() > limit)
        abortExchange(signature ? utils::kPackageSignatureBad : utils::kUpgradeInfoBad);
}

void HttpWorker::readDownloadData()
{
    if (!m_file.isOpen())
        return;
    while (m_reply && m_reply->bytesAvailable() > 0) {
        const QByteArray chunk = m_reply->read(kReadChunk);
        if (chunk.isEmpty())
            break;
        if (m_total >= 0 && m_done + chunk.size() > m_total) {
            log(QStringLiteral("More data than announced from %1").arg(m_url.toString()));
            abortExchange(utils::kPackageBroken);
            return;
        }
        if (m_file.write(chunk) != chunk.size()) {
            log(QStringLiteral("Cannot write %1: %2").arg(m_partPath, m_file.errorString()));
            abortExchange(utils::kPackageBroken);
            return;
        }
        if (!m_task.sha256.isEmpty())
            m_sha256.addData(chunk);
        m_done += chunk.size();
    }
    deliverProgress(false);
}

// The service answered and will not take it: sending again would not help.
bool HttpWorker::isRefusal() const
{
    if (m_abortCode == utils::kHttpRedirectError)
        return true;
    return m_status >= 400 && m_status < 500 && m_status != 408 && m_status != 429;
}

void HttpWorker::abortExchange(int code)
{
    m_abortCode = code;
    // Qt has already ended a reply that carries an HTTP error; aborting it again confuses it.
    if (m_reply && !m_reply->isFinished() && m_reply->error() == QNetworkReply::NoError)
        m_reply->abort();
}

int HttpWorker::networkErrorCode() const
{
    if (m_timedOut)
        return QNetworkReply::TimeoutError;
    const int code = m_reply->error();
    return utils::isNetworkErrorCode(code) ? code : QNetworkReply::UnknownNetworkError;
}

// False with `code` set when the redirect cannot be followed.
bool HttpWorker::followRedirect(QNetworkReply *reply, int &code)
{
    code = utils::kHttpRedirectError;
    const QByteArray location = reply->rawHeader("Location");
    const QUrl target = m_url.resolved(QUrl(QString::fromUtf8(location), QUrl::StrictMode));
    if (location.isEmpty() || !target.isValid()) {
        log(QStringLiteral("Redirect without a usable target from %1").arg(m_url.toString()));
        return false;
    }
    // Up to https only: a redirect never takes a request out of TLS nor to another protocol.
    const bool upgrade = m_url.scheme() == QLatin1String("http") && isHttps(target);
    if (target.scheme() != m_url.scheme() && !upgrade) {
        log(QStringLiteral("Redirect to another scheme: %1").arg(target.toString()));
        return false;
    }
    if (m_visited.contains(target)) {
        log(QStringLiteral("Redirect loop at %1").arg(target.toString()));
        return false;
    }
    if (++m_redirects > kMaxRedirects) {
        log(QStringLiteral("Too many redirects from %1").arg(m_task.url));
        return false;
    }
    m_visited.insert(target);
    if (m_status == 303 || ((m_status == 301 || m_status == 302) && m_method == "POST")) {
        m_method = "GET";
        m_body.clear();
    }
    m_url = target;
    return true;
}

void HttpWorker::onFinished()
{
    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_reply)
        return;
    m_idleTimer->stop();
    if (!m_abortCode && !m_timedOut && handleHeaders() && !m_redirecting) {
        if (m_stage == Stage::Task && m_task.header == HttpCmdDownload)
            readDownloadData();
        else if (m_reply)
            readAnswerData();
    }
    if (m_reply != reply)
        return; // a fresh request has replaced it
    reply->deleteLater();

    const bool networkFailure = reply->error() != QNetworkReply::NoError || m_timedOut;
    if (networkFailure && !m_timedOut && !m_abortCode)
        log(QStringLiteral("%1: %2").arg(m_url.toString(), reply->errorString()));
    if (m_redirecting && !networkFailure && !m_abortCode) {
        int code = 0;
        if (followRedirect(reply, code)) {
            send();
            return;
        }
        m_abortCode = code;
    }

    if (m_stage == Stage::Signature) {
        const bool whole = !networkFailure && !m_abortCode && m_status == 200;
        m_reply = nullptr;
        finishSignature(whole || m_abortCode == utils::kPackageSignatureBad);
        return;
    }

    if (m_stage == Stage::QueuedReport) {
        const bool delivered = !networkFailure && !m_abortCode && m_status >= 200 && m_status < 300;
        const bool keep = !delivered && !isRefusal();
        m_reply = nullptr;
        if (!delivered && !keep)
            log(QStringLiteral("Queued report refused (status %1); dropped").arg(m_status));
        finishQueuedReport(!keep);
        return;
    }

    switch (m_task.header) {
    case HttpCmdUpgradeInfo: {
        int code = 0;
        UpgRespDataPtr data;
        if (m_abortCode) {
            code = m_abortCode;
        } else if (networkFailure) {
            code = networkErrorCode();
        } else if (m_status != 200) {
            code = utils::kUpgradeInfoBad;
        } else {
            auto answer = std::make_shared<UpgRespData>();
            if (webformats::parseUpgradeAnswer(m_answer, *answer))
                data = answer;
            else
                code = utils::kUpgradeInfoBad;
        }
        m_reply = nullptr;
        finishInfo(code, data);
        break;
    }
    case HttpCmdDownload: {
        int code = 0;
        if (m_abortCode)
            code = m_abortCode;
        else if (m_status >= 300)
            code = utils::kDownloadHttpError;
        else if (networkFailure)
            code = m_headersSeen ? utils::kDownloadInterrupted : networkErrorCode();
        m_reply = nullptr;
        if (code) {
            m_file.close();
            finishDownload(code);
        } else {
            completeDownload();
        }
        break;
    }
    case HttpCmdReport: {
        const bool delivered = !networkFailure && !m_abortCode && m_status >= 200 && m_status < 300;
        const bool keep = !delivered && !isRefusal();
        m_reply = nullptr;
        finishReport(delivered, keep);
        break;
    }
    }
}

void HttpWorker::completeDownload()
{
    m_file.close();
    if (m_total >= 0 && m_done != m_total) {
        log(QStringLiteral("Download of %1 ended at byte %2 of %3")
                .arg(m_finalPath)
                .arg(m_done)
                .arg(m_total));
        finishDownload(utils::kDownloadInterrupted);
        return;
    }
    if (m_total < 0)
        m_total = m_done;
    const bool sizeWrong = m_task.size >= 0 && m_task.size != m_done;
    const bool digestWrong
        = !m_task.sha256.isEmpty() && m_task.sha256 != QString::fromLatin1(m_sha256.hexResult());
    if (sizeWrong || digestWrong) {
        log(QStringLiteral("Downloaded %1 does not match the announced %2")
                .arg(m_finalPath, sizeWrong ? QStringLiteral("size") : QStringLiteral("SHA-256")));
        // A resumed part cannot fix a wrong file: the next try starts over.
        QFile::remove(m_partPath);
        finishDownload(utils::kPackageBroken);
        return;
    }
    if (QFileInfo::exists(m_finalPath))
        QFile::remove(m_finalPath);
    if (!QFile::rename(m_partPath, m_finalPath)) {
        log(QStringLiteral("Cannot rename %1").arg(m_partPath));
        finishDownload(utils::kPackageBroken);
        return;
    }
    log(QStringLiteral("Downloaded %1, %2 bytes").arg(m_finalPath).arg(m_done));
    deliverProgress(true);
    if (m_task.withSignature) {
        fetchSignature();
        return;
    }
    finishDownload(0);
}

void HttpWorker::fetchSignature()
{
    // A signature left from an earlier download must not pass for this package's.
    QFile::remove(m_finalPath + zev::kSignatureSuffix);
    m_stage = Stage::Signature;
    m_url = QUrl(m_task.url.trimmed() + zev::kSignatureSuffix, QUrl::StrictMode);
    m_method = "GET";
    m_body.clear();
    m_visited.clear();
    m_visited.insert(m_url);
    m_redirects = 0;
    log(QStringLiteral("Fetch the signature %1").arg(m_url.toString()));
    send();
}

// `keep`: the whole answer, or its first bytes past the limit.
void HttpWorker::finishSignature(bool keep)
{
    const QString path = m_finalPath + zev::kSignatureSuffix;
    if (!keep) {
        log(QStringLiteral("No signature at %1 (status %2)").arg(m_url.toString()).arg(m_status));
    } else {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(m_answer) != m_answer.size()
            || !file.commit())
            log(QStringLiteral("Cannot save %1").arg(path));
        else
            log(QStringLiteral("Saved the signature %1, %2 bytes").arg(path).arg(m_answer.size()));
    }
    finishDownload(0);
}

void HttpWorker::deliverProgress(bool force)
{
    if (!force && m_progressClock.isValid() && m_progressClock.elapsed() < kProgressIntervalMs)
        return;
    m_progressClock.restart();
    const qint64 total = m_total < 0 ? 0 : m_total;
    const qint64 done = m_done;
    ZEVDownloadHandler *handler = m_handler;
    QMetaObject::invokeMethod(
        handler, [handler, total, done] { handler->deliverProgress(total, done); },
        Qt::QueuedConnection);
}

void HttpWorker::finishQueuedReport(bool done)
{
    m_stage = Stage::Idle;
    if (done) {
        m_reports.removeFirst();
        // Put the task back at the head: next() sends what else is queued before it.
        m_tasks.prepend(m_task);
        next();
        return;
    }
    const QUrl taskUrl(m_task.url.trimmed());
    const bool sameService = taskUrl.scheme() == m_url.scheme() && taskUrl.host() == m_url.host()
        && taskUrl.port() == m_url.port();
    if (sameService) {
        log(QStringLiteral("Queued report not delivered; it stays queued"));
        if (m_task.header == HttpCmdReport) {
            // The service is still out of reach: keep the new report behind the older ones.
            m_reports.append({ m_task.url, m_task.body, 0 });
            endExchange();
            return;
        }
    } else if (m_reports.noteFailedAttempt()) {
        // Only an address the configuration no longer names wears out; reports for a service
        // that is merely down wait for it however long it takes.
        log(QStringLiteral("Queued report to %1 not delivered after %2 attempts; dropped")
                .arg(m_url.toString())
                .arg(ReportQueue::kMaxAttempts));
    } else {
        log(QStringLiteral("Queued report to %1 not delivered; it stays queued")
                .arg(m_url.toString()));
    }
    // The new request goes out anyway: the user waits for its answer, and when the old report
    // went to an address the configuration has since changed, its own service may well be up.
    runTask();
}

void HttpWorker::finishInfo(int code, UpgRespDataPtr data)
{
    if (code)
        log(QStringLiteral("Upgrade information request failed with code %1").arg(code));
    if (!data)
        data = std::make_shared<UpgRespData>();
    auto error = utils::makeError(code);
    ZEVDownloadHandler *handler = m_handler;
    QMetaObject::invokeMethod(
        handler, [handler, data, error] { handler->deliverUpgradeInfo(data, error); },
        Qt::QueuedConnection);
    endExchange();
}

void HttpWorker::finishDownload(int code)
{
    if (m_finished)
        return;
    m_finished = true;
    if (code != 0 && m_discardPart)
        QFile::remove(m_partPath);
    m_discardPart = false;
    const qint64 total = m_total < 0 ? 0 : m_total;
    const qint64 done = m_done;
    const QString path = code == 0 ? m_finalPath : QString();
    auto error = utils::makeError(code);
    ZEVDownloadHandler *handler = m_handler;
    QMetaObject::invokeMethod(
        handler,
        [handler, total, done, path, error] {
            handler->deliverTaskFinished(total, done, path, error);
        },
        Qt::QueuedConnection);
    endExchange();
}

void HttpWorker::finishReport(bool delivered, bool keep)
{
    if (delivered) {
        log(QStringLiteral("Report delivered to %1").arg(m_task.url));
    } else if (keep) {
        log(QStringLiteral("Report not delivered to %1; kept in %2")
                .arg(m_task.url, m_reports.filePath()));
        m_reports.append({ m_task.url, m_task.body, 0 });
    } else {
        log(QStringLiteral("Report refused by %1 (status %2); dropped")
                .arg(m_task.url)
                .arg(m_status));
    }
    endExchange();
}

void HttpWorker::endExchange()
{
    m_stage = Stage::Idle;
    m_reply = nullptr;
    QMetaObject::invokeMethod(this, &HttpWorker::next, Qt::QueuedConnection);
}
