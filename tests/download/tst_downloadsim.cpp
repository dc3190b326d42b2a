// The download component against the simulated robot's web service (tools/robot-sim), over HTTP
// and HTTPS with certificates made by openssl at test time, directly and through tinyproxy.
#include "../support/simrobot.h"
#include "webfixture.h"

#include <constants.h>
#include <zevdownloadhandler.h>

#include <QtTest>

#include <QCryptographicHash>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <map>

namespace {

class Sink : public QObject, public IDownloadHandlerEvent
{
    Q_OBJECT
public:
    void onProgress(qint64 totalBytes, qint64 doneBytes) override
    {
        progress.append({ totalBytes, doneBytes });
    }
    void onTaskFinished(
        qint64, qint64 doneBytes, QString filePath, utils::ZEVErrorPtr error) override
    {
        finished.append({ error->errorCode(), doneBytes, filePath });
        emit taskFinished();
    }
    void onUpgradeInfo(UpgRespDataPtr data, utils::ZEVErrorPtr error) override
    {
        answer = data;
        code = error->errorCode();
        emit upgradeInfo();
    }

    struct Result
    {
        int code;
        qint64 done;
        QString path;
    };
    QList<QPair<qint64, qint64>> progress;
    QList<Result> finished;
    UpgRespDataPtr answer;
    int code = -1;

signals:
    void taskFinished();
    void upgradeInfo();
};

// Debian's tinyproxy on a loopback port of its own, with its own configuration and log.
struct TinyProxy
{
    bool start(const QDir &folder)
    {
        port = WebFixture::closedPort();
        log = folder.filePath(QStringLiteral("tinyproxy.log"));
        const QString text = QStringLiteral(
            "Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Connect\nLogFile \"%2\"\n");
        QFile config(folder.filePath(QStringLiteral("tinyproxy.conf")));
        if (!config.open(QIODevice::WriteOnly)
            || config.write(text.arg(port).arg(log).toUtf8()) <= 0 || !config.flush()
            || !process.start(QStringLiteral("tinyproxy"), { "-d", "-c", config.fileName() }))
            return false;
        return QTest::qWaitFor(
            [this] {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, port);
                return probe.waitForConnected(1000);
            },
            10000);
    }

    // The log's line of each request, in order: "...]: Request (...): CONNECT 127.0.0.1:443 ...".
    QStringList requests() const
    {
        QFile file(log);
        if (!process.isRunning() || !file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n').filter(QStringLiteral("]: Request ("));
    }

    HostProcess process;
    QString log;
    quint16 port = 0;
};

// None of the machine's proxy variables count; a row sets its own.
void clearProxyVariables()
{
    for (const char *name :
        { "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY" })
        qunsetenv(name);
}

} // namespace

class TestDownloadSim : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void answerDownloadAndReport();
    void tls_data();
    void tls();

private:
    bool startSim(SimRobot &sim, const QString &name, const QJsonObject &web);
    Sink::Result download(ZEVDownloadHandler &handler, Sink &sink, const QString &url);

    QTemporaryDir m_dir;
    SimRobot m_sim;
    QByteArray m_package;
    QString m_pki;
    std::map<QString, SimRobot> m_webs; // the simulators the TLS rows started
    TinyProxy m_proxy;
};

void TestDownloadSim::initTestCase()
{
    QVERIFY(m_dir.isValid());
    clearProxyVariables();

    // Random bytes, so that a wrong resume cannot go unnoticed.
    m_package.resize(700001);
    QRandomGenerator generator(11);
    for (char &byte : m_package)
        byte = static_cast<char>(generator.bounded(256));
    QFile package(m_dir.filePath(QStringLiteral("Tarvo2_Upgrade_9.9.9.zip")));
    QVERIFY(package.open(QIODevice::WriteOnly));
    package.write(m_package);
    package.close();

    const QJsonObject fault1 { { QStringLiteral("target"), QStringLiteral("download") },
        { QStringLiteral("cut_after"), 200000 }, { QStringLiteral("times"), 1 } };
    // Qt may send a cut request again by itself: the later faults name the resumption they are
    // for, so that such a repeat cannot use them up.
    const QJsonObject fault2 { { QStringLiteral("target"), QStringLiteral("download") },
        { QStringLiteral("range"), QStringLiteral("bytes=200000-") },
        { QStringLiteral("ignore_range"), true }, { QStringLiteral("times"), 1 } };
    const QJsonObject fault3 { { QStringLiteral("target"), QStringLiteral("download") },
        { QStringLiteral("range"), QStringLiteral("bytes=100000-") },
        { QStringLiteral("cut_after"), 200007 }, { QStringLiteral("times"), 1 } };
    QVERIFY(startSim(m_sim, QStringLiteral("sim"),
        QJsonObject {
            { QStringLiteral("package"),
                QJsonObject {
                    { QStringLiteral("file_name"), QStringLiteral("Tarvo2_Upgrade_9.9.9.zip") },
                    { QStringLiteral("version"), QStringLiteral("9.9.9") },
                    { QStringLiteral("zip"), HostProcess::hostPath(package.fileName()) } } },
            { QStringLiteral("faults"), QJsonArray { fault1, fault2, fault3 } } }));

    m_pki = m_dir.filePath(QStringLiteral("pki"));
    HostProcess pki;
    QVERIFY(pki.start(QStringLiteral("/bin/sh"),
        { HostProcess::hostPath(QDir(qEnvironmentVariable("ZEV_SOURCE_DIR"))
                                    .filePath(QStringLiteral("tests/support/testpki.sh"))),
            HostProcess::hostPath(m_pki) }));
    QVERIFY(pki.waitForFinished(60000) && pki.succeeded());
}

void TestDownloadSim::cleanupTestCase()
{
    m_webs.clear();
    m_sim.stop();
}

// A simulator whose folder is `name` in the test's folder, with an adb port nobody scans.
bool TestDownloadSim::startSim(SimRobot &sim, const QString &name, const QJsonObject &web)
{
    return sim.start(QJsonObject { { QStringLiteral("web"), web } }, m_dir.filePath(name),
        WebFixture::closedPort());
}

Sink::Result TestDownloadSim::download(ZEVDownloadHandler &handler, Sink &sink, const QString &url)
{
    QSignalSpy spy(&sink, &Sink::taskFinished);
    handler.postHttpTask(url, HttpCmdDownload, nullptr);
    if (!spy.wait(20000))
        return { -1, -1, QString() };
    return sink.finished.last();
}

void TestDownloadSim::answerDownloadAndReport()
{
    Sink sink;
    ZEVDownloadHandler handler;
    handler.setReportQueueFile(m_dir.filePath(QStringLiteral("queue.json")));
    const QString work = m_dir.filePath(QStringLiteral("download/2M"));
    handler.createTaskInstance(work, &sink, DownLoadTaskModeNormal);
    auto robot = std::make_shared<RobotTarvo2>();
    robot->serialNumber = QStringLiteral("TV2A17030001#F01");
    robot->region = QStringLiteral("cn");
    handler.setRobotTarvo2Data(robot);
    handler.setRobotVersion(RobotVersion2M);

    const QString base = m_sim.webUrl();
    QSignalSpy info(&sink, &Sink::upgradeInfo);
    handler.postHttpTask(
        base + QStringLiteral("/zev/version/findPcInstallApk"), HttpCmdUpgradeInfo, nullptr);
    QVERIFY(info.wait(10000));
    QCOMPARE(sink.code, 0);
    QVERIFY(sink.answer && sink.answer->valid);
    QCOMPARE(sink.answer->size, m_package.size());
    QCOMPARE(sink.answer->version, QStringLiteral("9.9.9"));
    QCOMPARE(sink.answer->packageMd5,
        QString::fromLatin1(QCryptographicHash::hash(m_package, QCryptographicHash::Md5).toHex()));
    const QString url = sink.answer->downloadUrl;

    // Cut, then answered whole instead of from the saved part.
    QCOMPARE(download(handler, sink, url).code, 30003);
    const Sink::Result whole = download(handler, sink, url);
    QCOMPARE(whole.code, 0);
    QCOMPARE(whole.path, QDir(work).absoluteFilePath(QStringLiteral("Tarvo2_Upgrade_9.9.9.zip")));
    // A part left by an earlier run, cut again, then resumed.
    QVERIFY(QFile::remove(whole.path));
    QFile part(whole.path + QStringLiteral(".part"));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write(m_package.left(100000));
    part.close();
    QCOMPARE(download(handler, sink, url).code, 30003);
    sink.progress.clear();
    const Sink::Result resumed = download(handler, sink, url);
    QCOMPARE(resumed.code, 0);
    QCOMPARE(resumed.done, m_package.size());
    QFile saved(resumed.path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QVERIFY(saved.readAll() == m_package);
    QCOMPARE(sink.progress.first().second, 300007);

    handler.postHttpTask(
        base + QStringLiteral("/zev/version/addPcInstallStat"), HttpCmdReport, utils::makeError(0));
    QJsonObject report;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (const QJsonObject &entry : m_sim.webRequests(zev::kAddInstallStatPath))
                report = entry.value(QStringLiteral("body")).toObject();
            return !report.isEmpty();
        }(),
        10000);
    QCOMPARE(report.value(QStringLiteral("code")).toInt(), 0);
    QCOMPARE(report.value(QStringLiteral("serialNumber")).toString(),
        QStringLiteral("TV2A17030001#F01"));

    // Qt may send a GET again on its own after a broken connection, so look for the two resumes
    // in order rather than for an exact list.
    QStringList ranges;
    for (const QJsonObject &entry : m_sim.webRequests(QStringLiteral("/download/")))
        ranges << entry.value(QStringLiteral("range")).toString();
    const int firstResume = ranges.indexOf(QStringLiteral("bytes=200000-"));
    QVERIFY2(firstResume > 0, qPrintable(ranges.join(QLatin1Char(','))));
    QVERIFY2(ranges.indexOf(QStringLiteral("bytes=300007-"), firstResume) > firstResume,
        qPrintable(ranges.join(QLatin1Char(','))));
    QVERIFY2(ranges.last() == QLatin1String("bytes=300007-"),
        qPrintable(ranges.join(QLatin1Char(','))));
}

void TestDownloadSim::tls_data()
{
    QTest::addColumn<QString>("server"); // the certificate it shows, "" for plain HTTP
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<QStringList>("environment"); // "@proxy" stands for tinyproxy's URL
    QTest::addColumn<QString>("path"); // downloaded instead of the announced URL
    QTest::addColumn<int>("code"); // of the first step that fails, or 0: the whole exchange works
    QTest::addColumn<QString>("proxied"); // tinyproxy's log of each request, %1 the port; or ""

    const int refused = QNetworkReply::SslHandshakeFailedError;
#ifdef Q_OS_WIN
    // Schannel builds chains from the system's stores and what the server sends (Qt 5 gives it
    // none); Qt then accepts an untrusted root only when the configuration names it.
    const int leafOnly = refused;
#else
    const int leafOnly = 0;
#endif
    const QString no, ca = QStringLiteral("ca.pem"), good = QStringLiteral("good");
    const QString connect = QStringLiteral("\\): CONNECT 127\\.0\\.0\\.1:%1 ");
    const QString plain = QStringLiteral("\\): (POST|GET) http://127\\.0\\.0\\.1:%1/");
    using L = QStringList;
    QTest::newRow("private CA in ca_file") << good << ca << L() << no << 0 << no;
    QTest::newRow("no ca_file") << good << no << L() << no << refused << no;
    QTest::newRow("CA not sent by the server") << "leaf" << ca << L() << no << leafOnly << no;
    QTest::newRow("wrong host name") << "wronghost" << ca << L() << no << refused << no;
    QTest::newRow("expired") << "expired" << ca << L() << no << refused << no;
    QTest::newRow("ca_file missing") << good << "missing.pem" << L() << no << refused << no;
    QTest::newRow("ca_file empty") << good << "empty.pem" << L() << no << refused << no;
    QTest::newRow("redirect to http")
        << good << ca << L() << "/download/elsewhere.zip" << 500 << no;
    QTest::newRow("HTTPS_PROXY") << good << ca << L { "HTTPS_PROXY=@proxy" } << no << 0 << connect;
    QTest::newRow("https_proxy, no ca_file")
        << good << no << L { "https_proxy=@proxy" } << no << refused << connect;
    QTest::newRow("http_proxy") << no << no << L { "http_proxy=@proxy" } << no << 0 << plain;
    QTest::newRow("HTTP_PROXY") << no << no << L { "HTTP_PROXY=@proxy" } << no << 0 << plain;
    QTest::newRow("http_proxy, https") << good << ca << L { "http_proxy=@proxy" } << no << 0 << no;
    QTest::newRow("no_proxy") << good << ca << L { "https_proxy=@proxy", "no_proxy=a.b, 127.0.0.1" }
                              << no << 0 << no;
    QTest::newRow("NO_PROXY range")
        << good << ca << L { "HTTPS_PROXY=@proxy", "NO_PROXY=127.0.0.0/8" } << no << 0 << no;
}

// Newest package, download and report over the row's connection. A refused certificate ends the
// exchange before any request reaches the service.
void TestDownloadSim::tls()
{
    QFETCH(QString, server);
    QFETCH(QString, caFile);
    QFETCH(QStringList, environment);
    QFETCH(QString, path);
    QFETCH(int, code);
    QFETCH(QString, proxied);

    if (!environment.isEmpty()) {
#ifdef Q_OS_WIN
        QSKIP("Windows takes its proxies from the user's Internet settings");
#endif
        QVERIFY(m_proxy.process.isRunning() || m_proxy.start(QDir(m_dir.path())));
    }
    const QString state = QStringLiteral("web-") + (server.isEmpty() ? "plain" : server);
    SimRobot &sim = m_webs[state];
    if (!sim.isRunning()) {
        const QString pem = HostProcess::hostPath(QDir(m_pki).filePath(server));
        QJsonObject web { { "faults",
            QJsonArray { QJsonObject { { "target", "/download/elsewhere.zip" },
                { "redirect", "http://127.0.0.1:1/download/elsewhere.zip" } } } } };
        if (!server.isEmpty())
            web.insert("tls", QJsonObject { { "cert", pem + ".pem" }, { "key", pem + ".key" } });
        QVERIFY(startSim(sim, state, web));
    }
    const QString base = sim.webUrl();
    const auto restore = qScopeGuard(clearProxyVariables);
    for (const QString &assignment : environment.replaceInStrings(
             "@proxy", QStringLiteral("http://127.0.0.1:%1").arg(m_proxy.port)))
        qputenv(qPrintable(assignment.section('=', 0, 0)), assignment.section('=', 1).toUtf8());
    const int requested = sim.webRequests().size();
    const int wentThrough = m_proxy.requests().size();

    Sink sink;
    ZEVDownloadHandler handler;
    handler.setReportQueueFile(m_dir.filePath(QStringLiteral("tls-queue.json")));
    QTemporaryDir work;
    handler.createTaskInstance(work.path(), &sink, DownLoadTaskModeNormal);
    handler.setCaFile(caFile.isEmpty() ? QString() : QDir(m_pki).filePath(caFile));
    QSignalSpy info(&sink, &Sink::upgradeInfo);
    handler.postHttpTask(base + zev::kFindInstallApkPath, HttpCmdUpgradeInfo, nullptr);
    QVERIFY(info.wait(10000));
    int failed = sink.code;
    if (failed == 0)
        failed
            = download(handler, sink, path.isEmpty() ? sink.answer->downloadUrl : base + path).code;
    if (failed == 0) {
        handler.postHttpTask(base + zev::kAddInstallStatPath, HttpCmdReport, utils::makeError(0));
        QTRY_COMPARE_WITH_TIMEOUT(sim.webRequests().last().value(QStringLiteral("path")).toString(),
            zev::kAddInstallStatPath, 10000);
    }
    QCOMPARE(failed, code);
    if (code == QNetworkReply::SslHandshakeFailedError)
        QCOMPARE(sim.webRequests().size(), requested);
    const QStringList through = m_proxy.requests().mid(wentThrough);
    QCOMPARE(through.isEmpty(), proxied.isEmpty());
    const int port = sim.webPort();
    for (const QString &request : through)
        QVERIFY2(
            QRegularExpression(proxied.arg(port)).match(request).hasMatch(), qPrintable(request));
}

QTEST_MAIN(TestDownloadSim)
#include "tst_downloadsim.moc"
