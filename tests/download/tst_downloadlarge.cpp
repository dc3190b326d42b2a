// A 512 MiB download: memory must stay flat in the file size. Prints the throughput.
#include "webfixture.h"

#include <zevdownloadhandler.h>

#include <QtTest>

#include <QTemporaryDir>

#include <sys/resource.h>

namespace {

class Sink : public QObject, public IDownloadHandlerEvent
{
    Q_OBJECT
public:
    void onProgress(qint64, qint64 doneBytes) override { lastProgress = doneBytes; }
    void onTaskFinished(
        qint64, qint64 doneBytes, QString filePath, utils::ZEVErrorPtr error) override
    {
        code = error->errorCode();
        done = doneBytes;
        path = filePath;
        emit taskFinished();
    }
    void onUpgradeInfo(UpgRespDataPtr data, utils::ZEVErrorPtr error) override
    {
        answer = data;
        code = error->errorCode();
        emit upgradeInfo();
    }

    UpgRespDataPtr answer;
    int code = -1;
    qint64 done = 0;
    qint64 lastProgress = 0;
    QString path;

signals:
    void taskFinished();
    void upgradeInfo();
};

// Peak resident set of this process so far, in KiB.
long peakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

} // namespace

class TestDownloadLarge : public QObject
{
    Q_OBJECT
private slots:
    void flatMemory();
};

void TestDownloadLarge::flatMemory()
{
    const qint64 size = qEnvironmentVariableIntValue("ZEV_LARGE_DOWNLOAD_MIB") > 0
        ? qint64(qEnvironmentVariableIntValue("ZEV_LARGE_DOWNLOAD_MIB")) << 20
        : qint64(512) << 20;
    WebFixture web;
    QVERIFY(web.start());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    Sink sink;
    ZEVDownloadHandler handler;
    handler.setReportQueueFile(dir.filePath(QStringLiteral("queue.json")));
    handler.createTaskInstance(dir.path(), &sink, DownLoadTaskModeNormal);

    // The answer announces size and SHA-256, so the whole file is checked too.
    QSignalSpy info(&sink, &Sink::upgradeInfo);
    handler.postHttpTask(
        web.url(QStringLiteral("/zev/version/findPcInstallApk?answer=valid&size=%1").arg(size)),
        HttpCmdUpgradeInfo, nullptr);
    QVERIFY(info.wait(60000));
    QCOMPARE(sink.code, 0);
    const long before = peakRssKiB();

    // Once with nothing announced for it (another URL), once checked against the answer.
    for (const QString &url :
        { sink.answer->downloadUrl + QStringLiteral("&unchecked=1"), sink.answer->downloadUrl }) {
        QSignalSpy finished(&sink, &Sink::taskFinished);
        QElapsedTimer timer;
        timer.start();
        handler.postHttpTask(url, HttpCmdDownload, nullptr);
        QVERIFY(finished.wait(300000));
        const double seconds = timer.elapsed() / 1000.0;
        QCOMPARE(sink.code, 0);
        QCOMPARE(sink.done, size);
        QCOMPARE(QFileInfo(sink.path).size(), size);
        qInfo("download of %lld MiB%s: %.2f s, %.1f MiB/s", size >> 20,
            url == sink.answer->downloadUrl ? " with SHA-256 check" : "", seconds,
            (size >> 20) / seconds);
        QFile::remove(sink.path);
    }
    const long peak = peakRssKiB();
    qInfo("peak RSS %.1f MiB (%.1f MiB before the downloads)", peak / 1024.0, before / 1024.0);
    if (kSanitized)
        QSKIP("the sanitizers' own memory makes the resident size meaningless");
    QVERIFY2(peak < 64 * 1024, qPrintable(QStringLiteral("peak RSS %1 KiB").arg(peak)));
}

QTEST_MAIN(TestDownloadLarge)
#include "tst_downloadlarge.moc"
