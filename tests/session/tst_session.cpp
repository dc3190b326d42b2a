#include "libwireclass.h"
#include "sessiontestsupport.h"
#include "zevsocketsession.h"

#include <QAbstractSocket>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace testframe;

namespace {

QStringList g_sessionDebugLines;
QtMessageHandler g_previousHandler = nullptr;

void captureSessionDebug(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (context.category && qstrcmp(context.category, "zev.session") == 0)
        g_sessionDebugLines << msg;
    if (g_previousHandler)
        g_previousHandler(type, context, msg);
}

const QByteArray kSerialRequest = QByteArray::fromHex("341209000000010000009234a291a0");

} // namespace

// Releases a session from a slot, as a client reacting to sigRobotDisconnected would.
class Releaser : public QObject
{
    Q_OBJECT

public:
    CIZEVSocketSession *session = nullptr;
    bool released = false;

public slots:
    void release()
    {
        session->Release();
        released = true;
    }
};

class tst_Session : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void factoryAndMetaObject();
    void releaseNeverConnected();
    void connectRaisesOnConnectedOnly();
    void connectTwiceIsRefused();
    void refusedConnectionRaisesNothing();
    void sendBeforeConnected();
    void ledsRefusedBeforeLogin();
    void sendMsgRefusals();
    void sendDataEdges();
    void sendingOperations_data();
    void sendingOperations();
    void slotsSendTheirMessages();
    void keepAliveFrame();
    void sparesDoNothing();
    void dispatch_data();
    void dispatch();
    void deleteReplyAsksForTheList_data();
    void deleteReplyAsksForTheList();
    void fileInfoPathReachesServerInfo();
    void framesSplitByteByByte();
    void thousandFramesInOneWrite();
    void garbageBetweenFrames();
    void droppedFrames_data();
    void droppedFrames();
    void minimalSinkTakesEveryEvent();
    void releaseFromInsideAnEvent();
    void releaseWhenDisconnectedSignals();
    void nestedEventLoopInASink_data();
    void nestedEventLoopInASink();
    void disconnectAndPeerClose();
    void displayErrorLogs();

private:
    void connectSession();
    // Writes bytes from the robot followed by a marker frame and waits for the marker, so that
    // everything before it has been handled. The marker's line is removed again.
    void sendAndSettle(const QByteArray &bytes);
    // Asks for the serial number and waits until the robot has it, so that every frame written
    // before has arrived. Returns what the robot received before the marker.
    QByteArray receivedUpToMarker();

    std::unique_ptr<RobotPeer> m_peer;
    RecordingSink m_sink;
    CIZEVSocketSession *m_session = nullptr;
};

void tst_Session::init()
{
    m_peer.reset(new RobotPeer);
    QVERIFY(m_peer->isListening());
    qputenv("ZEV_SESSION_PORT", QByteArray::number(m_peer->port()));
    m_sink = RecordingSink();
    m_session = nullptr;
    QVERIFY(CreateZEVSocketSession(&m_session));
    QVERIFY(m_session);
}

void tst_Session::cleanup()
{
    if (m_session)
        m_session->Release();
    m_session = nullptr;
    m_peer.reset();
}

void tst_Session::connectSession()
{
    QVERIFY(m_session->Connect(QStringLiteral("127.0.0.1"), 5, 0, &m_sink));
    QTRY_COMPARE(m_sink.lines, QStringList { "OnConnected" });
    QTRY_VERIFY(m_peer->client() != nullptr);
    m_sink.lines.clear();
}

void tst_Session::sendAndSettle(const QByteArray &bytes)
{
    const int before = m_sink.lines.size();
    m_peer->send(bytes + serialFrame("MARK"));
    QTRY_VERIFY(m_sink.lines.size() > before && m_sink.lines.last() == "OnSerialNum MARK");
    m_sink.lines.removeLast();
}

QByteArray tst_Session::receivedUpToMarker()
{
    m_session->RequestSerialNum();
    [&] { QTRY_VERIFY(m_peer->received.endsWith(kSerialRequest)); }();
    QByteArray before = m_peer->received;
    before.chop(kSerialRequest.size());
    m_peer->received.clear();
    return before;
}

void tst_Session::factoryAndMetaObject()
{
    QObject *object = m_session->GetObject();
    QVERIFY(object);
    QCOMPARE(object->metaObject()->className(), "CZEVSocketSessionImpl");
    QCOMPARE(object->qt_metacast("CZEVSocketSessionImpl"), static_cast<void *>(object));
    QCOMPARE(object->qt_metacast("CIZEVSocketSession"), static_cast<void *>(m_session));
    QCOMPARE(qobject_cast<CIZEVSocketSession *>(object), m_session);
    QVERIFY(object->metaObject()->indexOfSignal("sigRobotConnected()") >= 0);
    QVERIFY(object->metaObject()->indexOfSignal("sigRobotDisconnected()") >= 0);
    QVERIFY(object->metaObject()->indexOfSlot("displayError(QAbstractSocket::SocketError)") >= 0);
    QVERIFY(object->metaObject()->indexOfSlot("slotMotionPlay(int*,int,int)") >= 0);
    QVERIFY(object->metaObject()->indexOfSlot("slotPlayEyeLed(byte,byte,byte,byte,int,int)") >= 0);
    QVERIFY(!CreateZEVSocketSession(nullptr));

    ZEVSocketSession a;
    ZEVSocketSession b;
    a = b;
}

void tst_Session::releaseNeverConnected()
{
    QPointer<QObject> object = m_session->GetObject();
    m_session->Release();
    m_session = nullptr;
    QVERIFY(object.isNull());
}

void tst_Session::connectRaisesOnConnectedOnly()
{
    QSignalSpy connectedSpy(m_session->GetObject(), SIGNAL(sigRobotConnected()));
    QVERIFY(connectedSpy.isValid());
    connectSession();
    QCOMPARE(connectedSpy.count(), 0);
    QCOMPARE(m_peer->client()->peerAddress(), QHostAddress(QHostAddress::LocalHost));
}

void tst_Session::connectTwiceIsRefused()
{
    connectSession();
    QVERIFY(!m_session->Connect(QStringLiteral("127.0.0.1"), 5, 0, &m_sink));
    // The first connection still works.
    sendAndSettle(serialFrame("X1"));
    QCOMPARE(m_sink.lines, QStringList { "OnSerialNum X1" });
}

void tst_Session::refusedConnectionRaisesNothing()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    qputenv("ZEV_SESSION_PORT", QByteArray::number(closedPort));
    g_sessionDebugLines.clear();
    g_previousHandler = qInstallMessageHandler(captureSessionDebug);
    // The session's diagnostic lines are off by default; even turned on, a refusal writes none.
    QLoggingCategory::setFilterRules(QStringLiteral("zev.session.debug=true"));
    QSignalSpy disconnectedSpy(m_session->GetObject(), SIGNAL(sigRobotDisconnected()));
    QVERIFY(m_session->Connect(QStringLiteral("127.0.0.1"), 5, 0, &m_sink));
    // Loopback refuses at once; 300 ms leave the session time for any line or signal it would give.
    QVERIFY(!disconnectedSpy.wait(300));
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(g_previousHandler);
    QCOMPARE(m_sink.lines, QStringList());
    QCOMPARE(disconnectedSpy.count(), 0);
    QCOMPARE(g_sessionDebugLines, QStringList());
    // Not connected, so nothing but a login may be sent.
    QVERIFY(!m_session->SendMsg(3, nullptr));
}

void tst_Session::sendBeforeConnected()
{
    CSerialNum serial;
    CLoginTarvo login;
    QVERIFY(m_session->Connect(QStringLiteral("127.0.0.1"), 5, 0, &m_sink));
    // connected() has not been delivered yet: only the login goes out.
    QVERIFY(!m_session->SendMsg(52, &serial));
    QVERIFY(m_session->SendMsg(1, &login));
    QTRY_COMPARE(m_sink.lines, QStringList { "OnConnected" });
    QTRY_COMPARE(
        m_peer->received.toHex(), QByteArray("34120f000000010000009201a891a66b6b6b6b6b6b"));

    // Without a socket there is nowhere to write: the login is still "sent", as a failed
    // write is, and nothing breaks.
    CIZEVSocketSession *unconnected = nullptr;
    QVERIFY(CreateZEVSocketSession(&unconnected));
    QVERIFY(unconnected->SendMsg(1, &login));
    QVERIFY(!unconnected->SendMsg(3, nullptr));
    QVERIFY(!unconnected->Disconnect());
    unconnected->Release();
}

void tst_Session::ledsRefusedBeforeLogin()
{
    CLoginTarvo login;
    QVERIFY(m_session->Connect(QStringLiteral("127.0.0.1"), 5, 0, &m_sink));
    m_session->PlayEarLed(1, 2, 3, 4, 5, 6);
    m_session->PlayEyeLed(1, 2, 3, 4, 5, 6, 11);
    int angles[20] = {};
    m_session->PlayMotion(angles, 20, 100);
    m_session->SetMotorAngle(1, 2, 3);
    QVERIFY(m_session->SendMsg(1, &login));
    QTRY_COMPARE(m_sink.lines, QStringList { "OnConnected" });
    QTRY_VERIFY(m_peer->client() != nullptr);
    // The login is the first and only thing the robot got before the marker.
    QCOMPARE(
        receivedUpToMarker().toHex(), QByteArray("34120f000000010000009201a891a66b6b6b6b6b6b"));
}

void tst_Session::sendMsgRefusals()
{
    connectSession();
    QVERIFY(!m_session->SendMsg(6, nullptr));
    QVERIFY(!m_session->SendMsg(0, nullptr));
    QVERIFY(!m_session->SendMsg(99, nullptr));
    QVERIFY(!m_session->SendMsg(-1, nullptr));
    // Ids with a payload class need the payload.
    QVERIFY(!m_session->SendMsg(52, nullptr));
    QVERIFY(!m_session->SendMsg(37, nullptr));
    m_session->PlayMotion(nullptr, 20, 5);
    // An operation refuses an id whose payload class is not its record's.
    QVERIFY(!m_session->SendFileInfo("p", "n", 1, 9));
    QVERIFY(!m_session->SendEmptyFileInfo("p", "n", 1, 13));
    QVERIFY(!m_session->SendEmptyFileInfo2("p", "n", 1, 52));
    QVERIFY(!m_session->RequestVersion(52));
    QVERIFY(!m_session->SendFileName("n", 2));
    QVERIFY(!m_session->RequestVersion(99)); // unknown to SendMsg
    QCOMPARE(receivedUpToMarker(), QByteArray());
}

void tst_Session::sendDataEdges()
{
    QVERIFY(m_session->SendData(nullptr, 0));
    QVERIFY(m_session->SendData("x", -3));
    QVERIFY(!m_session->SendData("x", 1)); // no socket yet
    connectSession();
    const QByteArray big(300000, 'z');
    QVERIFY(m_session->SendData(big.constData(), big.size()));
    QVERIFY(m_session->SendData("tail", 4));
    QTRY_COMPARE(m_peer->received.size(), big.size() + 4);
    QVERIFY(m_peer->received.endsWith("zzztail"));
}

void tst_Session::sendingOperations_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("expected");
    // Expected frames written by python3-msgpack (packb, use_bin_type=False).
    const struct
    {
        const char *operation;
        const char *hex;
    } rows[] = {
        { "RequestActionFileList", "341207000000010000009203a0" },
        { "SendFileInfo 2",
            "34121e000000010000009202b793a666772e62696eab433a2f782f66772e62696ecd03e8" },
        { "SendFileInfo 12",
            "34122000000001000000920cb993a666772e62696eab433a2f782f66772e62696ece00010000" },
        { "SendFileInfo 21",
            "341232000000010000009215da002993b8546172766f49495f43484553545f6b65726e656c2e62696eab43"
            "3a2f782f66772e62696ecd03e8" },
        { "SendFileInfo 22",
            "341231000000010000009216da002893b7546172766f49495f484541445f6b65726e656c2e62696eab433a"
            "2f782f66772e62696ecd03e8" },
        { "SendEmptyFileInfo 2", "34120b000000010000009202a493a0a000" },
        { "SendEmptyFileInfo2 12", "34120b00000001000000920ca493a0a000" },
        { "SendEmptyFileInfo 21", "34120b000000010000009215a493a0a000" },
        { "RequestVersion 33", "34120a000000010000009221a39200a0" },
        { "RequestVersion 34", "34120a000000010000009222a39200a0" },
        { "SendFileName 13", "34120e00000001000000920da791a5612e7a6576" },
        { "SendFileName 14", "34120e00000001000000920ea791a5612e7a6576" },
        // Ids without a payload go out bare whichever operation sends them.
        { "SendFileInfo 3", "341207000000010000009203a0" },
        { "SendEmptyFileInfo2 7", "341207000000010000009207a0" },
        { "RequestVersion 11", "34120700000001000000920ba0" },
        { "SendFileName 48", "341207000000010000009230a0" },
        { "SendActionFile", "341212000000010000009205ab91a964616e63652e616374" },
        { "SendActionFile utf8", "341213000000010000009205ac91aae8889ee8b9882e616374" },
        { "DeleteActionFile", "341212000000010000009204ab91a964616e63652e616374" },
        { "SetMotorAngle", "34120d000000010000009209a693035acd01f4" },
        { "PlayMotion",
            "341221000000010000009225badc00150102030405060708090a0b0c0d0e0f1011121314cd03e8" },
        { "ReadMotorAngle", "34120900000001000000920aa29107" },
        { "SendRequest11", "34120700000001000000920ba0" },
        { "SendRequest18", "341207000000010000009212a0" },
        { "SendRequest20", "341207000000010000009214a0" },
        { "PlayEarLed", "341211000000010000009211aa96cd03e801020364ccc8" },
        { "PlayEyeLed", "341212000000010000009213ab97d0c8ff030464ccc8ccfa" },
        { "RequestSerialNum", "341209000000010000009234a291a0" },
        { "SendMsg 7", "341207000000010000009207a0" },
        { "SendMsg 48", "341207000000010000009230a0" },
        { "SendMsg 8", "341217000000010000009208b094a473736964a470617373a3777061c3" },
        { "SendMsg 1", "34120f000000010000009201a891a66b6b6b6b6b6b" },
    };
    for (const auto &row : rows)
        QTest::newRow(row.operation)
            << QString::fromLatin1(row.operation) << QByteArray::fromHex(row.hex);
}

void tst_Session::sendingOperations()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, expected);
    connectSession();

    CIZEVSocketSession *s = m_session;
    const short id = operation.section(QLatin1Char(' '), 1).toShort();
    bool result = true;
    if (operation == "RequestActionFileList") {
        result = s->RequestActionFileList();
    } else if (operation == "SendFileInfo 2") {
        result = s->SendFileInfo("C:/x/fw.bin", "fw.bin", 1000, 2);
    } else if (operation == "SendFileInfo 12") {
        result = s->SendFileInfo("C:/x/fw.bin", "fw.bin", 65536, 12);
    } else if (operation == "SendFileInfo 21") {
        result = s->SendFileInfo("C:/x/fw.bin", "fw.bin", 1000, 21);
    } else if (operation == "SendFileInfo 22") {
        result = s->SendFileInfo("C:/x/fw.bin", "other.bin", 1000, 22);
    } else if (operation == "SendFileInfo 3") {
        result = s->SendFileInfo("C:/x/fw.bin", "fw.bin", 1000, 3);
    } else if (operation.startsWith("SendEmptyFileInfo ")) {
        result = s->SendEmptyFileInfo("C:/x/fw.bin", "fw.bin", 1000, id);
    } else if (operation.startsWith("SendEmptyFileInfo2 ")) {
        result = s->SendEmptyFileInfo2("C:/x/fw.bin", "fw.bin", 1000, id);
    } else if (operation.startsWith("RequestVersion ")) {
        result = s->RequestVersion(id);
    } else if (operation.startsWith("SendFileName ")) {
        result = s->SendFileName("a.zev", id);
    } else if (operation == "SendActionFile") {
        s->SendActionFile("dance.act");
    } else if (operation == "SendActionFile utf8") {
        s->SendActionFile(QString::fromUtf8("舞蹈.act"));
    } else if (operation == "DeleteActionFile") {
        s->DeleteActionFile("dance.act");
    } else if (operation == "SetMotorAngle") {
        s->SetMotorAngle(3, 90, 500);
    } else if (operation == "PlayMotion") {
        int angles[20];
        for (int i = 0; i < 20; ++i)
            angles[i] = i + 1;
        s->PlayMotion(angles, 3, 1000); // the count is not consulted
    } else if (operation == "ReadMotorAngle") {
        s->ReadMotorAngle(7);
    } else if (operation == "SendRequest11") {
        result = s->SendRequest11();
    } else if (operation == "SendRequest18") {
        result = s->SendRequest18();
    } else if (operation == "SendRequest20") {
        result = s->SendRequest20();
    } else if (operation == "PlayEarLed") {
        s->PlayEarLed(1000, 1, 2, 3, 100, 200);
    } else if (operation == "PlayEyeLed") {
        s->PlayEyeLed(200, 255, 3, 4, 100, 200, 250); // TotalTime is the caller's
    } else if (operation == "RequestSerialNum") {
        s->RequestSerialNum();
    } else if (operation == "SendMsg 7") {
        result = s->SendMsg(7, nullptr);
    } else if (operation == "SendMsg 48") {
        result = s->SendMsg(48, nullptr);
    } else if (operation == "SendMsg 8") {
        CSetWifiToConnect wifi;
        wifi.SetText1("ssid");
        wifi.SetText2("pass");
        wifi.SetText3("wpa");
        wifi.SetFlag(true);
        result = s->SendMsg(8, &wifi);
    } else if (operation == "SendMsg 1") {
        CLoginTarvo login;
        result = s->SendMsg(1, &login);
    } else {
        QFAIL("unknown operation");
    }
    QVERIFY(result);
    QCOMPARE(receivedUpToMarker().toHex(), expected.toHex());
}

void tst_Session::slotsSendTheirMessages()
{
    connectSession();
    QObject *object = m_session->GetObject();
    // Queued, as a client on another thread would call them: the argument types must be known.
    QVERIFY(
        QMetaObject::invokeMethod(object, "slotPlayEyeLed", Qt::QueuedConnection, Q_ARG(byte, 1),
            Q_ARG(byte, 2), Q_ARG(byte, 3), Q_ARG(byte, 4), Q_ARG(int, 100), Q_ARG(int, 200)));
    QVERIFY(QMetaObject::invokeMethod(object, "slotPlayEarLed", Qt::QueuedConnection, Q_ARG(int, 1),
        Q_ARG(int, 2), Q_ARG(int, 3), Q_ARG(int, 4), Q_ARG(int, 5), Q_ARG(int, 6)));
    // The slot owns the array and releases it (a leak shows under the sanitizer build).
    int *angles = new int[20];
    for (int i = 0; i < 20; ++i)
        angles[i] = i * 10;
    QVERIFY(QMetaObject::invokeMethod(object, "slotMotionPlay", Qt::QueuedConnection,
        Q_ARG(int *, angles), Q_ARG(int, 20), Q_ARG(int, 700)));
    QTRY_VERIFY(m_peer->received.size() >= 18 + 14 + 48);
    QCOMPARE(receivedUpToMarker().toHex(),
        QByteArray("341212000000010000009213ab970102030464ccc8cd012c"
                   "34120e000000010000009211a796010203040506"
                   "34122a000000010000009225da0021dc0015000a141e28323c46505a646e78cc82cc8ccc96"
                   "cca0ccaaccb4ccbecd02bc"));
}

void tst_Session::keepAliveFrame()
{
    connectSession();
    QVERIFY(QMetaObject::invokeMethod(m_session->GetObject(), "onTimerOut"));
    QCOMPARE(receivedUpToMarker().toHex(), QByteArray("34120400000001000000"));
}

void tst_Session::sparesDoNothing()
{
    connectSession();
    m_session->Spare1(5);
    m_session->Spare2("a");
    m_session->Spare3("b");
    m_session->Spare4();
    QCOMPARE(receivedUpToMarker(), QByteArray());
    QCOMPARE(m_sink.lines, QStringList());
}

void tst_Session::dispatch_data()
{
    QTest::addColumn<QByteArray>("envelope");
    QTest::addColumn<QStringList>("expected");
    const QString defaultIp = QString::fromStdString(CTarvoServerInfo_DL().GetIP());
    // Envelopes written by python3-msgpack.
    const struct
    {
        const char *name;
        const char *hex;
        QStringList expected;
    } rows[] = {
        { "serial cut at #", "9234ac91aa4142433132332378797a", { "OnSerialNum ABC123" } },
        { "serial without #", "9234a891a6414243313233", { "OnSerialNum ABC123" } },
        { "serial starting with #", "9234a691a423616263", { "OnSerialNum " } },
        { "serial with two #", "9234a891a6414223432344", { "OnSerialNum AB" } },
        { "serial cut across a newline", "9234a991a7414223780a4344", { "OnSerialNum AB" } },
        { "serial in utf-8", "9234ad91abe5ba8fe58897e58fb72378",
            { QString::fromUtf8("OnSerialNum 序列号") } },
        { "version 33", "9221a89203a5312e302e32", { "OnVersion 1.0.2" } },
        { "version 34", "9222a792ccc8a3322e30", { "OnVersion 2.0" } },
        { "motor angle low 8 bits", "920aa69307cd012c00", { "OnMotorAngle 7 44" } },
        { "motor angle -1", "920aa49302ff00", { "OnMotorAngle 2 255" } },
        { "action file list", "9203a89193a161a162a163", { "OnActionFileList a,b,c" } },
        { "empty action file list", "9203a29190", { "OnActionFileList " } },
        { "resource list", "920dae9192a5782e7a6576a5792e7a6576",
            { "OnActionResourceList x.zev,y.zev" } },
        { "server info UL", "920ebb95cd177acd03e8a5312e7a6576ac3139322e3136382e312e3230c3",
            { "OnServerInfoUL 6010 1000 192.168.1.20 1.zev" } },
        { "server info DL 2", "9202b793cd177aa5312e7a6576ac3139322e3136382e312e3230",
            { "OnServerInfoDL 6010 192.168.1.20 " } },
        { "server info DL 12 keeps defaults", "920ca29105",
            { QStringLiteral("OnServerInfoDL 5 %1 ").arg(defaultIp) } },
        { "login accepted", "9201a29100", { "OnConnected" } },
        { "login refused", "9201a29101", {} },
        { "login without result", "9201a190", {} },
        { "unknown id 99", "9263a493010203", {} },
        { "wifi list 7", "9207ae919194a36e6574d0d8a3777061c3", {} },
        { "server info 21", "9215b393cd177aa5312e7a6576a831302e302e302e31", {} },
        { "serial that is no text", "9234a29105", {} },
        { "motor angle without angle", "920aa29107", {} },
        { "envelope not an array", "c1", {} },
        { "envelope truncated", "9234", {} },
        { "envelope with only the id", "9134", {} },
        { "envelope id not an integer", "92a134a291a0", {} },
        { "envelope with empty payload", "9234a0", {} },
        { "payload truncated", "9234a291a5", {} },
        { "payload not an array", "9234a105", {} },
        { "payload array of 2^32-1 elements", "9234a5ddffffffff", {} },
        { "payload map of 2^32-1 pairs", "9234a5dfffffffff", {} },
        { "envelope array of 2^32-1 elements", "ddffffffff", {} },
        { "list of 2^16-1 names in 3 bytes", "9203a491dcffff", {} },
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << QByteArray::fromHex(row.hex) << row.expected;
    QTest::newRow("payload nested 100 deep")
        << envelope(52, QByteArray(100, '\x91') + QByteArray("\xa0")) << QStringList();
}

void tst_Session::dispatch()
{
    QFETCH(QByteArray, envelope);
    QFETCH(QStringList, expected);
    connectSession();
    sendAndSettle(frame(envelope));
    QCOMPARE(m_sink.lines, expected);
    // Nothing was sent in answer, and the connection stays up.
    QCOMPARE(receivedUpToMarker(), QByteArray());
    QCOMPARE(m_peer->client()->state(), QAbstractSocket::ConnectedState);
}

void tst_Session::deleteReplyAsksForTheList_data()
{
    QTest::addColumn<QByteArray>("envelope");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("status -1") << QByteArray::fromHex("9204a692a3616263ff")
                               << QByteArray::fromHex("341207000000010000009203a0");
    QTest::newRow("status 0") << QByteArray::fromHex("9204a692a361626300") << QByteArray();
    QTest::newRow("name only, status stays -1")
        << QByteArray::fromHex("9204a391a161") << QByteArray::fromHex("341207000000010000009203a0");
}

void tst_Session::deleteReplyAsksForTheList()
{
    QFETCH(QByteArray, envelope);
    QFETCH(QByteArray, answer);
    connectSession();
    sendAndSettle(frame(envelope));
    QCOMPARE(m_sink.lines, QStringList());
    QCOMPARE(receivedUpToMarker().toHex(), answer.toHex());
}

void tst_Session::fileInfoPathReachesServerInfo()
{
    connectSession();
    sendAndSettle(
        frame(QByteArray::fromHex("9202b793cd177aa5312e7a6576ac3139322e3136382e312e3230")));
    QCOMPARE(m_sink.lines, QStringList { "OnServerInfoDL 6010 192.168.1.20 " });
    QVERIFY(m_session->SendFileInfo("C:/x/fw.bin", "fw.bin", 1000, 21));
    m_sink.lines.clear();
    sendAndSettle(
        frame(QByteArray::fromHex("9202b793cd177aa5312e7a6576ac3139322e3136382e312e3230")));
    QCOMPARE(m_sink.lines, QStringList { "OnServerInfoDL 6010 192.168.1.20 C:/x/fw.bin" });
    // The empty announcements leave the path alone.
    QVERIFY(m_session->SendEmptyFileInfo("D:/other.bin", "o", 1, 12));
    m_sink.lines.clear();
    sendAndSettle(
        frame(QByteArray::fromHex("920cb793cd177aa5312e7a6576ac3139322e3136382e312e3230")));
    QCOMPARE(m_sink.lines, QStringList { "OnServerInfoDL 6010 192.168.1.20 C:/x/fw.bin" });
}

void tst_Session::framesSplitByteByByte()
{
    connectSession();
    const QByteArray stream = serialFrame("ONE")
        + frame(QByteArray::fromHex("9221a89203a5312e302e32")) + frame(QByteArray())
        + serialFrame("TWO");
    for (char c : stream) {
        m_peer->send(QByteArray(1, c));
        // On loopback the byte is readable once written: one pass of the event loop hands it to
        // the session alone.
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE(
        m_sink.lines, (QStringList { "OnSerialNum ONE", "OnVersion 1.0.2", "OnSerialNum TWO" }));
}

void tst_Session::thousandFramesInOneWrite()
{
    connectSession();
    QByteArray stream;
    QStringList expected;
    for (int i = 0; i < 1000; ++i) {
        const QByteArray serial = "S" + QByteArray::number(i).rightJustified(4, '0');
        stream += serialFrame(serial);
        expected << "OnSerialNum " + QString::fromLatin1(serial);
    }
    m_peer->send(stream);
    QTRY_COMPARE(m_sink.lines.size(), 1000);
    QCOMPARE(m_sink.lines, expected);
}

void tst_Session::garbageBetweenFrames()
{
    connectSession();
    const QByteArray stream = QByteArray("\x00\x01\x02hello", 8) + serialFrame("A")
        + QByteArray("\x34\x34\x00\x12\x34", 5) + serialFrame("B") + QByteArray("\x12\x12\x34", 3)
        + serialFrame("C");
    sendAndSettle(stream);
    QCOMPARE(m_sink.lines, (QStringList { "OnSerialNum A", "OnSerialNum B", "OnSerialNum C" }));
}

void tst_Session::droppedFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray serialEnvelope = envelope(52,
        QByteArray::fromHex("91a1"
                            "5a"));
    QTest::newRow("version 2") << frame(serialEnvelope, 2);
    QTest::newRow("version 0 with a start mark inside")
        << frame(serialEnvelope + QByteArray("\x34\x12\x05\x00\x00\x00", 6), 0);
    QTest::newRow("length 3") << header(3) + QByteArray("\x01\x02\x03", 3);
    QTest::newRow("length -1") << header(-1);
    QTest::newRow("length above 16 MiB") << header(16 * 1024 * 1024 + 1) + serialEnvelope;
    QTest::newRow("length 2^31-1") << header(0x7fffffff);
    QTest::newRow("empty frame") << frame(QByteArray());
    QTest::newRow("reserved field set") << header(4, 1, 0xbeef);
}

void tst_Session::droppedFrames()
{
    QFETCH(QByteArray, bytes);
    connectSession();
    sendAndSettle(bytes);
    QCOMPARE(m_sink.lines, QStringList());
    QCOMPARE(m_peer->client()->state(), QAbstractSocket::ConnectedState);
}

namespace {

// A sink with only the two operations every sink must have.
class MinimalSink : public IZEVSocketSessionEvent
{
public:
    QStringList lines;
    void OnSerialNum(QString s) override { lines << "OnSerialNum " + s; }
    void OnConnected() override { lines << QStringLiteral("OnConnected"); }
};

} // namespace

void tst_Session::minimalSinkTakesEveryEvent()
{
    MinimalSink sink;
    QVERIFY(m_session->Connect(QStringLiteral("127.0.0.1"), 5, 0, &sink));
    QTRY_VERIFY(m_peer->client() != nullptr);
    const char *envelopes[] = {
        "9203a89193a161a162a163",
        "920dae9192a5782e7a6576a5792e7a6576",
        "9202b793cd177aa5312e7a6576ac3139322e3136382e312e3230",
        "920ebb95cd177acd03e8a5312e7a6576ac3139322e3136382e312e3230c3",
        "920aa69307cd012c00",
        "9221a89203a5312e302e32",
    };
    QByteArray stream;
    for (const char *hex : envelopes)
        stream += frame(QByteArray::fromHex(hex));
    m_peer->send(stream + serialFrame("END"));
    QTRY_COMPARE(sink.lines, (QStringList { "OnConnected", "OnSerialNum END" }));

    // IZEVSocketSessionEvent's defaults, called directly, do nothing either.
    IZEVSocketSessionEvent &base = sink;
    base.OnReserved5(1, "a");
    base.OnReserved6(2);
    base.OnReserved7();
    base.OnReserved8();
    base.OnReserved9("b");
    base.OnReserved10(3, "c", 4);
    QCOMPARE(sink.lines.size(), 2);
}

void tst_Session::releaseFromInsideAnEvent()
{
    connectSession();
    QPointer<QObject> object = m_session->GetObject();
    m_sink.onEvent = [this](const QString &line) {
        if (line == "OnSerialNum FIRST") {
            m_session->Release();
            m_session = nullptr;
        }
    };
    m_peer->send(serialFrame("FIRST") + serialFrame("SECOND"));
    QTRY_VERIFY(object.isNull());
    QCOMPARE(m_sink.lines, QStringList { "OnSerialNum FIRST" });
    QTRY_COMPARE(m_peer->client()->state(), QAbstractSocket::UnconnectedState);
}

void tst_Session::releaseWhenDisconnectedSignals()
{
    connectSession();
    QPointer<QObject> object = m_session->GetObject();
    // A client that drops its session as soon as the robot is gone, here while Disconnect runs.
    Releaser releaser;
    releaser.session = m_session;
    QVERIFY(QObject::connect(
        object.data(), SIGNAL(sigRobotDisconnected()), &releaser, SLOT(release())));
    QVERIFY(m_session->Disconnect());
    m_session = nullptr;
    QTRY_VERIFY(releaser.released);
    QVERIFY(object.isNull());
}

void tst_Session::nestedEventLoopInASink_data()
{
    QTest::addColumn<bool>("release");
    QTest::addColumn<bool>("ask"); // for SECOND; otherwise the client waits for FIRST
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("answer delivered inside")
        << false << true
        << QStringList { "OnVersion 1.0.2", "OnSerialNum FIRST", "OnSerialNum SECOND",
               "OnSerialNum THIRD", "answered inside the loop" };
    QTest::newRow("released by the answer")
        << true << true
        << QStringList { "OnVersion 1.0.2", "OnSerialNum FIRST", "OnSerialNum SECOND",
               "answered inside the loop" };
    QTest::newRow("answer already buffered")
        << false << false
        << QStringList { "OnVersion 1.0.2", "OnSerialNum FIRST", "answered inside the loop" };
}

void tst_Session::nestedEventLoopInASink()
{
    QFETCH(bool, release);
    QFETCH(bool, ask);
    QFETCH(QStringList, expected);
    connectSession();
    QPointer<QObject> object = m_session->GetObject();
    // The robot answers a serial number request with SECOND and THIRD.
    m_peer->onReceived = [this] {
        if (m_peer->received.endsWith(kSerialRequest)) {
            m_peer->received.clear();
            m_peer->send(serialFrame("SECOND") + serialFrame("THIRD"));
        }
    };
    // A client that, once it knows the version, waits for a serial number: one it asks for, or
    // the one that came with the version reply.
    QStringList order;
    QEventLoop *waiting = nullptr;
    m_sink.onEvent = [&](const QString &line) {
        order << line;
        if (waiting && line == (ask ? "OnSerialNum SECOND" : "OnSerialNum FIRST")) {
            if (release) {
                m_session->Release();
                m_session = nullptr;
            }
            waiting->quit();
        }
        if (line != "OnVersion 1.0.2")
            return;
        QEventLoop loop;
        waiting = &loop;
        if (ask)
            m_session->RequestSerialNum();
        QTimer::singleShot(5000, &loop, [&] { loop.exit(1); });
        order << (loop.exec() == 0 ? "answered inside the loop" : "timed out");
        waiting = nullptr;
    };
    // FIRST is already buffered behind the version reply and must come before SECOND.
    m_peer->send(frame(QByteArray::fromHex("9221a89203a5312e302e32")) + serialFrame("FIRST"));
    QTRY_VERIFY(order.size() >= expected.size());
    QCOMPARE(order, expected);
    m_sink.onEvent = nullptr;
    m_peer->onReceived = nullptr;
    if (release) {
        QTRY_VERIFY(object.isNull());
        QCOMPARE(m_sink.lines.size(), 3);
        return;
    }
    // Nothing came twice.
    sendAndSettle(QByteArray());
    expected.removeLast();
    QCOMPARE(m_sink.lines, expected);
}

void tst_Session::disconnectAndPeerClose()
{
    connectSession();
    QSignalSpy disconnected(m_session->GetObject(), SIGNAL(sigRobotDisconnected()));
    QVERIFY(disconnected.isValid());
    m_session->RequestSerialNum();
    QVERIFY(m_session->Disconnect());
    // The graceful close writes what was buffered first.
    QTRY_COMPARE(disconnected.count(), 1);
    QTRY_COMPARE(m_peer->received, kSerialRequest);
    // Still logged in: known ids are accepted, even though nothing can be written.
    QVERIFY(m_session->SendMsg(3, nullptr));

    // And a robot that closes on its own.
    CIZEVSocketSession *second = nullptr;
    QVERIFY(CreateZEVSocketSession(&second));
    RecordingSink sink;
    QSignalSpy secondDisconnected(second->GetObject(), SIGNAL(sigRobotDisconnected()));
    QVERIFY(second->Connect(QStringLiteral("127.0.0.1"), 5, 0, &sink));
    QTRY_COMPARE(sink.lines, QStringList { "OnConnected" });
    QTRY_VERIFY(m_peer->client() != nullptr
        && m_peer->client()->state() == QAbstractSocket::ConnectedState);
    m_peer->client()->disconnectFromHost();
    QTRY_COMPARE(secondDisconnected.count(), 1);
    second->Release();
}

void tst_Session::displayErrorLogs()
{
    connectSession();
    g_sessionDebugLines.clear();
    g_previousHandler = qInstallMessageHandler(captureSessionDebug);
    // Whatever QT_LOGGING_RULES says, this test needs the session's debug lines.
    static QLoggingCategory::CategoryFilter previousFilter = nullptr;
    previousFilter = QLoggingCategory::installFilter([](QLoggingCategory *category) {
        if (previousFilter)
            previousFilter(category);
        if (qstrcmp(category->categoryName(), "zev.session") == 0)
            category->setEnabled(QtDebugMsg, true);
    });
    QObject *object = m_session->GetObject();
    const QAbstractSocket::SocketError silent[] = { QAbstractSocket::ConnectionRefusedError,
        QAbstractSocket::RemoteHostClosedError, QAbstractSocket::HostNotFoundError };
    for (QAbstractSocket::SocketError e : silent)
        QVERIFY(QMetaObject::invokeMethod(
            object, "displayError", Q_ARG(QAbstractSocket::SocketError, e)));
    QCOMPARE(g_sessionDebugLines, QStringList());
    QVERIFY(QMetaObject::invokeMethod(object, "displayError",
        Q_ARG(QAbstractSocket::SocketError, QAbstractSocket::SocketTimeoutError)));
    QCOMPARE(g_sessionDebugLines.size(), 1);
    QVERIFY(g_sessionDebugLines.first().startsWith("The following error occurred:"));

    // Received messages are logged with their id.
    g_sessionDebugLines.clear();
    sendAndSettle(frame(QByteArray::fromHex("9263a493010203")));
    qInstallMessageHandler(g_previousHandler);
    QLoggingCategory::installFilter(previousFilter);
    QCOMPARE(g_sessionDebugLines, (QStringList { "The ParsMsgId: 99", "The ParsMsgId: 52" }));
}

QTEST_GUILESS_MAIN(tst_Session)
#include "tst_session.moc"
