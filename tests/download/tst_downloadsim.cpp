// The download component against the simulated robot's web service (tools/robot-sim).
#include "webfixture.h"

#include <zevdownloadhandler.h>

#include <QtTest>

#include <QCryptographicHash>
#include <QJsonObject>
#include <QRandomGenerator>
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

QString simctl()
{
    return QDir(qEnvironmentVariable("ZEV_SOURCE_DIR"))
        .filePath(QStringLiteral("tools/robot-sim/simctl.py"));
}

} // namespace

class TestDownloadSim : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void answerDownloadAndReport();

private:
    bool runSimctl(const QStringList &arguments, QByteArray *output = nullptr);
    Sink::Result download(ZEVDownloadHandler &handler, Sink &sink, const QString &url);
    QJsonArray webLog() const;

    QTemporaryDir m_dir;
    QString m_stateDir;
    QJsonObject m_ports;
    QByteArray m_package;
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
    const QJsonObject scenario { { QStringLiteral("web"),
        QJsonObject { { QStringLiteral("package"),
                          QJsonObject { { QStringLiteral("file_name"),
                                            QStringLiteral("Tarvo2_Upgrade_9.9.9.zip") },
                              { QStringLiteral("version"), QStringLiteral("9.9.9") },
                              { QStringLiteral("zip"), HostProcess::hostPath(package.fileName()) } } },
            { QStringLiteral("faults"), QJsonArray { fault1, fault2, fault3 } } } } };
    QFile scenarioFile(m_dir.filePath(QStringLiteral("scenario.json")));
    QVERIFY(scenarioFile.open(QIODevice::WriteOnly));
    scenarioFile.write(QJsonDocument(scenario).toJson());
    scenarioFile.close();

    QByteArray output;
    QVERIFY(runSimctl({ QStringLiteral("start"), QStringLiteral("--state-dir"),
                          HostProcess::hostPath(m_stateDir), QStringLiteral("--scenario"),
                          HostProcess::hostPath(scenarioFile.fileName()),
                          QStringLiteral("--adb-port"), QString::number(WebFixture::closedPort()) },
        &output));
    m_ports = QJsonDocument::fromJson(output).object();
    QVERIFY(m_ports.value(QStringLiteral("web")).toInt() > 0);
}

void TestDownloadSim::cleanupTestCase()
{
    runSimctl({ QStringLiteral("stop"), QStringLiteral("--state-dir"),
        HostProcess::hostPath(m_stateDir) });
}

QJsonArray TestDownloadSim::webLog() const
{
    QJsonArray entries;
    QFile file(QDir(m_stateDir).filePath(QStringLiteral("web.log")));
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
    QVERIFY2(ranges.last() == QLatin1String("bytes=300007-"),
        qPrintable(ranges.join(QLatin1Char(','))));
}

QTEST_MAIN(TestDownloadSim)
#include "tst_downloadsim.moc"
