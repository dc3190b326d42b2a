#include "consolerequest.h"
#include "sessiontestsupport.h"

#include <QProcess>
#include <QtTest>

#include <memory>

using namespace testframe;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Frames the console sends, as python3-msgpack writes them.
const char kLoginFrame[] = "34120f000000010000009201a891a66b6b6b6b6b6b";

} // namespace

class tst_RobotConsole : public QObject
{
    Q_OBJECT

private slots:
    void parsing_data();
    void parsing();
    void endToEnd_data();
    void endToEnd();
    void loginGoesFirst();
    void timeout();
    void robotClosesBeforeTheReply();
    void wrongArguments();

private:
    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    // Runs robot-console against peer; the peer answers each request frame with its reply.
    Run runConsole(RobotPeer &peer, const QStringList &arguments,
        const QList<QPair<QByteArray, QByteArray>> &answers = {});
};

void tst_RobotConsole::parsing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("awaited");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("login");

    auto row = [](const char *name, const QStringList &args, bool valid,
                   const QString &awaited = {}, int timeoutMs = 5000, bool login = false) {
        QTest::newRow(name) << args << valid << awaited << timeoutMs << login;
    };
    row("serial", { "serial" }, true, "OnSerialNum");
    row("options", { "--timeout", "250", "--login", "serial" }, true, "OnSerialNum", 250, true);
    row("version 33", { "version", "33" }, true, "OnVersion");
    row("version 35", { "version", "35" }, false);
    row("actions", { "actions" }, true, "OnActionFileList");
    row("file-name 13", { "file-name", "a", "13" }, true, "OnActionResourceList");
    row("file-name 14", { "file-name", "a", "14" }, true, "OnServerInfoUL");
    row("file-name 15", { "file-name", "a", "15" }, false);
    row("delete", { "delete", "a.act" }, true);
    row("play", { "play", "a.act" }, true);
    row("file-info 2", { "file-info", "C:/x", "x", "10", "2" }, true, "OnServerInfoDL");
    row("file-info 12", { "file-info", "C:/x", "x", "10", "12" }, true, "OnServerInfoDL");
    row("file-info 21", { "file-info", "C:/x", "x", "10", "21" }, true);
    row("file-info 9", { "file-info", "C:/x", "x", "10", "9" }, false);
    row("file-info negative length", { "file-info", "C:/x", "x", "-1", "2" }, false);
    row("motor", { "motor", "1", "-20", "300" }, true);
    row("motor missing time", { "motor", "1", "2" }, false);
    row("read-motor", { "read-motor", "7" }, true, "OnMotorAngle");
    QStringList motion { "motion" };
    for (int i = 0; i < 21; ++i)
        motion << QString::number(i);
    row("motion", motion, true);
    row("motion with 20 values", motion.mid(0, 21), false);
    row("ear-led", { "ear-led", "1", "2", "3", "4", "5", "6" }, true);
    row("eye-led", { "eye-led", "255", "0", "3", "4", "5", "6", "11" }, true);
    row("eye-led 256", { "eye-led", "256", "0", "3", "4", "5", "6", "11" }, false);
    row("request 48", { "request", "48" }, true);
    row("request 52", { "request", "52" }, false);
    row("not a number", { "read-motor", "seven" }, false);
    row("no command", { "--login" }, false);
    row("unknown command", { "reboot" }, false);
    row("unknown option", { "--port", "1", "serial" }, false);
    row("timeout without value", { "--timeout" }, false);
    row("timeout zero", { "--timeout", "0", "serial" }, false);
    row("too many", { "serial", "x" }, false);
}

void tst_RobotConsole::parsing()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    QFETCH(QString, awaited);
    QFETCH(int, timeoutMs);
    QFETCH(bool, login);
    ConsoleRequest request;
    QString error;
    QCOMPARE(parseConsoleArguments(arguments, &request, &error), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(request.awaitedEvent, awaited);
    QCOMPARE(request.timeoutMs, timeoutMs);
    QCOMPARE(request.login, login);
}

tst_RobotConsole::Run tst_RobotConsole::runConsole(RobotPeer &peer, const QStringList &arguments,
    const QList<QPair<QByteArray, QByteArray>> &answers)
{
    Run run;
    auto pending = std::make_shared<QList<QPair<QByteArray, QByteArray>>>(answers);
    QMetaObject::Connection answering;
    QTimer poll;
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, &peer, [&peer, pending] {
        for (int i = 0; i < pending->size(); ++i) {
            if (peer.client() && peer.received.contains(pending->at(i).first)) {
                peer.send(pending->at(i).second);
                pending->removeAt(i);
                return;
            }
        }
    });
    poll.start();

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZEV_SESSION_PORT", QString::number(peer.port()));
    env.insert("QT_LOGGING_RULES", "zev.session.debug=false");
    process.setProcessEnvironment(env);
    process.start(QString::fromLocal8Bit(qgetenv("ZEV_DIST_DIR")) + "/robot-console", arguments);
    if (!process.waitForStarted(5000)) {
        qWarning() << process.errorString();
        return run;
    }
    // The peer answers from this event loop, so no blocking wait for the program's end.
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 15000)) {
        process.kill();
        process.waitForFinished(2000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
#ifdef Q_OS_WIN
    // The console's stdout is in text mode there: line ends arrive as CR LF.
    run.out.replace("\r\n", "\n");
    run.err.replace("\r\n", "\n");
#endif
    return run;
}

void tst_RobotConsole::endToEnd_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("output");

    // Commands with a reply: the robot answers the exact request frame.
    QTest::newRow("serial") << QStringList { "serial" } << hex("341209000000010000009234a291a0")
                            << frame(hex("9234ac91aa4142433132332378797a"))
                            << QByteArray("OnConnected\nOnSerialNum ABC123\n");
    QTest::newRow("version 33") << QStringList { "version", "33" }
                                << hex("34120a000000010000009221a39200a0")
                                << frame(hex("9221a89203a5312e302e32"))
                                << QByteArray("OnConnected\nOnVersion 1.0.2\n");
    QTest::newRow("actions") << QStringList { "actions" } << hex("341207000000010000009203a0")
                             << frame(hex("9203a89193a161a162a163"))
                             << QByteArray("OnConnected\nOnActionFileList a,b,c\n");
    QTest::newRow("read-motor") << QStringList { "read-motor", "7" }
                                << hex("34120900000001000000920aa29107")
                                << frame(hex("920aa69307cd012c00"))
                                << QByteArray("OnConnected\nOnMotorAngle 7 44\n");
    QTest::newRow("file-info 2")
        << QStringList { "file-info", "C:/x/fw.bin", "fw.bin", "1000", "2" }
        << hex("34121e000000010000009202b793a666772e62696eab433a2f782f66772e62696ecd03e8")
        << frame(hex("9202b793cd177aa5312e7a6576ac3139322e3136382e312e3230"))
        << QByteArray("OnConnected\nOnServerInfoDL 6010 192.168.1.20 C:/x/fw.bin\n");
    QTest::newRow("file-name 14")
        << QStringList { "file-name", "a.zev", "14" }
        << hex("34120e00000001000000920ea791a5612e7a6576")
        << frame(hex("920ebb95cd177acd03e8a5312e7a6576ac3139322e3136382e312e3230c3"))
        << QByteArray("OnConnected\nOnServerInfoUL 6010 1000 192.168.1.20 1.zev\n");
    QTest::newRow("file-name 13") << QStringList { "file-name", "a.zev", "13" }
                                  << hex("34120e00000001000000920da791a5612e7a6576")
                                  << frame(hex("920dae9192a5782e7a6576a5792e7a6576"))
                                  << QByteArray("OnConnected\nOnActionResourceList x.zev,y.zev\n");
    // A delete answered with Status -1 asks for the list again; the console does not wait.
    QTest::newRow("delete") << QStringList { "delete", "dance.act" }
                            << hex("341212000000010000009204ab91a964616e63652e616374")
                            << QByteArray() << QByteArray("OnConnected\n");

    // Commands without a reply: the frame is written and the console is done.
    const struct
    {
        const char *name;
        QStringList arguments;
        const char *frame;
    } written[] = {
        { "play", { "play", "dance.act" }, "341212000000010000009205ab91a964616e63652e616374" },
        { "motor", { "motor", "3", "90", "500" }, "34120d000000010000009209a693035acd01f4" },
        { "motion",
            { "motion", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14",
                "15", "16", "17", "18", "19", "20", "1000" },
            "341221000000010000009225badc00150102030405060708090a0b0c0d0e0f1011121314cd03e8" },
        { "ear-led", { "ear-led", "1000", "1", "2", "3", "100", "200" },
            "341211000000010000009211aa96cd03e801020364ccc8" },
        { "eye-led", { "eye-led", "200", "255", "3", "4", "100", "200", "250" },
            "341212000000010000009213ab97d0c8ff030464ccc8ccfa" },
        { "file-info 21", { "file-info", "C:/x/fw.bin", "fw.bin", "1000", "21" },
            "341232000000010000009215da002993b8546172766f49495f43484553545f6b65726e656c2e62696eab43"
            "3a2f"
            "782f66772e62696ecd03e8" },
        { "request 7", { "request", "7" }, "341207000000010000009207a0" },
        { "request 11", { "request", "11" }, "34120700000001000000920ba0" },
        { "request 18", { "request", "18" }, "341207000000010000009212a0" },
        { "request 20", { "request", "20" }, "341207000000010000009214a0" },
        { "request 48", { "request", "48" }, "341207000000010000009230a0" },
    };
    for (const auto &w : written)
        QTest::newRow(w.name) << w.arguments << hex(w.frame) << QByteArray()
                              << QByteArray("OnConnected\n");
}

void tst_RobotConsole::endToEnd()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, output);
    RobotPeer peer;
    QVERIFY(peer.isListening());
    QList<QPair<QByteArray, QByteArray>> answers;
    if (!reply.isEmpty())
        answers << qMakePair(request, reply);
    const Run run = runConsole(peer, arguments, answers);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, output);
    QCOMPARE(run.exitCode, 0);
    QTRY_COMPARE(peer.received.toHex(), request.toHex());
}

void tst_RobotConsole::loginGoesFirst()
{
    RobotPeer peer;
    const QByteArray serialRequest = hex("341209000000010000009234a291a0");
    const Run run = runConsole(peer, { "--login", "serial" },
        { { hex(kLoginFrame), frame(hex("9201a29100")) },
            { serialRequest, serialFrame("R2D2#1") } });
    QCOMPARE(run.exitCode, 0);
    // The login reply raises OnConnected a second time; the request still goes out once.
    QCOMPARE(run.out, QByteArray("OnConnected\nOnConnected\nOnSerialNum R2D2\n"));
    QCOMPARE(peer.received.toHex(), (hex(kLoginFrame) + serialRequest).toHex());
}

void tst_RobotConsole::timeout()
{
    RobotPeer peer;
    QElapsedTimer clock;
    clock.start();
    const Run run = runConsole(peer, { "--timeout", "300", "serial" });
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray("OnConnected\n"));
    QVERIFY2(run.err.contains("no OnSerialNum within 300 ms"), run.err.constData());
    QVERIFY(clock.elapsed() >= 300);

    // Nobody listening: no event at all, only the time-out.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZEV_SESSION_PORT", QString::number(closedPort));
    process.setProcessEnvironment(env);
    process.start(QString::fromLocal8Bit(qgetenv("ZEV_DIST_DIR")) + "/robot-console",
        { "--timeout", "200", "actions" });
    QVERIFY2(process.waitForFinished(10000), qPrintable(process.errorString()));
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QVERIFY(process.readAllStandardError().contains("no OnConnected within 200 ms"));
}

void tst_RobotConsole::robotClosesBeforeTheReply()
{
    RobotPeer peer;
    QTimer closer;
    closer.setInterval(5);
    connect(&closer, &QTimer::timeout, &peer, [&peer] {
        if (peer.client() && !peer.received.isEmpty())
            peer.client()->disconnectFromHost();
    });
    closer.start();
    const Run run = runConsole(peer, { "--timeout", "5000", "version", "34" });
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("closed the connection"), run.err.constData());
}

void tst_RobotConsole::wrongArguments()
{
    QProcess process;
    process.start(
        QString::fromLocal8Bit(qgetenv("ZEV_DIST_DIR")) + "/robot-console", { "version", "99" });
    QVERIFY2(process.waitForFinished(10000), qPrintable(process.errorString()));
    QCOMPARE(process.exitCode(), 2);
    const QByteArray err = process.readAllStandardError();
    QVERIFY(err.contains("version takes the id 33 or 34"));
    QVERIFY(err.contains("usage: robot-console"));

    process.start(QString::fromLocal8Bit(qgetenv("ZEV_DIST_DIR")) + "/robot-console", { "--help" });
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(process.readAllStandardOutput().startsWith("usage: robot-console"));
}

QTEST_GUILESS_MAIN(tst_RobotConsole)
#include "tst_robotconsole.moc"
