// The download component against the simulated robot's web service (tools/robot-sim), over HTTP
// and HTTPS with certificates made by openssl at test time, directly and through tinyproxy.
#include "webfixture.h"

#include <constants.h>
#include <zevdownloadhandler.h>

#include <QtTest>

#include <QCryptographicHash>
#include <QJsonObject>
#include <QMutex>
#include <QRandomGenerator>
#include <QSslError>
#include <QTemporaryDir>

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

QString sourceFile(const QString &relative)
{
    return QDir(qEnvironmentVariable("ZEV_SOURCE_DIR")).filePath(relative);
}

QString simctl()
{
    return sourceFile(QStringLiteral("tools/robot-sim/simctl.py"));
}

// The component's diagnostic lines, from whichever thread wrote them.
QMutex g_linesLock;
QStringList g_downloadLines;
QtMessageHandler g_previousHandler = nullptr;

void captureDownloadLines(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (qstrcmp(context.category, "zev.download") == 0) {
        QMutexLocker locker(&g_linesLock);
        g_downloadLines << text;
        return;
    }
    g_previousHandler(type, context, text);
}

// Debian's tinyproxy on a loopback port of its own, with its own configuration and log.
class TinyProxy
{
public:
    bool start(const QString &folder)
    {
        m_port = WebFixture::closedPort();
        m_log = QDir(folder).filePath(QStringLiteral("tinyproxy.log"));
        const QString config = QDir(folder).filePath(QStringLiteral("tinyproxy.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(QStringLiteral("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\n"
                                  "LogLevel Connect\nLogFile \"%2\"\n")
                       .arg(m_port)
                       .arg(m_log)
                       .toUtf8());
        file.close();
        if (!m_process.start(QStringLiteral("tinyproxy"),
                { QStringLiteral("-d"), QStringLiteral("-c"), config }))
            return false;
        for (int attempt = 0; attempt < 100; ++attempt) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    bool isRunning() const { return m_process.isRunning(); }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

    // What each request asked of the proxy, in order: "CONNECT 127.0.0.1:443 HTTP/1.1".
    QStringList requests() const
    {
        QFile file(m_log);
        QStringList lines;
        if (!m_log.isEmpty() && file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                const int at = line.indexOf("]: Request (");
                if (at >= 0)
                    lines << QString::fromUtf8(line.mid(line.indexOf("): ", at) + 3)).trimmed();
            }
        }
        return lines;
    }

private:
    HostProcess m_process;
    QString m_log;
    quint16 m_port = 0;
};

// The proxy variables of a row for the row's time, and none of the machine's.
class ProxyEnvironment
{
public:
    explicit ProxyEnvironment(const QStringList &assignments)
    {
        for (const char *name : kNames)
            qunsetenv(name);
        for (const QString &assignment : assignments)
            qputenv(qPrintable(assignment.section(QLatin1Char('='), 0, 0)),
                assignment.section(QLatin1Char('='), 1).toUtf8());
    }
    ~ProxyEnvironment()
    {
        for (const char *name : kNames)
            qunsetenv(name);
    }

private:
    static constexpr const char *kNames[] = { "http_proxy", "HTTP_PROXY", "https_proxy",
        "HTTPS_PROXY", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY" };
};

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
    bool runSimctl(const QStringList &arguments, QByteArray *output = nullptr);
    QJsonObject startSim(const QString &name, const QJsonObject &web);
    QJsonArray webLog(const QString &name) const;
    Sink::Result download(ZEVDownloadHandler &handler, Sink &sink, const QString &url);
    QJsonArray webLog() const;

    QTemporaryDir m_dir;
    QString m_stateDir;
    QJsonObject m_ports;
    QByteArray m_package;
    QString m_pki;
    QMap<QString, QJsonObject> m_webs; // the ports of the simulators the TLS rows started
    TinyProxy m_proxy;
};

bool TestDownloadSim::runSimctl(const QStringList &arguments, QByteArray *output)
{
    HostProcess process;
    if (!process.start(QStringLiteral("/usr/bin/python3"), QStringList { simctl() } + arguments)
        || !process.waitForFinished(30000) || !process.succeeded())
        return false;
    if (output)
        *output = process.readAll();
    return true;
}

void TestDownloadSim::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_stateDir = m_dir.filePath(QStringLiteral("sim"));
    ProxyEnvironment noProxy({});

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
    m_ports = startSim(QStringLiteral("sim"),
        QJsonObject {
            { QStringLiteral("package"),
                QJsonObject {
                    { QStringLiteral("file_name"), QStringLiteral("Tarvo2_Upgrade_9.9.9.zip") },
                    { QStringLiteral("version"), QStringLiteral("9.9.9") },
                    { QStringLiteral("zip"), HostProcess::hostPath(package.fileName()) } } },
            { QStringLiteral("faults"), QJsonArray { fault1, fault2, fault3 } } });
    QVERIFY(m_ports.value(QStringLiteral("web")).toInt() > 0);

    m_pki = m_dir.filePath(QStringLiteral("pki"));
    HostProcess pki;
    QVERIFY(pki.start(QStringLiteral("/bin/sh"),
        { HostProcess::hostPath(sourceFile(QStringLiteral("tests/support/testpki.sh"))),
            HostProcess::hostPath(m_pki) }));
    QVERIFY(pki.waitForFinished(60000) && pki.succeeded());
    QFile empty(QDir(m_pki).filePath(QStringLiteral("empty.pem")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    g_previousHandler = qInstallMessageHandler(captureDownloadLines);
    QLoggingCategory::setFilterRules(QStringLiteral("zev.download.debug=true"));
}

void TestDownloadSim::cleanupTestCase()
{
    const QStringList sims = m_webs.keys() << QStringLiteral("sim");
    for (const QString &name : sims)
        runSimctl({ QStringLiteral("stop"), QStringLiteral("--state-dir"),
            HostProcess::hostPath(m_dir.filePath(name)) });
    if (g_previousHandler)
        qInstallMessageHandler(g_previousHandler);
}

// A simulator whose state folder is `name` in the test's folder, with an adb port nobody scans.
QJsonObject TestDownloadSim::startSim(const QString &name, const QJsonObject &web)
{
    const QString scenarioPath = m_dir.filePath(name + QStringLiteral(".json"));
    QFile scenario(scenarioPath);
    if (!scenario.open(QIODevice::WriteOnly))
        return {};
    scenario.write(QJsonDocument(QJsonObject { { QStringLiteral("web"), web } }).toJson());
    scenario.close();
    QByteArray output;
    if (!runSimctl({ QStringLiteral("start"), QStringLiteral("--state-dir"),
                       HostProcess::hostPath(m_dir.filePath(name)), QStringLiteral("--scenario"),
                       HostProcess::hostPath(scenarioPath), QStringLiteral("--adb-port"),
                       QString::number(WebFixture::closedPort()) },
            &output))
        return {};
    return QJsonDocument::fromJson(output).object();
}

QJsonArray TestDownloadSim::webLog() const
{
    return webLog(QStringLiteral("sim"));
}

QJsonArray TestDownloadSim::webLog(const QString &name) const
{
    QJsonArray entries;
    QFile file(QDir(m_dir.filePath(name)).filePath(QStringLiteral("web.log")));
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.trimmed().isEmpty())
                entries.append(QJsonDocument::fromJson(line).object());
        }
    }
    return entries;
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

    const QString base
        = QStringLiteral("http://127.0.0.1:%1").arg(m_ports.value(QStringLiteral("web")).toInt());
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
            for (const QJsonValue &entry : webLog()) {
                if (entry.toObject()
                        .value(QStringLiteral("path"))
                        .toString()
                        .endsWith(QStringLiteral("addPcInstallStat")))
                    report = entry.toObject().value(QStringLiteral("body")).toObject();
            }
            return !report.isEmpty();
        }(),
        10000);
    QCOMPARE(report.value(QStringLiteral("code")).toInt(), 0);
    QCOMPARE(report.value(QStringLiteral("serialNumber")).toString(),
        QStringLiteral("TV2A17030001#F01"));

    // Qt may send a GET again on its own after a broken connection, so look for the two resumes
    // in order rather than for an exact list.
    QStringList ranges;
    for (const QJsonValue &entry : webLog()) {
        if (entry.toObject()
                .value(QStringLiteral("path"))
                .toString()
                .startsWith(QStringLiteral("/download/")))
            ranges << entry.toObject().value(QStringLiteral("range")).toString();
    }
    const int firstResume = ranges.indexOf(QStringLiteral("bytes=200000-"));
    QVERIFY2(firstResume > 0, qPrintable(ranges.join(QLatin1Char(','))));
    QVERIFY2(ranges.indexOf(QStringLiteral("bytes=300007-"), firstResume) > firstResume,
        qPrintable(ranges.join(QLatin1Char(','))));
    QCOMPARE(ranges.last(), QStringLiteral("bytes=300007-"));
}

void TestDownloadSim::tls_data()
{
    QTest::addColumn<QString>("server"); // the certificate it shows, "" for plain HTTP
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<QStringList>("environment"); // "@proxy" stands for tinyproxy's URL
    QTest::addColumn<QString>("path"); // downloaded instead of the announced URL
    QTest::addColumn<int>("code"); // of the first step that fails, or 0: the whole exchange works
    QTest::addColumn<QString>("proxied"); // tinyproxy's log of each request, %1 the port; or ""
    QTest::addColumn<QString>("said"); // in a diagnostic line

    const int refused = QNetworkReply::SslHandshakeFailedError;
#ifdef Q_OS_WIN
    // Qt 5 hands Schannel no certificate of its own: Schannel builds the chain from the system's
    // stores and what the server sends, then Qt accepts a root it does not trust only when the
    // root is one of the configuration's.
    const int leafOnly = refused;
    const QSslError::SslError untrustedRoot = QSslError::CertificateUntrusted;
    const QSslError::SslError selfSigned = QSslError::CertificateUntrusted;
    const QSslError::SslError noIssuer = QSslError::UnableToGetIssuerCertificate;
#else
    const int leafOnly = 0;
    const QSslError::SslError untrustedRoot = QSslError::SelfSignedCertificateInChain;
    const QSslError::SslError selfSigned = QSslError::SelfSignedCertificate;
    const QSslError::SslError noIssuer = QSslError::UnableToGetLocalIssuerCertificate;
#endif
    const QString ca = QStringLiteral("ca.pem");
    const QString connect = QStringLiteral("^CONNECT 127\\.0\\.0\\.1:%1 ");
    const QString post = QStringLiteral("^(POST|GET) http://127\\.0\\.0\\.1:%1/");
    const auto tlsError = [](QSslError::SslError error, const char *subject) {
        return QStringLiteral("%1; certificate: CN=%2")
            .arg(QSslError(error).errorString(), subject);
    };
    using L = QStringList;
    QTest::newRow("private CA in ca_file") << "good" << ca << L() << "" << 0 << ""
                                           << "";
    QTest::newRow("no ca_file: unknown CA")
        << "good"
        << "" << L() << "" << refused << "" << tlsError(untrustedRoot, "Zev Test CA");
    QTest::newRow("private CA in ca_file, not sent by the server")
        << "leaf" << ca << L() << "" << leafOnly << ""
        << (leafOnly ? tlsError(noIssuer, "good") : QString());
    QTest::newRow("self-signed") << "selfsigned" << ca << L() << "" << refused << ""
                                 << tlsError(selfSigned, "selfsigned");
    QTest::newRow("wrong host name") << "wronghost" << ca << L() << "" << refused << ""
                                     << tlsError(QSslError::HostNameMismatch, "wronghost");
    QTest::newRow("expired") << "expired" << ca << L() << "" << refused << ""
                             << tlsError(QSslError::CertificateExpired, "expired");
    QTest::newRow("ca_file missing") << "good"
                                     << "missing.pem" << L() << "" << refused << ""
                                     << "missing.pem cannot be read";
    QTest::newRow("ca_file without a certificate") << "good"
                                                   << "empty.pem" << L() << "" << refused << ""
                                                   << "empty.pem holds no PEM certificate";
    QTest::newRow("redirect from https to http")
        << "good" << ca << L() << "/download/elsewhere.zip" << 500 << ""
        << "Redirect to another scheme: http://127.0.0.1:1/";
    QTest::newRow("HTTPS_PROXY") << "good" << ca << L { "HTTPS_PROXY=@proxy" } << "" << 0 << connect
                                 << "";
    QTest::newRow("https_proxy, certificate still checked")
        << "good"
        << "" << L { "https_proxy=@proxy" } << "" << refused << connect
        << tlsError(untrustedRoot, "Zev Test CA");
    QTest::newRow("http_proxy") << ""
                                << "" << L { "http_proxy=@proxy" } << "" << 0 << post << "";
    QTest::newRow("HTTP_PROXY") << ""
                                << "" << L { "HTTP_PROXY=@proxy" } << "" << 0 << post << "";
    QTest::newRow("http_proxy does not carry https")
        << "good" << ca << L { "http_proxy=@proxy" } << "" << 0 << ""
        << "";
    QTest::newRow("no_proxy with the address")
        << "good" << ca << L { "https_proxy=@proxy", "no_proxy=example.com, 127.0.0.1" } << "" << 0
        << ""
        << "";
    QTest::newRow("NO_PROXY with a range")
        << "good" << ca << L { "HTTPS_PROXY=@proxy", "NO_PROXY=127.0.0.0/8" } << "" << 0 << ""
        << "";
    QTest::newRow("no_proxy *") << ""
                                << "" << L { "http_proxy=@proxy", "no_proxy=*" } << "" << 0 << ""
                                << "";
    QTest::newRow("no_proxy naming others")
        << "good" << ca << L { "https_proxy=@proxy", "no_proxy=localhost,.0.0.1" } << "" << 0
        << connect << "";
    // No way round it: Qt gives this code for a refused CONNECT, and says why.
    QTest::newRow("proxy not listening")
        << "good" << ca
        << L { QStringLiteral("https_proxy=127.0.0.1:%1").arg(WebFixture::closedPort()) } << ""
        << int(QNetworkReply::UnknownNetworkError) << ""
        << "Proxy connection refused";
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
    QFETCH(QString, said);

    if (!environment.isEmpty()) {
#ifdef Q_OS_WIN
        QSKIP("Windows takes its proxies from the user's Internet settings");
#endif
        if (!m_proxy.isRunning())
            QVERIFY(m_proxy.start(m_dir.path()));
    }
    const QString state = QStringLiteral("web-") + (server.isEmpty() ? "plain" : server);
    if (!m_webs.contains(state)) {
        const QString pem = QDir(m_pki).filePath(server);
        QJsonObject web { { "faults",
            QJsonArray { QJsonObject { { "target", "/download/elsewhere.zip" },
                { "redirect", "http://127.0.0.1:1/download/elsewhere.zip" } } } } };
        if (!server.isEmpty())
            web.insert("tls",
                QJsonObject { { "cert", HostProcess::hostPath(pem + ".pem") },
                    { "key", HostProcess::hostPath(pem + ".key") } });
        m_webs.insert(state, startSim(state, web));
    }
    const QJsonObject ports = m_webs.value(state);
    const QString base = ports.value(QStringLiteral("web_url")).toString();
    QVERIFY(!base.isEmpty());
    ProxyEnvironment proxies(environment.replaceInStrings(QStringLiteral("@proxy"), m_proxy.url()));
    const int requested = webLog(state).size();
    const int wentThrough = m_proxy.requests().size();
    g_downloadLines.clear();

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
    if (failed == 0) {
        const Sink::Result result
            = download(handler, sink, path.isEmpty() ? sink.answer->downloadUrl : base + path);
        failed = result.code;
        if (failed == 0) {
            QCOMPARE(QFileInfo(result.path).size(), qint64(sink.answer->size));
            handler.postHttpTask(
                base + zev::kAddInstallStatPath, HttpCmdReport, utils::makeError(0));
            QTRY_COMPARE_WITH_TIMEOUT(
                webLog(state).last().toObject().value(QStringLiteral("path")).toString(),
                zev::kAddInstallStatPath, 10000);
        }
    }
    QCOMPARE(failed, code);
    if (code == QNetworkReply::SslHandshakeFailedError)
        QCOMPARE(webLog(state).size(), requested);
    const QStringList through = m_proxy.requests().mid(wentThrough);
    QCOMPARE(through.isEmpty(), proxied.isEmpty());
    const int port = ports.value(QStringLiteral("web")).toInt();
    for (const QString &request : through)
        QVERIFY2(
            QRegularExpression(proxied.arg(port)).match(request).hasMatch(), qPrintable(request));
    QMutexLocker locker(&g_linesLock);
    QVERIFY2(said.isEmpty() || !g_downloadLines.filter(said).isEmpty(),
        qPrintable(g_downloadLines.join(QLatin1Char('\n'))));
}

QTEST_MAIN(TestDownloadSim)
#include "tst_downloadsim.moc"
