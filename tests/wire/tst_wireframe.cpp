#include "libwireclass.h"
#include "wiretestutil.h"

#include <QtTest>

#include <memory>

using namespace wiretest;

class TestWireFrame : public QObject
{
    Q_OBJECT

private:
    static QByteArray frameOf(CHeader &header)
    {
        unsigned char *frame = nullptr;
        const int size = header.GetHeaderData(&frame);
        std::unique_ptr<unsigned char[]> owner(frame);
        return QByteArray(reinterpret_cast<const char *>(frame), size);
    }

private slots:
    void emptyHeaderBuildsTenBytes()
    {
        CHeader header;
        QCOMPARE(header.GetMagic(), static_cast<unsigned short>(0x1234));
        QCOMPARE(header.GetLength(), 0);
        QCOMPARE(header.GetVersion(), static_cast<unsigned short>(1));
        QCOMPARE(header.GetMsgLen(), 0);
        QVERIFY(!header.GetMsg());
        QCOMPARE(hex(frameOf(header)), hex(bytes("34 12 04 00 00 00 01 00 00 00")));
        QCOMPARE(header.GetLength(), 4);
    }

    void payloadFollowsHeader_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1") << 1;
        QTest::newRow("255") << 255;
        QTest::newRow("70000") << 70000;
    }

    void payloadFollowsHeader()
    {
        QFETCH(int, size);
        QByteArray payload(size, '\0');
        for (int i = 0; i < size; ++i)
            payload[i] = static_cast<char>(i * 7);
        CHeader header;
        QVERIFY(header.SetMsg(ubytes(payload), size));
        QVERIFY(header.GetMsg() != ubytes(payload));
        const QByteArray frame = frameOf(header);
        QCOMPARE(frame.size(), size + 10);
        QCOMPARE(header.GetLength(), size + 4);
        const int length = size + 4;
        QByteArray expectedHead = bytes("3412");
        for (int i = 0; i < 4; ++i)
            expectedHead.append(static_cast<char>((length >> (8 * i)) & 0xff));
        expectedHead.append(bytes("01000000"));
        QCOMPARE(hex(frame.left(10)), hex(expectedHead));
        QCOMPARE(frame.mid(10), payload);
    }

    void setMsgClearsOnNullOrNonPositiveLength_data()
    {
        QTest::addColumn<bool>("nullPointer");
        QTest::addColumn<int>("length");
        QTest::newRow("null, 5") << true << 5;
        QTest::newRow("data, 0") << false << 0;
        QTest::newRow("data, -3") << false << -3;
    }

    void setMsgClearsOnNullOrNonPositiveLength()
    {
        QFETCH(bool, nullPointer);
        QFETCH(int, length);
        const QByteArray data = bytes("0102030405");
        CHeader header;
        header.SetMsg(ubytes(data), data.size());
        QVERIFY(header.SetMsg(nullPointer ? nullptr : ubytes(data), length));
        QVERIFY(!header.GetMsg());
        QCOMPARE(header.GetMsgLen(), 0);
        QCOMPARE(frameOf(header).size(), 10);
    }

    void setMsgFromItsOwnPayload()
    {
        const QByteArray data = bytes("0a0b0c0d");
        CHeader header;
        header.SetMsg(ubytes(data), data.size());
        header.SetMsg(header.GetMsg() + 1, 2);
        QCOMPARE(hex(frameOf(header).mid(10)), hex(bytes("0b0c")));
    }

    void parsesOneFrame_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("startPos");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("endPos");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("version");

        QTest::newRow("exactly an empty frame")
            << bytes("34 12 04 00 00 00 01 00 00 00") << 0 << 10 << 10 << QByteArray() << 1;
        QTest::newRow("message 3 without payload")
            << bytes("34 12 07 00 00 00 01 00 00 00 92 03 a0") << 0 << 13 << 13 << bytes("9203a0")
            << 1;
        QTest::newRow("message 52, from offset 3")
            << bytes("ff ff ff 34 12 09 00 00 00 01 00 00 00 92 34 a2 91 a0 ee") << 3 << 18 << 18
            << bytes("9234a291a0") << 1;
        QTest::newRow("version 2 is accepted")
            << bytes("34 12 05 00 00 00 02 00 ef be 7f") << 0 << 11 << 11 << bytes("7f") << 2;
        QTest::newRow("9 bytes left")
            << bytes("34 12 04 00 00 00 01 00 00") << 0 << -1 << 0 << QByteArray() << -1;
        QTest::newRow("9 bytes left after offset 5")
            << bytes("00 00 00 00 00 34 12 04 00 00 00 01 00 00") << 5 << -1 << 0 << QByteArray()
            << -1;
        QTest::newRow("wrong start mark")
            << bytes("00 00 35 12 04 00 00 00 01 00 00 00") << 2 << -1 << 2 << QByteArray() << -1;
        QTest::newRow("big-endian start mark")
            << bytes("12 34 04 00 00 00 01 00 00 00") << 0 << -1 << 0 << QByteArray() << -1;
        QTest::newRow("Length 3") << bytes("00 34 12 03 00 00 00 01 00 00 00") << 1 << -1 << 3
                                  << QByteArray() << -1;
        QTest::newRow("negative Length")
            << bytes("34 12 ff ff ff ff 01 00 00 00") << 0 << -1 << 2 << QByteArray() << -1;
        // The frame announces more than the buffer holds: nothing is read beyond it.
        QTest::newRow("Length past the end") << bytes("34 12 08 00 00 00 01 00 00 00 aa bb cc") << 0
                                             << -1 << 0 << QByteArray() << -1;
        QTest::newRow("huge Length")
            << bytes("00 34 12 ff ff ff 7f 01 00 00 00 aa") << 1 << -1 << 1 << QByteArray() << -1;
        QTest::newRow("negative position")
            << bytes("34 12 04 00 00 00 01 00 00 00") << -4 << -1 << 0 << QByteArray() << -1;
        QTest::newRow("position past the end")
            << bytes("34 12 04 00 00 00 01 00 00 00") << 11 << -1 << 0 << QByteArray() << -1;
    }

    void parsesOneFrame()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, startPos);
        QFETCH(int, result);
        QFETCH(int, endPos);
        QFETCH(QByteArray, payload);
        QFETCH(int, version);

        CHeader header;
        int pos = startPos;
        QCOMPARE(header.SetHeaderData(ubytes(buffer), buffer.size(), pos), result);
        QCOMPARE(pos, endPos);
        if (result < 0) {
            QCOMPARE(header.GetMsgLen(), 0);
            return;
        }
        QCOMPARE(header.GetMsgLen(), payload.size());
        QCOMPARE(header.GetLength(), payload.size() + 4);
        QCOMPARE(int(header.GetVersion()), version);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(header.GetMsg()), header.GetMsgLen()),
            payload);
    }

    void reservedIsKept()
    {
        const QByteArray frame = bytes("34 12 04 00 00 00 01 00 ef be");
        CHeader header;
        int pos = 0;
        QCOMPARE(header.SetHeaderData(ubytes(frame), frame.size(), pos), 10);
        QCOMPARE(header.GetReserved(), static_cast<unsigned short>(0xbeef));
        QCOMPARE(hex(frameOf(header)), hex(frame));
    }

    void twoFramesBackToBack()
    {
        const QByteArray buffer
            = bytes("34 12 07 00 00 00 01 00 00 00 92 03 a0 34 12 04 00 00 00 01 00 00 00");
        CHeader header;
        int pos = 0;
        QCOMPARE(header.SetHeaderData(ubytes(buffer), buffer.size(), pos), 13);
        QCOMPARE(header.GetMsgLen(), 3);
        QCOMPARE(header.SetHeaderData(ubytes(buffer), buffer.size(), pos), 23);
        QCOMPARE(header.GetMsgLen(), 0);
        QVERIFY(!header.GetMsg());
        QCOMPARE(header.SetHeaderData(ubytes(buffer), buffer.size(), pos), -1);
        QCOMPARE(pos, 0);
    }

    void copiesOwnTheirPayload()
    {
        const QByteArray data = bytes("010203");
        auto original = std::make_unique<CHeader>();
        original->SetMsg(ubytes(data), data.size());
        CHeader copy(*original);
        CHeader assigned;
        assigned.SetMsg(ubytes(data), 1);
        assigned = *original;
        QVERIFY(copy.GetMsg() != original->GetMsg());
        QVERIFY(assigned.GetMsg() != original->GetMsg());
        original.reset();
        QCOMPARE(frameOf(copy).mid(10), data);
        QCOMPARE(frameOf(assigned).mid(10), data);
        assigned = assigned;
        QCOMPARE(frameOf(assigned).mid(10), data);
    }

    void printInHexDoesNothing()
    {
        CHeader header;
        const QByteArray data = bytes("01");
        QVERIFY(!header.PrintInHex(ubytes(data), data.size()));
    }

    void envelopeEncodes_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("3, no payload") << 3 << QByteArray() << bytes("92 03 a0");
        QTest::newRow("52, [\"\"]") << 52 << bytes("91a0") << bytes("92 34 a2 91 a0");
        QTest::newRow("id 128") << 128 << QByteArray() << bytes("92 cc 80 a0");
        QTest::newRow("id -1") << -1 << QByteArray() << bytes("92 ff a0");
        QTest::newRow("id -2147483648")
            << int(0x80000000) << QByteArray() << bytes("92 d2 80 00 00 00 a0");
        QTest::newRow("31 bytes") << 1 << QByteArray(31, 'x')
                                  << bytes("92 01 bf") + QByteArray(31, 'x');
        QTest::newRow("32 bytes") << 1 << QByteArray(32, 'x')
                                  << bytes("92 01 da 00 20") + QByteArray(32, 'x');
        QTest::newRow("255 bytes")
            << 1 << QByteArray(255, 'x') << bytes("92 01 da 00 ff") + QByteArray(255, 'x');
        QTest::newRow("65535 bytes")
            << 1 << QByteArray(65535, 'x') << bytes("92 01 da ff ff") + QByteArray(65535, 'x');
        QTest::newRow("65536 bytes") << 1 << QByteArray(65536, 'x')
                                     << bytes("92 01 db 00 01 00 00") + QByteArray(65536, 'x');
    }

    void envelopeEncodes()
    {
        QFETCH(int, id);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, expected);
        CHeaderCmd cmd;
        cmd.SetMsgID(id);
        cmd.SetMsgData(payload.isEmpty() ? nullptr : ubytes(payload), payload.size());
        QCOMPARE(cmd.GetMsgID(), id);
        QCOMPARE(cmd.GetMsgLen(), payload.size());
        QCOMPARE(hex(packed(cmd)), hex(expected));
    }

    void workedFrames()
    {
        CSerialNum serial;
        const QByteArray payload = packed(serial);
        CHeaderCmd cmd;
        cmd.SetMsgID(52);
        cmd.SetMsgData(ubytes(payload), payload.size());
        const QByteArray envelope = packed(cmd);
        CHeader header;
        header.SetMsg(ubytes(envelope), envelope.size());
        QCOMPARE(hex(frameOf(header)), hex(bytes("34 12 09 00 00 00 01 00 00 00 92 34 a2 91 a0")));
    }

    void setMsgDataClears_data()
    {
        QTest::addColumn<bool>("nullPointer");
        QTest::addColumn<int>("length");
        QTest::newRow("null, 0") << true << 0;
        QTest::newRow("null, 4") << true << 4;
        QTest::newRow("data, 0") << false << 0;
        QTest::newRow("data, -1") << false << -1;
    }

    void setMsgDataClears()
    {
        QFETCH(bool, nullPointer);
        QFETCH(int, length);
        const QByteArray data = bytes("01020304");
        CHeaderCmd cmd;
        cmd.SetMsgID(9);
        cmd.SetMsgData(ubytes(data), data.size());
        cmd.SetMsgData(nullPointer ? nullptr : ubytes(data), length);
        QVERIFY(!cmd.GetMsg());
        QCOMPARE(cmd.GetMsgLen(), 0);
        QCOMPARE(hex(packed(cmd)), hex(bytes("92 09 a0")));
    }

    void envelopeDecodes_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("throws");
        QTest::addColumn<int>("id");
        QTest::addColumn<QByteArray>("payload");

        // Before each row the command holds id 77 and the owned payload "zz".
        QTest::newRow("[3, \"\"]") << bytes("92 03 a0") << false << 3 << QByteArray();
        QTest::newRow("[52, 91 a0]") << bytes("92 34 a2 91 a0") << false << 52 << bytes("91a0");
        QTest::newRow("payload marked bin")
            << bytes("92 05 c4 02 91 a0") << false << 5 << bytes("91a0");
        QTest::newRow("payload as str8") << bytes("92 05 d9 01 c3") << false << 5 << bytes("c3");
        QTest::newRow("id only keeps the payload") << bytes("91 07") << false << 7 << bytes("7a7a");
        QTest::newRow("three elements") << bytes("93 08 a1 41 c3") << false << 8 << bytes("41");
        QTest::newRow("empty array") << bytes("90") << false << 77 << bytes("7a7a");
        QTest::newRow("negative id") << bytes("92 d0 80 a0") << false << -128 << QByteArray();
        QTest::newRow("id 2147483647")
            << bytes("92 ce 7f ff ff ff a0") << false << 2147483647 << QByteArray();
        QTest::newRow("not an array") << bytes("a3 61 62 63") << true << 77 << bytes("7a7a");
        QTest::newRow("map") << bytes("81 01 02") << true << 77 << bytes("7a7a");
        QTest::newRow("id 2147483648")
            << bytes("92 ce 80 00 00 00 a0") << true << 77 << bytes("7a7a");
        QTest::newRow("id -2147483649")
            << bytes("92 d3 ff ff ff ff 7f ff ff ff a0") << true << 77 << bytes("7a7a");
        QTest::newRow("id is text") << bytes("92 a1 31 a0") << true << 77 << bytes("7a7a");
        QTest::newRow("id is bool") << bytes("92 c3 a0") << true << 77 << bytes("7a7a");
        QTest::newRow("id is float")
            << bytes("92 cb 3f f0 00 00 00 00 00 00 a0") << true << 77 << bytes("7a7a");
        // The id is kept when the payload element is refused.
        QTest::newRow("payload is an int") << bytes("92 04 05") << true << 4 << bytes("7a7a");
        QTest::newRow("payload is nil") << bytes("92 04 c0") << true << 4 << bytes("7a7a");
        QTest::newRow("payload is an array") << bytes("92 04 91 a0") << true << 4 << bytes("7a7a");
    }

    void envelopeDecodes()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, throws);
        QFETCH(int, id);
        QFETCH(QByteArray, payload);

        CHeaderCmd cmd;
        cmd.SetMsgID(77);
        cmd.SetMsgData(ubytes(bytes("7a7a")), 2);
        msgpack::object_handle handle = unpacked(data);
        bool thrown = false;
        try {
            cmd.msgpack_unpack(handle.get());
        } catch (const msgpack::type_error &) {
            thrown = true;
        }
        QCOMPARE(thrown, throws);
        QCOMPARE(cmd.GetMsgID(), id);
        QCOMPARE(
            QByteArray(reinterpret_cast<const char *>(cmd.GetMsg()), cmd.GetMsgLen()), payload);
    }

    void decodedPayloadIsAReference()
    {
        msgpack::object_handle handle = unpacked(bytes("92 34 a2 91 a0"));
        CHeaderCmd cmd;
        handle.get().convert(cmd);
        QCOMPARE(cmd.GetMsgID(), 52);
        const msgpack::object &element = handle.get().via.array.ptr[1];
        QCOMPARE(reinterpret_cast<const char *>(cmd.GetMsg()), element.via.str.ptr);

        // A copy owns its bytes and outlives the decoded data.
        auto copy = std::make_unique<CHeaderCmd>(cmd);
        CHeaderCmd assigned;
        assigned = cmd;
        handle = msgpack::object_handle();
        QVERIFY(copy->GetMsg() != cmd.GetMsg());
        QCOMPARE(hex(packed(*copy)), hex(bytes("92 34 a2 91 a0")));
        QCOMPARE(hex(packed(assigned)), hex(bytes("92 34 a2 91 a0")));
        CHeaderCmd moved(std::move(*copy));
        copy.reset();
        QCOMPARE(hex(packed(moved)), hex(bytes("92 34 a2 91 a0")));
    }
};

QTEST_GUILESS_MAIN(TestWireFrame)
#include "tst_wireframe.moc"
