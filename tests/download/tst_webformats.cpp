#include "reportqueue.h"
#include "webformats.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

class TestWebFormats : public QObject
{
    Q_OBJECT
private slots:
    void parseUpgradeAnswer_data();
    void parseUpgradeAnswer();
    void downloadFileName_data();
    void downloadFileName();
    void parseContentRange_data();
    void parseContentRange();
    void reportRequest();
    void reportQueue();
};

void TestWebFormats::parseUpgradeAnswer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("md5");
    QTest::addColumn<qint64>("size");

    const QByteArray md5 = "0123456789ABCDEF0123456789abcdef";
    const QString md5Lower = QStringLiteral("0123456789abcdef0123456789abcdef");
    QTest::newRow("full") << QByteArray(
        R"({"valid": true, "downloadUrl": " http://h/p.zip ", "md5": ")" + md5
        + R"(", "size": 12, "version": "1"})")
                          << true << true << "http://h/p.zip" << md5Lower << qint64(12);
    QTest::newRow("only valid") << QByteArray(R"({"valid": false})") << true << false << ""
                                << "" << qint64(-1);
    QTest::newRow("nulls read as absent")
        << QByteArray(R"({"valid": true, "downloadUrl": null, "md5": null, "size": null})") << true
        << true << ""
        << "" << qint64(-1);
    QTest::newRow("unknown fields ignored")
        << QByteArray(R"({"valid": true, "extra": [1, 2], "downloadUrl": "u"})") << true << true
        << "u"
        << "" << qint64(-1);
    QTest::newRow("size zero") << QByteArray(R"({"valid": true, "size": 0})") << true << true << ""
                               << "" << qint64(0);
    QTest::newRow("large size") << QByteArray(R"({"valid": true, "size": 6442450944})") << true
                                << true << ""
                                << "" << qint64(6442450944);

    QTest::newRow("empty") << QByteArray() << false << false << ""
                           << "" << qint64(-1);
    QTest::newRow("truncated") << QByteArray(R"({"valid": tru)") << false << false << ""
                               << "" << qint64(-1);
    QTest::newRow("array") << QByteArray(R"([{"valid": true}])") << false << false << ""
                           << "" << qint64(-1);
    QTest::newRow("no valid") << QByteArray(R"({"downloadUrl": "u"})") << false << false << ""
                              << "" << qint64(-1);
    QTest::newRow("valid as number") << QByteArray(R"({"valid": 1})") << false << false << ""
                                     << "" << qint64(-1);
    QTest::newRow("url as number")
        << QByteArray(R"({"valid": true, "downloadUrl": 5})") << false << false << ""
        << "" << qint64(-1);
    QTest::newRow("md5 too short")
        << QByteArray(R"({"valid": true, "md5": "abc"})") << false << false << ""
        << "" << qint64(-1);
    QTest::newRow("md5 not hex") << QByteArray(
        R"({"valid": true, "md5": "0123456789abcdef0123456789abcdeg"})")
                                 << false << false << ""
                                 << "" << qint64(-1);
    QTest::newRow("sha256 wrong length")
        << QByteArray(R"({"valid": true, "sha256": "ab"})") << false << false << ""
        << "" << qint64(-1);
    QTest::newRow("negative size")
        << QByteArray(R"({"valid": true, "size": -1})") << false << false << ""
        << "" << qint64(-1);
    QTest::newRow("fractional size")
        << QByteArray(R"({"valid": true, "size": 1.5})") << false << false << ""
        << "" << qint64(-1);
    QTest::newRow("size as text") << QByteArray(R"({"valid": true, "size": "12"})") << false
                                  << false << ""
                                  << "" << qint64(-1);
    QTest::newRow("size beyond 2^53")
        << QByteArray(R"({"valid": true, "size": 1e300})") << false << false << ""
        << "" << qint64(-1);
    QTest::newRow("over 1 MiB") << QByteArray(R"({"valid": true, "version": ")")
            + QByteArray(1 << 20, 'x') + "\"}"
                                << false << false << ""
                                << "" << qint64(-1);
}

void TestWebFormats::parseUpgradeAnswer()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    QFETCH(bool, valid);
    QFETCH(QString, url);
    QFETCH(QString, md5);
    QFETCH(qint64, size);

    UpgRespData answer;
    answer.downloadUrl = QStringLiteral("untouched");
    QCOMPARE(webformats::parseUpgradeAnswer(body, answer), ok);
    if (!ok) {
        QCOMPARE(answer.downloadUrl, QStringLiteral("untouched"));
        return;
    }
    QCOMPARE(answer.valid, valid);
    QCOMPARE(answer.downloadUrl, url);
    QCOMPARE(answer.packageMd5, md5);
    QCOMPARE(answer.size, size);
}

void TestWebFormats::downloadFileName_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("name");

    QTest::newRow("plain") << "http://h/a/b/pkg.zip"
                           << "pkg.zip";
    QTest::newRow("https, port, query") << "https://h:8443/x/pkg_2.zip?token=1#f"
                                        << "pkg_2.zip";
    QTest::newRow("escaped blank") << "http://h/a%20b.zip"
                                   << "a b.zip";
    QTest::newRow("Chinese name") << QString::fromUtf8("http://h/升级包.zip")
                                  << QString::fromUtf8("升级包.zip");
    QTest::newRow("surrounding blanks") << "  http://h/p.zip \n"
                                        << "p.zip";
    QTest::newRow("folder") << "http://h/a/"
                            << "";
    QTest::newRow("no path") << "http://h"
                             << "";
    QTest::newRow("dot dot") << "http://h/a/.."
                             << "";
    // Decoded, the slash ends the path's folders: only what follows it is the name.
    QTest::newRow("escaped slash") << "http://h/..%2F..%2Fx.zip"
                                   << "x.zip";
    QTest::newRow("escaped backslash") << "http://h/..%5Cx.zip"
                                       << "";
    QTest::newRow("drive letter") << "http://h/C%3Ax.zip"
                                  << "";
    QTest::newRow("control character") << "http://h/a%0Ab.zip"
                                       << "";
    QTest::newRow("device name") << "http://h/con.txt"
                                 << "";
    QTest::newRow("trailing dot") << "http://h/p.zip."
                                  << "";
    QTest::newRow("relative") << "/files/p.zip"
                              << "";
    QTest::newRow("file scheme") << "file:///tmp/p.zip"
                                 << "";
    QTest::newRow("ftp scheme") << "ftp://h/p.zip"
                                << "";
    QTest::newRow("no host") << "http:///p.zip"
                             << "";
    QTest::newRow("bad escape") << "http://h/%zz.zip"
                                << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestWebFormats::downloadFileName()
{
    QFETCH(QString, url);
    QFETCH(QString, name);
    QCOMPARE(webformats::downloadFileName(url), name);
}

void TestWebFormats::parseContentRange_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("total");

    QTest::newRow("usual") << QByteArray("bytes 100-199/200") << true << qint64(100) << qint64(199)
                           << qint64(200);
    QTest::newRow("unknown total")
        << QByteArray("bytes 0-9/*") << true << qint64(0) << qint64(9) << qint64(-1);
    QTest::newRow("upper case unit")
        << QByteArray("Bytes 5-5/6") << true << qint64(5) << qint64(5) << qint64(6);
    QTest::newRow("beyond 4 GiB") << QByteArray("bytes 5000000000-5999999999/6000000000") << true
                                  << qint64(5000000000) << qint64(5999999999) << qint64(6000000000);
    QTest::newRow("last before first")
        << QByteArray("bytes 9-5/10") << false << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("last past total")
        << QByteArray("bytes 0-10/10") << false << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("unsatisfied form")
        << QByteArray("bytes */10") << false << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("other unit") << QByteArray("items 0-1/2") << false << qint64(0) << qint64(0)
                                << qint64(0);
    QTest::newRow("huge number") << QByteArray("bytes 0-1/99999999999999999999") << false
                                 << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("empty") << QByteArray() << false << qint64(0) << qint64(0) << qint64(0);
}

void TestWebFormats::parseContentRange()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, ok);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(qint64, total);

    qint64 a = 0;
    qint64 b = 0;
    qint64 c = 0;
    QCOMPARE(webformats::parseContentRange(value, a, b, c), ok);
    if (ok) {
        QCOMPARE(a, first);
        QCOMPARE(b, last);
        QCOMPARE(c, total);
    }
}

void TestWebFormats::reportRequest()
{
    RobotTarvo2 robot;
    robot.serialNumber = QStringLiteral("S1");
    const QDateTime time(QDate(2026, 12, 7), QTime(9, 30, 5), Qt::OffsetFromUTC, 8 * 3600);
    const QByteArray body = webformats::reportRequest(
        robot, 255, 501, QString::fromUtf8("获取更新包版本信息失败"), time);
    QVERIFY(body.contains(QString::fromUtf8("获取更新包版本信息失败").toUtf8()));
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    QCOMPARE(object.value(QStringLiteral("time")).toString(),
        QStringLiteral("2026-12-07T09:30:05+08:00"));
    QCOMPARE(object.value(QStringLiteral("robotType")).toInt(), 255);
    QCOMPARE(object.value(QStringLiteral("code")).toInt(), 501);
    QCOMPARE(object.value(QStringLiteral("kernelVersion")).toInt(), 0);
    QCOMPARE(object.keys().size(), 10);
}

void TestWebFormats::reportQueue()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("sub/queue.json"));
    ReportQueue queue(path);
    QVERIFY(queue.isEmpty());
    for (int i = 0; i < ReportQueue::kMaxEntries + 3; ++i)
        QVERIFY(queue.append(
            { QStringLiteral("http://h/r"), QByteArray("{\"n\":") + QByteArray::number(i) + "}" }));

    // A fresh reader sees what was written; the oldest beyond the limit are gone.
    const QList<ReportQueue::Entry> entries = ReportQueue(path).load();
    QCOMPARE(entries.size(), ReportQueue::kMaxEntries);
    QCOMPARE(entries.first().body, QByteArray("{\"n\":3}"));
    QVERIFY(queue.removeFirst());
    QCOMPARE(queue.load().first().body, QByteArray("{\"n\":4}"));
    while (!queue.isEmpty())
        QVERIFY(queue.removeFirst());
    QVERIFY(!QFileInfo::exists(path));

    // A damaged file holds no reports and is replaced on the next append.
    QFile damaged(path);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("[{\"url\": ");
    damaged.close();
    QVERIFY(queue.isEmpty());
    QVERIFY(queue.append({ QStringLiteral("http://h/r"), QByteArray("{\"n\":1}") }));
    QCOMPARE(queue.load().size(), 1);

    // Failed attempts are counted on the oldest entry and survive a restart; the last allowed
    // one drops it and leaves the next in place.
    QVERIFY(queue.append({ QStringLiteral("http://h/r"), QByteArray("{\"n\":2}") }));
    for (int i = 1; i < ReportQueue::kMaxAttempts; ++i) {
        QVERIFY(!queue.noteFailedAttempt());
        QCOMPARE(ReportQueue(path).load().first().attempts, i);
    }
    QVERIFY(queue.noteFailedAttempt());
    const QList<ReportQueue::Entry> rest = queue.load();
    QCOMPARE(rest.size(), 1);
    QCOMPARE(rest.first().body, QByteArray("{\"n\":2}"));
    QCOMPARE(rest.first().attempts, 0);
}

QTEST_GUILESS_MAIN(TestWebFormats)
#include "tst_webformats.moc"
