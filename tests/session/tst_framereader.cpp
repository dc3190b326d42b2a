#include "framereader.h"
#include "sessiontestsupport.h"

#include <QtTest>

using namespace testframe;

namespace {

QList<QByteArray> drain(FrameReader &reader)
{
    QList<QByteArray> payloads;
    FrameReader::Frame frame;
    while (reader.next(&frame))
        payloads << QByteArray(frame.payload, frame.size);
    return payloads;
}

QList<QByteArray> feedInPieces(const QByteArray &stream, const QList<int> &cuts)
{
    FrameReader reader;
    QList<QByteArray> payloads;
    int from = 0;
    for (int cut : cuts) {
        reader.append(stream.constData() + from, cut - from);
        payloads += drain(reader);
        from = cut;
    }
    reader.append(stream.constData() + from, stream.size() - from);
    payloads += drain(reader);
    return payloads;
}

} // namespace

class tst_FrameReader : public QObject
{
    Q_OBJECT

private slots:
    void splitAtEveryOffset();
    void splitAtEveryPairOfOffsets();
    void resynchronises_data();
    void resynchronises();
    void droppedFrameArrivingInPieces();
    void oversizeLengthAllocatesNothing();
    void longStreamStaysCompact();
};

void tst_FrameReader::splitAtEveryOffset()
{
    const QByteArray stream = frame("first") + frame(QByteArray()) + frame(QByteArray(40, 'x'))
        + QByteArray("junk") + frame("last");
    const QList<QByteArray> expected { "first", QByteArray(40, 'x'), "last" };
    for (int cut = 0; cut <= stream.size(); ++cut)
        QCOMPARE(feedInPieces(stream, { cut }), expected);
    QList<int> everyByte;
    for (int i = 1; i < stream.size(); ++i)
        everyByte << i;
    QCOMPARE(feedInPieces(stream, everyByte), expected);
}

void tst_FrameReader::splitAtEveryPairOfOffsets()
{
    const QByteArray stream = frame("ab") + frame(QByteArray("\x34\x12", 2)) + frame("c");
    const QList<QByteArray> expected { "ab", QByteArray("\x34\x12", 2), "c" };
    for (int a = 0; a <= stream.size(); ++a) {
        for (int b = a; b <= stream.size(); ++b)
            QCOMPARE(feedInPieces(stream, { a, b }), expected);
    }
}

void tst_FrameReader::resynchronises_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::addColumn<quint64>("droppedFrames");

    const QByteArray good = frame("ok");
    QTest::newRow("garbage before")
        << QByteArray("garbage") + good << QList<QByteArray> { "ok" } << quint64(0);
    QTest::newRow("lone 34 before")
        << QByteArray("\x34\x34", 2) + good << QList<QByteArray> { "ok" } << quint64(0);
    QTest::newRow("12 34 reversed")
        << QByteArray("\x12\x34\x12", 3) + good << QList<QByteArray> { "ok" } << quint64(0);
    QTest::newRow("start mark in garbage with a plausible length")
        << QByteArray("x\x34\x12\x00\x01\x00\x00\x07\x00zz", 11) + good
        << QList<QByteArray> { "ok" } << quint64(0);
    QTest::newRow("version 2 after garbage is scanned, not trusted")
        << QByteArray("x") + frame(good, 2) << QList<QByteArray> { "ok" } << quint64(0);
    QTest::newRow("length 0") << header(0) + good << QList<QByteArray> { "ok" } << quint64(1);
    QTest::newRow("length 3") << header(3) + good << QList<QByteArray> { "ok" } << quint64(1);
    QTest::newRow("negative length")
        << header(-5) + good << QList<QByteArray> { "ok" } << quint64(1);
    QTest::newRow("length 16 MiB + 1")
        << header(FrameReader::kMaxLength + 1) + good << QList<QByteArray> { "ok" } << quint64(1);
    QTest::newRow("version 2 skipped whole")
        << frame(good, 2) + good << QList<QByteArray> { "ok" } << quint64(1);
    // A good frame after garbage puts the reader back in step: a frame inside the next one's
    // payload is not one of ours.
    QTest::newRow("back in step after garbage")
        << QByteArray("x") + good + frame(frame("inner"), 2) + good
        << QList<QByteArray> { "ok", "ok" } << quint64(1);
    QTest::newRow("reserved ignored")
        << header(6, 1, 0xffff) + "hi" << QList<QByteArray> { "hi" } << quint64(0);
    QTest::newRow("empty frames only")
        << frame(QByteArray()) + frame(QByteArray()) << QList<QByteArray>() << quint64(0);
}

void tst_FrameReader::resynchronises()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(quint64, droppedFrames);
    FrameReader reader;
    reader.append(stream.constData(), stream.size());
    QCOMPARE(drain(reader), expected);
    QCOMPARE(reader.droppedFrames(), droppedFrames);
    QCOMPARE(reader.buffered(), 0);
}

void tst_FrameReader::droppedFrameArrivingInPieces()
{
    // A Version 3 frame of 100 KiB is skipped as it arrives, without keeping it.
    const QByteArray dropped = frame(QByteArray(100 * 1024, '\x34'), 3);
    FrameReader reader;
    for (int i = 0; i < dropped.size(); i += 1000) {
        reader.append(dropped.constData() + i, qMin(1000, dropped.size() - i));
        QCOMPARE(drain(reader), QList<QByteArray>());
        QVERIFY(reader.buffered() < 1000);
    }
    const QByteArray good = frame("after");
    reader.append(good.constData(), good.size());
    QCOMPARE(drain(reader), QList<QByteArray> { "after" });
    QCOMPARE(reader.droppedFrames(), quint64(1));
}

void tst_FrameReader::oversizeLengthAllocatesNothing()
{
    FrameReader reader;
    const QByteArray stream = header(0x7fffffff) + QByteArray(100, 'a');
    reader.append(stream.constData(), stream.size());
    QCOMPARE(drain(reader), QList<QByteArray>());
    QCOMPARE(reader.buffered(), 0);
    QCOMPARE(reader.skippedBytes(), quint64(stream.size() - 2));
}

void tst_FrameReader::longStreamStaysCompact()
{
    FrameReader reader;
    const QByteArray one = frame(QByteArray(1000, 'p'));
    int count = 0;
    for (int i = 0; i < 2000; ++i) {
        reader.append(one.constData(), one.size() - 7);
        count += drain(reader).size();
        reader.append(one.constData() + one.size() - 7, 7);
        count += drain(reader).size();
        QVERIFY(reader.buffered() < one.size());
    }
    QCOMPARE(count, 2000);
}

QTEST_GUILESS_MAIN(tst_FrameReader)
#include "tst_framereader.moc"
