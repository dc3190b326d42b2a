// The download component against a real HTTP service on loopback.
#include "webfixture.h"

#include <zevdownloadhandler.h>

#include <QtTest>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

struct Finished
{
    qint64 total;
    qint64 done;
    QString path;
    int code;
};

// Records every callback and the thread it came on.
class Recorder : public QObject, public IDownloadHandlerEvent
{
    Q_OBJECT
public:
    void onProgress(qint64 totalBytes, qint64 doneBytes) override
    {
        progress.append({ totalBytes, doneBytes });
        onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
    }
    void onTaskFinished(
        qint64 totalBytes, qint64 doneBytes, QString filePath, utils::ZEVErrorPtr error) override
    {
        finished.append({ totalBytes, doneBytes, filePath, error ? error->errorCode() : -1 });
        onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
        emit taskFinished();
    }
    void onUpgradeInfo(UpgRespDataPtr data, utils::ZEVErrorPtr error) override
    {
        answers.append(data);
        codes.append(error ? error->errorCode() : -1);
        onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
        emit upgradeInfo();
    }

    QList<QPair<qint64, qint64>> progress;
    QList<Finished> finished;
    QList<UpgRespDataPtr> answers;
    QList<int> codes;
    bool onGuiThread = true;

signals:
    void taskFinished();
    void upgradeInfo();
};

QString sha256Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

std::shared_ptr<RobotTarvo2> sampleRobot()
{
    auto robot = std::make_shared<RobotTarvo2>();
    robot->serialNumber = QStringLiteral("TV2-0042");
    robot->region = QStringLiteral("cn");
    robot->buildVersion = QStringLiteral("20170315120000");
    robot->kernelVersion = 1489579200;
    robot->ipAddress = QStringLiteral("192.168.1.23");
    robot->batteryRatio = 0.75;
    robot->acPowered = false;
    return robot;
}

QJsonArray entriesFor(const QJsonArray &log, const QString &pathPrefix)
{
    QJsonArray out;
    for (const QJsonValue &entry : log) {
        if (entry.toObject().value(QStringLiteral("path")).toString().startsWith(pathPrefix))
            out.append(entry);
    }
    return out;
}

const QString kFind = QStringLiteral("/zev/version/findPcInstallApk");
const QString kReport = QStringLiteral("/zev/version/addPcInstallStat");

} // namespace

class TestDownloadHandler : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void upgradeInfo_data();
    void upgradeInfo();
    void upgradeInfoRequestBody();
    void upgradeInfoTimeout();
    void download_data();
    void download();
    void cutThenResume_data();
    void cutThenResume();
    void rangeAnsweredWith200();
    void rangeAnsweredWithWrongStart();
    void partLargerThanFile();
    void announcedDigestMismatch();
    void corruptPartCaughtByDigest();
    void stalledDownloadTimesOut();
    void steadyTrickleOutlastsTheIdleLimit();
    void progressAndOneFinishPerDownload();
    void destroyedInTheMiddle_data();
    void destroyedInTheMiddle();
    void reportDelivered();
    void reportStatus_data();
    void reportStatus();
    void reportKeptWhileServiceDown();
    void staleQueuedReportDoesNotHoldBackNewOnes_data();
    void staleQueuedReportDoesNotHoldBackNewOnes();

private:
    std::unique_ptr<ZEVDownloadHandler> makeHandler();
    UpgRespDataPtr askUpgradeInfo(ZEVDownloadHandler &handler, const QString &query);
    Finished runDownload(ZEVDownloadHandler &handler, const QString &url);

    WebFixture m_web;
    std::unique_ptr<QTemporaryDir> m_dir;
    Recorder *m_recorder = nullptr;
};

void TestDownloadHandler::initTestCase()
{
    QVERIFY(m_web.start());
}

void TestDownloadHandler::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_recorder = new Recorder;
}

void TestDownloadHandler::cleanup()
{
    delete m_recorder;
    m_recorder = nullptr;
    m_dir.reset();
}

std::unique_ptr<ZEVDownloadHandler> TestDownloadHandler::makeHandler()
{
    auto handler = std::make_unique<ZEVDownloadHandler>();
    handler->setReportQueueFile(m_dir->filePath(QStringLiteral("queue.json")));
    handler->createTaskInstance(
        m_dir->filePath(QStringLiteral("5M")), m_recorder, DownLoadTaskModeNormal);
    handler->setRobotTarvo2Data(sampleRobot());
    handler->setRobotVersion(RobotVersion5M);
    return handler;
}

UpgRespDataPtr TestDownloadHandler::askUpgradeInfo(
    ZEVDownloadHandler &handler, const QString &query)
{
    QSignalSpy spy(m_recorder, &Recorder::upgradeInfo);
    const int before = m_recorder->answers.size();
    handler.postHttpTask(m_web.url(kFind + query), HttpCmdUpgradeInfo, nullptr);
    if (!spy.wait(10000) || m_recorder->answers.size() != before + 1)
        return nullptr;
    return m_recorder->answers.last();
}

Finished TestDownloadHandler::runDownload(ZEVDownloadHandler &handler, const QString &url)
{
    QSignalSpy spy(m_recorder, &Recorder::taskFinished);
    const int before = m_recorder->finished.size();
    handler.postHttpTask(url, HttpCmdDownload, nullptr);
    if (!spy.wait(20000) || m_recorder->finished.size() != before + 1)
        return { -1, -1, QString(), -1 };
    return m_recorder->finished.last();
}

void TestDownloadHandler::upgradeInfo_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("hasUrl");

    QTest::newRow("valid") << "?answer=valid" << 0 << true << true;
    QTest::newRow("valid, only the three fields") << "?answer=minimal" << 0 << true << true;
    QTest::newRow("invalid") << "?answer=invalid" << 0 << false << false;
    QTest::newRow("missing URL") << "?answer=nourl" << 0 << true << false;
    QTest::newRow("garbage") << "?answer=garbage" << 501 << false << false;
    QTest::newRow("array instead of object") << "?answer=array" << 501 << false << false;
    QTest::newRow("valid is not a bool") << "?answer=badtype" << 501 << false << false;
    QTest::newRow("md5 is not a digest") << "?answer=baddigest" << 501 << false << false;
    QTest::newRow("answer over 1 MiB") << "?answer=huge" << 501 << false << false;
    QTest::newRow("204 without a body") << "?status=204" << 501 << false << false;
    QTest::newRow("404") << "?status=404" << int(QNetworkReply::ContentNotFoundError) << false
                         << false;
    QTest::newRow("403") << "?status=403" << int(QNetworkReply::ContentAccessDenied) << false
                         << false;
    QTest::newRow("500") << "?status=500" << int(QNetworkReply::InternalServerError) << false
                         << false;
    QTest::newRow("503") << "?status=503" << int(QNetworkReply::ServiceUnavailableError) << false
                         << false;
}

void TestDownloadHandler::upgradeInfo()
{
    QFETCH(QString, query);
    QFETCH(int, code);
    QFETCH(bool, valid);
    QFETCH(bool, hasUrl);

    auto handler = makeHandler();
    const UpgRespDataPtr answer = askUpgradeInfo(*handler, query);
    QVERIFY(answer);
    QCOMPARE(m_recorder->codes.last(), code);
    QCOMPARE(answer->valid, valid);
    QCOMPARE(!answer->downloadUrl.isEmpty(), hasUrl);
    QVERIFY(m_recorder->onGuiThread);
    if (query == QLatin1String("?answer=valid")) {
        QCOMPARE(answer->size, 4096);
        QCOMPARE(answer->version, QStringLiteral("2.3.4"));
        QCOMPARE(answer->packageMd5.size(), 32);
        QCOMPARE(answer->packageMd5, answer->packageMd5.toLower());
        QCOMPARE(answer->sha256.size(), 64);
        QVERIFY(answer->downloadUrl.endsWith(QStringLiteral("/files/package.zip?size=4096")));
    }
    QCOMPARE(m_recorder->finished.size(), 0);
}

void TestDownloadHandler::upgradeInfoRequestBody()
{
    auto handler = makeHandler();
    QVERIFY(askUpgradeInfo(*handler, QStringLiteral("?answer=valid")));
    const QJsonArray requests = entriesFor(m_web.log(), kFind);
    QVERIFY(!requests.isEmpty());
    const QJsonObject request = requests.last().toObject();
    QCOMPARE(request.value(QStringLiteral("method")).toString(), QStringLiteral("POST"));
    QCOMPARE(request.value(QStringLiteral("contentType")).toString(),
        QStringLiteral("application/json"));
    const QJsonObject body = request.value(QStringLiteral("body")).toObject();
    const QJsonObject expected {
        { QStringLiteral("serialNumber"), QStringLiteral("TV2-0042") },
        { QStringLiteral("robotType"), 1 },
        { QStringLiteral("region"), QStringLiteral("cn") },
        { QStringLiteral("buildVersion"), QStringLiteral("20170315120000") },
        { QStringLiteral("kernelVersion"), 1489579200 },
        { QStringLiteral("ipAddress"), QStringLiteral("192.168.1.23") },
        { QStringLiteral("batteryRatio"), 0.75 },
        { QStringLiteral("acPowered"), false },
        { QStringLiteral("toolVersion"), QStringLiteral("1.0.0.5") },
    };
    QCOMPARE(body, expected);
}

// A service that accepts the connection and never answers.
void TestDownloadHandler::upgradeInfoTimeout()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    auto handler = makeHandler();
    handler->setTransferTimeout(300);
    QSignalSpy spy(m_recorder, &Recorder::upgradeInfo);
    handler->postHttpTask(
        QStringLiteral("http://127.0.0.1:%1%2").arg(silent.serverPort()).arg(kFind),
        HttpCmdUpgradeInfo, nullptr);
    QVERIFY(spy.wait(5000));
    QCOMPARE(m_recorder->codes.last(), int(QNetworkReply::TimeoutError));
}

void TestDownloadHandler::download_data()
{
    QTest::addColumn<QString>("url"); // "@" stands for the fixture's base URL
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("savedAs"); // the last segment of the URL asked for
    QTest::addColumn<qint64>("size");

    const QString file = QStringLiteral("/files/pkg.zip?size=300000");
    QTest::newRow("plain") << "@" + file << 0 << "pkg.zip" << qint64(300000);
    QTest::newRow("empty file") << "@/files/empty.bin?size=0" << 0 << "empty.bin" << qint64(0);
    QTest::newRow("no Content-Length")
        << "@/files/pkg.zip?size=300000&nolength=1" << 0 << "pkg.zip" << qint64(300000);
    QTest::newRow("escaped name") << "@/files/a%20b.zip?size=1000" << 0 << "a b.zip"
                                  << qint64(1000);
    QTest::newRow("three redirects")
        << "@/chain/3?then=" + QString::fromLatin1(QUrl::toPercentEncoding(file)) << 0 << "3"
        << qint64(300000);
    QTest::newRow("307 redirect") << "@/redirect?code=307&to="
            + QString::fromLatin1(QUrl::toPercentEncoding(file))
                                  << 0 << "redirect" << qint64(300000);
    QTest::newRow("redirect loop") << "@/loop/a" << 500 << "" << qint64(-1);
    QTest::newRow("eleven redirects")
        << "@/chain/11?then=" + QString::fromLatin1(QUrl::toPercentEncoding(file)) << 500 << ""
        << qint64(-1);
    // Followed: nothing listens there.
    QTest::newRow("redirect up to https")
        << "@/redirect?to=https%3A%2F%2F127.0.0.1%3A1%2Ffiles%2Fpkg.zip"
        << int(QNetworkReply::ConnectionRefusedError) << "" << qint64(-1);
    QTest::newRow("redirect without Location") << "@/nolocation" << 500 << "" << qint64(-1);
    QTest::newRow("404") << "@/status/404" << 503 << "" << qint64(-1);
    QTest::newRow("403") << "@/status/403" << 503 << "" << qint64(-1);
    QTest::newRow("500") << "@/status/500" << 503 << "" << qint64(-1);
    QTest::newRow("204") << "@/status/204" << 503 << "" << qint64(-1);
    QTest::newRow("no file name") << "@/files/" << 502 << "" << qint64(-1);
    QTest::newRow("not a URL") << "download me" << 502 << "" << qint64(-1);
    QTest::newRow("ftp") << "ftp://127.0.0.1/pkg.zip" << 502 << "" << qint64(-1);
    QTest::newRow("no host") << "http:///pkg.zip" << 502 << "" << qint64(-1);
    QTest::newRow("escaped parent folder")
        << "@/files/..%2F..%2Fevil.zip?size=10" << 0 << "evil.zip" << qint64(10);
    QTest::newRow("escaped backslash")
        << "@/files/..%5Cevil.zip?size=10" << 502 << "" << qint64(-1);
    QTest::newRow("device name") << "@/files/NUL.zip?size=10" << 502 << "" << qint64(-1);
    QTest::newRow("connection refused")
        << QStringLiteral("http://127.0.0.1:%1/files/x.zip").arg(WebFixture::closedPort())
        << int(QNetworkReply::ConnectionRefusedError) << "" << qint64(-1);
    QTest::newRow("cut in the middle")
        << "@/files/pkg.zip?size=300000&cut=100000" << 30003 << "" << qint64(-1);
}

void TestDownloadHandler::download()
{
    QFETCH(QString, url);
    QFETCH(int, code);
    QFETCH(QString, savedAs);
    QFETCH(qint64, size);

    if (url.startsWith(QLatin1Char('@')))
        url = m_web.url(url.mid(1));
    auto handler = makeHandler();
    const Finished result = runDownload(*handler, url);
    QCOMPARE(result.code, code);
    QVERIFY(m_recorder->onGuiThread);
    const QDir folder(m_dir->filePath(QStringLiteral("5M")));
    if (code == 0) {
        QCOMPARE(result.path, folder.absoluteFilePath(savedAs));
        QVERIFY(QFileInfo::exists(result.path));
        QVERIFY(!QFileInfo::exists(result.path + QStringLiteral(".part")));
        if (size >= 0) {
            QCOMPARE(QFileInfo(result.path).size(), size);
            QCOMPARE(result.total, size);
            QCOMPARE(result.done, size);
        }
    } else {
        QVERIFY(result.path.isEmpty());
        const QStringList files = folder.entryList(QDir::Files);
        if (code == 30003)
            QCOMPARE(files, QStringList { QStringLiteral("pkg.zip.part") });
        else
            QCOMPARE(files, QStringList {});
    }
    QCOMPARE(m_recorder->finished.size(), 1);
}

void TestDownloadHandler::cutThenResume_data()
{
    QTest::addColumn<QString>("answerKind");
    QTest::newRow("SHA-256 announced") << "valid";
    // Nothing to read the saved part for: the new bytes must still go behind it.
    QTest::newRow("MD5 only") << "minimal";
}

void TestDownloadHandler::cutThenResume()
{
    QFETCH(QString, answerKind);
    const int size = 3 * 1024 * 1024 + 17;
    auto handler = makeHandler();
    const UpgRespDataPtr answer
        = askUpgradeInfo(*handler, QStringLiteral("?answer=%1&size=%2").arg(answerKind).arg(size));
    QVERIFY(answer && answer->valid);

    const QString cutUrl = answer->downloadUrl + QStringLiteral("&cut=1000003");
    const Finished cut = runDownload(*handler, cutUrl);
    QCOMPARE(cut.code, 30003);
    const QString part = m_dir->filePath(QStringLiteral("5M/package.zip.part"));
    QCOMPARE(QFileInfo(part).size(), 1000003);
    QCOMPARE(cut.done, 1000003);
    QCOMPARE(cut.total, size);

    m_recorder->progress.clear();
    const Finished resumed = runDownload(*handler, answer->downloadUrl);
    QCOMPARE(resumed.code, 0);
    QCOMPARE(resumed.done, size);
    QFile saved(resumed.path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QCryptographicHash::hash(saved.readAll(), QCryptographicHash::Md5).toHex(),
        answer->packageMd5.toLower().toLatin1());
    QVERIFY(!QFileInfo::exists(part));

    const QJsonArray files = entriesFor(m_web.log(), QStringLiteral("/files/package.zip"));
    QVERIFY(files.size() >= 2);
    QCOMPARE(files.last().toObject().value(QStringLiteral("range")).toString(),
        QStringLiteral("bytes=1000003-"));
    QCOMPARE(files.last().toObject().value(QStringLiteral("acceptEncoding")).toString(),
        QStringLiteral("identity"));
    // Progress counts the whole file, the saved part included.
    QVERIFY(!m_recorder->progress.isEmpty());
    QCOMPARE(m_recorder->progress.first().second, 1000003);
    QCOMPARE(m_recorder->progress.last(), qMakePair(qint64(size), qint64(size)));
}

void TestDownloadHandler::rangeAnsweredWith200()
{
    const int size = 500000;
    auto handler = makeHandler();
    const QString fileUrl
        = m_web.url(QStringLiteral("/files/package.zip?size=%1&norange=1").arg(size));
    const UpgRespDataPtr answer = askUpgradeInfo(*handler,
        QStringLiteral("?answer=valid&size=%1&url=%2")
            .arg(size)
            .arg(QString::fromLatin1(QUrl::toPercentEncoding(fileUrl))));
    QVERIFY(answer);
    QCOMPARE(answer->downloadUrl, fileUrl);

    // A part that does not belong to this file: a 200 answer must replace it, not extend it.
    QDir().mkpath(m_dir->filePath(QStringLiteral("5M")));
    QFile part(m_dir->filePath(QStringLiteral("5M/package.zip.part")));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write(QByteArray(12345, 'x'));
    part.close();

    const Finished result = runDownload(*handler, fileUrl);
    QCOMPARE(result.code, 0);
    QCOMPARE(QFileInfo(result.path).size(), size);
    QCOMPARE(sha256Of(result.path), answer->sha256);
    QCOMPARE(m_recorder->progress.first().second, 0);
    const QJsonArray files = entriesFor(m_web.log(), QStringLiteral("/files/package.zip"));
    QCOMPARE(files.last().toObject().value(QStringLiteral("range")).toString(),
        QStringLiteral("bytes=12345-"));
}

void TestDownloadHandler::rangeAnsweredWithWrongStart()
{
    auto handler = makeHandler();
    QDir().mkpath(m_dir->filePath(QStringLiteral("5M")));
    QFile part(m_dir->filePath(QStringLiteral("5M/odd.zip.part")));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write(QByteArray(777, 'x'));
    part.close();

    // 206 from byte 0 instead of 777: the part is dropped and the file asked for whole.
    const QString url = m_web.url(QStringLiteral("/files/odd.zip?size=5000&badrange=1"));
    const Finished result = runDownload(*handler, url);
    QCOMPARE(result.code, 0);
    QCOMPARE(QFileInfo(result.path).size(), 5000);
    const QJsonArray files = entriesFor(m_web.log(), QStringLiteral("/files/odd.zip"));
    QCOMPARE(files.size(), 2);
    QCOMPARE(files.at(0).toObject().value(QStringLiteral("range")).toString(),
        QStringLiteral("bytes=777-"));
    QVERIFY(files.at(1).toObject().value(QStringLiteral("range")).isNull());

    // The next download may start over once too.
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write(QByteArray(777, 'x'));
    part.close();
    QCOMPARE(runDownload(*handler, url).code, 0);
}

void TestDownloadHandler::partLargerThanFile()
{
    auto handler = makeHandler();
    QDir().mkpath(m_dir->filePath(QStringLiteral("5M")));
    QFile part(m_dir->filePath(QStringLiteral("5M/big.zip.part")));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write(QByteArray(6000, 'x'));
    part.close();

    // 416 for a Range past the end: start over.
    const Finished result
        = runDownload(*handler, m_web.url(QStringLiteral("/files/big.zip?size=5000")));
    QCOMPARE(result.code, 0);
    QCOMPARE(QFileInfo(result.path).size(), 5000);
}

void TestDownloadHandler::announcedDigestMismatch()
{
    auto handler = makeHandler();
    // The answer announces a 4096-byte file but points at one of 5000 bytes.
    const QString fileUrl = m_web.url(QStringLiteral("/files/package.zip?size=5000"));
    const UpgRespDataPtr answer = askUpgradeInfo(*handler,
        QStringLiteral("?answer=valid&size=4096&url=%1")
            .arg(QString::fromLatin1(QUrl::toPercentEncoding(fileUrl))));
    QVERIFY(answer);
    const Finished result = runDownload(*handler, fileUrl);
    QCOMPARE(result.code, 30001);
    QVERIFY(result.path.isEmpty());
    QCOMPARE(QDir(m_dir->filePath(QStringLiteral("5M"))).entryList(QDir::Files), QStringList {});
}

void TestDownloadHandler::corruptPartCaughtByDigest()
{
    const int size = 200000;
    auto handler = makeHandler();
    const UpgRespDataPtr answer
        = askUpgradeInfo(*handler, QStringLiteral("?answer=valid&size=%1").arg(size));
    QVERIFY(answer);

    // A saved part whose bytes are not the file's: the resume completes the size, the digest
    // does not match, the part is dropped, and the next try starts over and succeeds.
    QDir().mkpath(m_dir->filePath(QStringLiteral("5M")));
    QFile part(m_dir->filePath(QStringLiteral("5M/package.zip.part")));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write(QByteArray(5000, '\0'));
    part.close();

    const Finished bad = runDownload(*handler, answer->downloadUrl);
    QCOMPARE(bad.code, 30001);
    QVERIFY(bad.path.isEmpty());
    QVERIFY(!QFileInfo::exists(part.fileName()));

    const Finished good = runDownload(*handler, answer->downloadUrl);
    QCOMPARE(good.code, 0);
    QCOMPARE(sha256Of(good.path), answer->sha256);
}

void TestDownloadHandler::stalledDownloadTimesOut()
{
    auto handler = makeHandler();
    handler->setTransferTimeout(400);
    QElapsedTimer timer;
    timer.start();
    const Finished result = runDownload(
        *handler, m_web.url(QStringLiteral("/files/slow.zip?size=100000&stall=4000")));
    QCOMPARE(result.code, 30003);
    QVERIFY(timer.elapsed() < 5000);
    QCOMPARE(QFileInfo(m_dir->filePath(QStringLiteral("5M/slow.zip.part"))).size(), 4000);
}

// The limit is on silence, not on the whole transfer: a slow, steady download outlasts it.
void TestDownloadHandler::steadyTrickleOutlastsTheIdleLimit()
{
    auto handler = makeHandler();
    handler->setTransferTimeout(400);
    QElapsedTimer timer;
    timer.start();
    const Finished result = runDownload(
        *handler, m_web.url(QStringLiteral("/files/slow.zip?size=12000&trickle=100")));
    QCOMPARE(result.code, 0);
    QVERIFY2(timer.elapsed() > 1000, "the trickle must last longer than the idle limit");
    QCOMPARE(QFileInfo(result.path).size(), qint64(12000));
}

void TestDownloadHandler::progressAndOneFinishPerDownload()
{
    const qint64 size = 24 * 1024 * 1024;
    auto handler = makeHandler();
    const QStringList urls {
        m_web.url(QStringLiteral("/files/one.zip?size=%1").arg(size)),
        m_web.url(QStringLiteral("/status/404")),
        m_web.url(QStringLiteral("/files/two.zip?size=1000")),
    };
    QSignalSpy spy(m_recorder, &Recorder::taskFinished);
    for (const QString &url : urls)
        handler->postHttpTask(url, HttpCmdDownload, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->finished.size(), 3, 30000);

    QCOMPARE(m_recorder->finished.at(0).code, 0);
    QCOMPARE(m_recorder->finished.at(1).code, 503);
    QCOMPARE(m_recorder->finished.at(2).code, 0);
    QCOMPARE(QFileInfo(m_recorder->finished.at(0).path).size(), size);

    // Progress of the first download: steady, within the file, ending at its size.
    qint64 last = -1;
    int firstDownload = 0;
    for (const auto &step : m_recorder->progress) {
        if (step.first != size)
            break;
        QVERIFY2(step.second >= last, "progress went back");
        QVERIFY(step.second <= size);
        last = step.second;
        ++firstDownload;
    }
    QVERIFY(firstDownload >= 2);
    QCOMPARE(last, size);
    QCOMPARE(m_recorder->progress.last(), qMakePair(qint64(1000), qint64(1000)));

    // Nothing more comes afterwards: a repeat would follow within the same reply's events.
    QVERIFY(!spy.wait(200));
    QCOMPARE(spy.count(), 3);
}

void TestDownloadHandler::destroyedInTheMiddle_data()
{
    QTest::addColumn<int>("stallAt");
    QTest::newRow("after 500 000 bytes") << 500000;
    // Less than a file's write buffer: held there, it would reach the disk only at the end.
    QTest::newRow("after 1000 bytes") << 1000;
}

// Released while a download hangs: it returns at once, calls nothing more, and keeps the part.
// What arrived before the hang is in the part file while it hangs, not only once it ends.
void TestDownloadHandler::destroyedInTheMiddle()
{
    QFETCH(int, stallAt);
    auto handler = makeHandler();
    handler->postHttpTask(
        m_web.url(QStringLiteral("/files/hang.zip?size=9000000&stall=%1").arg(stallAt)),
        HttpCmdDownload, nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(!m_recorder->progress.isEmpty(), 10000);
    const QString part = m_dir->filePath(QStringLiteral("5M/hang.zip.part"));
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(part).size(), qint64(stallAt), 10000);

    QElapsedTimer timer;
    timer.start();
    handler.reset();
    QVERIFY(timer.elapsed() < 2000);
    QCoreApplication::processEvents();
    QVERIFY(m_recorder->finished.isEmpty());
    QCOMPARE(QFileInfo(part).size(), qint64(stallAt));
}

void TestDownloadHandler::reportDelivered()
{
    auto handler = makeHandler();
    const int before = entriesFor(m_web.log(), kReport).size();
    const QDateTime start = QDateTime::currentDateTime().addSecs(-1);
    handler->postHttpTask(m_web.url(kReport), HttpCmdReport, utils::makeError(30002));
    QJsonArray reports;
    QTRY_VERIFY_WITH_TIMEOUT(
        (reports = entriesFor(m_web.log(), kReport)).size() == before + 1, 10000);
    const QJsonObject body = reports.last().toObject().value(QStringLiteral("body")).toObject();
    QCOMPARE(body.value(QStringLiteral("code")).toInt(), 30002);
    QCOMPARE(body.value(QStringLiteral("message")).toString(),
        utils::ZEVError::messageTextForCode(utils::kPackageMd5Mismatch));
    QCOMPARE(body.value(QStringLiteral("serialNumber")).toString(), QStringLiteral("TV2-0042"));
    QCOMPARE(body.value(QStringLiteral("robotType")).toInt(), 1);
    QCOMPARE(body.value(QStringLiteral("region")).toString(), QStringLiteral("cn"));
    QCOMPARE(
        body.value(QStringLiteral("buildVersion")).toString(), QStringLiteral("20170315120000"));
    QCOMPARE(body.value(QStringLiteral("kernelVersion")).toInt(), 1489579200);
    QCOMPARE(body.value(QStringLiteral("ipAddress")).toString(), QStringLiteral("192.168.1.23"));
    QCOMPARE(body.value(QStringLiteral("toolVersion")).toString(), QStringLiteral("1.0.0.5"));
    const QDateTime time
        = QDateTime::fromString(body.value(QStringLiteral("time")).toString(), Qt::ISODate);
    QVERIFY(time.isValid());
    QVERIFY(time >= start && time <= QDateTime::currentDateTime().addSecs(1));
    QCOMPARE(body.size(), 10);
    // No callback for a report: one would come as soon as the reply ends, long before 100 ms.
    QVERIFY(!QTest::qWaitFor(
        [&] { return !m_recorder->answers.isEmpty() || !m_recorder->finished.isEmpty(); }, 100));
}

void TestDownloadHandler::reportStatus_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("kept");

    QTest::newRow("201") << "?status=201" << false;
    QTest::newRow("500") << "?status=500" << true;
    QTest::newRow("503") << "?status=503" << true;
    QTest::newRow("429") << "?status=429" << true;
    QTest::newRow("400, refused for good") << "?status=400" << false;
    QTest::newRow("404, refused for good") << "?status=404" << false;
}

void TestDownloadHandler::reportStatus()
{
    QFETCH(QString, query);
    QFETCH(bool, kept);

    auto handler = makeHandler();
    const QString queue = m_dir->filePath(QStringLiteral("queue.json"));
    handler->postHttpTask(m_web.url(kReport + query), HttpCmdReport, utils::makeError(0));
    // A download behind the report shows when the report is done with.
    QCOMPARE(runDownload(*handler, m_web.url(QStringLiteral("/files/x.zip?size=10"))).code, 0);
    QCOMPARE(QFileInfo::exists(queue), kept);
}

void TestDownloadHandler::reportKeptWhileServiceDown()
{
    const quint16 port = WebFixture::closedPort();
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
    const QString queue = m_dir->filePath(QStringLiteral("queue.json"));
    {
        auto handler = makeHandler();
        handler->postHttpTask(base + kReport, HttpCmdReport, utils::makeError(40001));
        handler->postHttpTask(base + kReport, HttpCmdReport, utils::makeError(0));
        // The information request fails too, and reports nothing.
        QSignalSpy spy(m_recorder, &Recorder::upgradeInfo);
        handler->postHttpTask(base + kFind, HttpCmdUpgradeInfo, nullptr);
        QVERIFY(spy.wait(10000));
        QCOMPARE(m_recorder->codes.last(), int(QNetworkReply::ConnectionRefusedError));
        QVERIFY(QFileInfo::exists(queue));
    }

    // The service comes back; the next run (a new component) sends both before its request.
    WebFixture later;
    QVERIFY(later.start(port));
    auto handler = makeHandler();
    QSignalSpy spy(m_recorder, &Recorder::upgradeInfo);
    handler->postHttpTask(
        base + kFind + QStringLiteral("?answer=valid"), HttpCmdUpgradeInfo, nullptr);
    QVERIFY(spy.wait(10000));
    QCOMPARE(m_recorder->codes.last(), 0);

    const QJsonArray log = later.log();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log.at(0).toObject().value(QStringLiteral("path")).toString(), kReport);
    QCOMPARE(log.at(0)
                 .toObject()
                 .value(QStringLiteral("body"))
                 .toObject()
                 .value(QStringLiteral("code"))
                 .toInt(),
        40001);
    QCOMPARE(log.at(1)
                 .toObject()
                 .value(QStringLiteral("body"))
                 .toObject()
                 .value(QStringLiteral("code"))
                 .toInt(),
        0);
    QVERIFY(log.at(2).toObject().value(QStringLiteral("path")).toString().startsWith(kFind));
    QVERIFY(!QFileInfo::exists(queue));
}

void TestDownloadHandler::staleQueuedReportDoesNotHoldBackNewOnes_data()
{
    QTest::addColumn<int>("attemptsBefore");
    QTest::addColumn<bool>("staleKept");

    QTest::newRow("first failure: kept") << 0 << true;
    // Ten failed attempts are allowed.
    QTest::newRow("last allowed failure: dropped") << 9 << false;
}

// A report queued for an address the configuration no longer names (here a closed port) must
// neither keep the new service from hearing of this run nor stay in the queue for ever.
void TestDownloadHandler::staleQueuedReportDoesNotHoldBackNewOnes()
{
    QFETCH(int, attemptsBefore);
    QFETCH(bool, staleKept);

    const QString queue = m_dir->filePath(QStringLiteral("queue.json"));
    const QString staleUrl
        = QStringLiteral("http://127.0.0.1:%1").arg(WebFixture::closedPort()) + kReport;
    {
        const QJsonObject entry { { QStringLiteral("url"), staleUrl },
            { QStringLiteral("body"), QJsonObject { { QStringLiteral("code"), 40001 } } },
            { QStringLiteral("attempts"), attemptsBefore } };
        QFile file(queue);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonArray { entry }).toJson());
    }

    const int before = m_web.log().size();
    auto handler = makeHandler();
    handler->postHttpTask(m_web.url(kReport), HttpCmdReport, utils::makeError(0));
    QCOMPARE(runDownload(*handler, m_web.url(QStringLiteral("/files/x.zip?size=10"))).code, 0);

    // The new report reached the live service although the old one could not be delivered.
    const QJsonArray log = m_web.log();
    QVERIFY(log.size() > before);
    QCOMPARE(log.at(before).toObject().value(QStringLiteral("path")).toString(), kReport);
    QCOMPARE(log.at(before)
                 .toObject()
                 .value(QStringLiteral("body"))
                 .toObject()
                 .value(QStringLiteral("code"))
                 .toInt(),
        0);

    QFile file(queue);
    if (staleKept) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray left = QJsonDocument::fromJson(file.readAll()).array();
        QCOMPARE(left.size(), 1);
        QCOMPARE(left.at(0).toObject().value(QStringLiteral("url")).toString(), staleUrl);
        // Tried before the report and again before the download: two failures counted.
        QCOMPARE(left.at(0).toObject().value(QStringLiteral("attempts")).toInt(), 2);
    } else {
        QVERIFY(!file.exists());
    }
}

QTEST_MAIN(TestDownloadHandler)
#include "tst_downloadhandler.moc"
