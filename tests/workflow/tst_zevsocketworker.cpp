// The serial number reader on a thread of its own, as the dialog drives it: Debian's adb forward
// to the simulated robot's service, and the answers without a robot.
#include "../support/simrobot.h"
#include "izevusbinterface.h"
#include "zevsocketworker.h"

#include <fileutils.h>

#include <QtTest>

namespace {

// The reader on a thread of its own, its answers collected in order. Once finish() has ended
// that thread no answer can follow the ones collected.
struct WorkerThread
{
    WorkerThread()
    {
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        QObject::connect(worker, &ZEVSocketWorker::sigReadSerialNumDone, &receiver,
            [this](QString serial) { answers << serial; });
        thread.start();
    }
    ~WorkerThread() { finish(); }

    // Emits the invoking signal and waits for the next answer: the milliseconds that took, or -1.
    template <typename Sender> qint64 read(Sender *sender)
    {
        const int before = answers.size();
        QElapsedTimer elapsed;
        elapsed.start();
        emit sender->sigReadSerialNum();
        if (!QTest::qWaitFor([&] { return answers.size() > before; }, 20000))
            return -1;
        return elapsed.elapsed();
    }

    void finish()
    {
        thread.quit();
        thread.wait();
        QCoreApplication::sendPostedEvents(&receiver);
    }

    QThread thread;
    ZEVSocketWorker *worker = new ZEVSocketWorker;
    QObject receiver;
    QStringList answers;
};

bool runAdb(const QStringList &args)
{
    QProcess p;
    p.start(FileUtils::appDirPath() + QStringLiteral("/fastbootfile/adb"), args);
    return p.waitForFinished(20000) && p.exitCode() == 0;
}

} // namespace

// Stands in for the dialog: the object whose signal invokes the reader.
class UsbAnswer : public QObject, public IZEVUsbInterface
{
    Q_OBJECT
    Q_INTERFACES(IZEVUsbInterface)
public:
    bool connected = true;
    QAtomicInt asked = 0;
    bool isUsbConnected() override
    {
        asked.ref();
        return connected;
    }
signals:
    void sigReadSerialNum();
};

class PlainSender : public QObject
{
    Q_OBJECT
signals:
    void sigReadSerialNum();
};

class TestZevSocketWorker : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void noRobotAnswersEmptyAfterTheWait_data();
    void noRobotAnswersEmptyAfterTheWait();
    void serialArrivingAfterOneSecondEndsTheWait_data();
    void serialArrivingAfterOneSecondEndsTheWait();
    void secondReadingReplacesTheSession();

private:
    QList<QJsonObject> serviceEvents() const
    {
        return jsonLines(sim.file(QStringLiteral("service.log")));
    }

    QTemporaryDir dir;
    SimRobot sim;
};

void TestZevSocketWorker::initTestCase()
{
    if (!QFile::exists(QStringLiteral("/usr/bin/adb")) || !QFile::exists(SimRobot::python()))
        QSKIP("Debian's adb or python3 is not installed");
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(FileUtils::logDirPath()));
    QVERIFY(installAdbWrapper());
    QVERIFY(
        sim.start(QJsonDocument::fromJson(
                      R"({"service": {"serial": "TV2A17030042#F01", "delay_ms": {"52": 1000}}})")
                      .object(),
            dir.path()));
    killAdbServer();
}

void TestZevSocketWorker::cleanupTestCase()
{
    killAdbServer();
    sim.stop();
}

void TestZevSocketWorker::noRobotAnswersEmptyAfterTheWait_data()
{
    QTest::addColumn<bool>("usbInterface");
    QTest::newRow("robot's USB device absent") << true;
    QTest::newRow("invoked by an object that is no USB interface") << false;
}

void TestZevSocketWorker::noRobotAnswersEmptyAfterTheWait()
{
    QFETCH(bool, usbInterface);
    WorkerThread reader;
    const int eventsBefore = serviceEvents().size();

    qint64 elapsedMs = 0;
    UsbAnswer usb;
    usb.connected = false;
    PlainSender plain;
    if (usbInterface) {
        connect(
            &usb, &UsbAnswer::sigReadSerialNum, reader.worker, &ZEVSocketWorker::slotConnectRobot);
        elapsedMs = reader.read(&usb);
    } else {
        connect(&plain, &PlainSender::sigReadSerialNum, reader.worker,
            &ZEVSocketWorker::slotConnectRobot);
        elapsedMs = reader.read(&plain);
    }
    reader.finish();
    if (usbInterface)
        QCOMPARE(usb.asked.loadAcquire(), 1);
    QCOMPARE(reader.answers, QStringList { QString() });
    QVERIFY2(elapsedMs >= 4900 && elapsedMs < 7000, qPrintable(QString::number(elapsedMs)));
    // Nothing reached the robot's service.
    QCOMPARE(serviceEvents().size(), eventsBefore);
}

void TestZevSocketWorker::serialArrivingAfterOneSecondEndsTheWait_data()
{
    QTest::addColumn<int>("forwardMs");
    QTest::newRow("forward at once") << 0;
    // adb starting its server: the robot's 5000 ms begin when the forward has returned.
    QTest::newRow("slow forward") << 4500;
}

void TestZevSocketWorker::serialArrivingAfterOneSecondEndsTheWait()
{
    QFETCH(int, forwardMs);
    const QString adb = FileUtils::appDirPath() + QStringLiteral("/fastbootfile/adb");
    const QString realAdb = QFile::symLinkTarget(adb);
    const auto restore = qScopeGuard([&] {
        QFile::remove(adb);
        QFile::link(realAdb, adb);
    });
    if (forwardMs > 0) {
        // The tunnel is the real adb's; the reader's own forward only takes its time.
        QVERIFY(runAdb(
            { QStringLiteral("forward"), QStringLiteral("tcp:6102"), QStringLiteral("tcp:6102") }));
        QVERIFY(QFile::remove(adb) && QFile::copy(QStringLiteral(ZEV_FAKE_ADB), adb));
        QFile scenario(QFileInfo(adb).dir().filePath(QStringLiteral("scenario.json")));
        QVERIFY(scenario.open(QIODevice::WriteOnly));
        scenario.write(R"({"rules": [{"match": "^forward ", "responses": [{"delayMs": )"
            + QByteArray::number(forwardMs) + "}]}]}");
    }
    WorkerThread reader;
    UsbAnswer usb;
    connect(&usb, &UsbAnswer::sigReadSerialNum, reader.worker, &ZEVSocketWorker::slotConnectRobot);

    const qint64 elapsedMs = reader.read(&usb);
    QVERIFY2(elapsedMs >= forwardMs + 1000 && elapsedMs < forwardMs + 4000,
        qPrintable(QString::number(elapsedMs)));
    bool asked52 = false;
    for (const QJsonObject &event : serviceEvents())
        asked52 = asked52 || event.value(QStringLiteral("id")).toInt() == 52;
    QVERIFY(asked52);

    // The worker's end releases its session: the robot sees the connection close.
    const auto disconnects = [this] {
        int n = 0;
        for (const QJsonObject &event : serviceEvents())
            n += event.value(QStringLiteral("event")).toString() == QLatin1String("disconnected");
        return n;
    };
    const int before = disconnects();
    reader.finish();
    QCOMPARE(reader.answers, QStringList { QStringLiteral("TV2A17030042") });
    QTRY_COMPARE_WITH_TIMEOUT(disconnects(), before + 1, 5000);
}

void TestZevSocketWorker::secondReadingReplacesTheSession()
{
    WorkerThread reader;
    UsbAnswer usb;
    connect(&usb, &UsbAnswer::sigReadSerialNum, reader.worker, &ZEVSocketWorker::slotConnectRobot);

    QVERIFY(reader.read(&usb) >= 0);
    const int eventsBetween = serviceEvents().size();
    QVERIFY(reader.read(&usb) >= 0);
    reader.finish();
    QCOMPARE(reader.answers,
        (QStringList { QStringLiteral("TV2A17030042"), QStringLiteral("TV2A17030042") }));

    // The first session was closed before the second one connected.
    QStringList events;
    const QList<QJsonObject> all = serviceEvents();
    for (int i = eventsBetween; i < all.size(); ++i) {
        const QString event = all.at(i).value(QStringLiteral("event")).toString();
        if (!event.isEmpty())
            events << event;
    }
    QVERIFY2(events.indexOf(QStringLiteral("disconnected")) >= 0
            && events.indexOf(QStringLiteral("disconnected"))
                < events.indexOf(QStringLiteral("connected")),
        qPrintable(events.join(QLatin1Char(','))));
}

int main(int argc, char **argv)
{
    if (!ownAdbServer("tst_zevsocketworker", "15141"))
        return 1;
    QCoreApplication app(argc, argv);
    TestZevSocketWorker test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_zevsocketworker.moc"
