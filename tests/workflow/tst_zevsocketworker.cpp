// The serial number reader on a thread of its own, as the dialog drives it: Debian's adb forward
// to the simulated robot's service, and the answers without a robot.
#include "izevusbinterface.h"
#include "zevsocketworker.h"

#include <fileutils.h>

#include <QtTest>

#include <cstdlib>

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");
const QString kSystemAdb = QStringLiteral("/usr/bin/adb");

QList<QJsonObject> jsonLines(const QString &path)
{
    QList<QJsonObject> result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            result << QJsonDocument::fromJson(line).object();
    }
    return result;
}

// Ends the worker's thread however the test function ends; the worker goes with it.
struct ThreadGuard
{
    QThread &thread;
    ~ThreadGuard()
    {
        thread.quit();
        thread.wait();
    }
};

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
    struct Reading
    {
        QStringList answers;
        qint64 elapsedMs = 0;
    };
    // Emits the invoking signal once and collects the answers for `settleMs` after the first.
    template <typename Sender>
    Reading read(Sender *sender, ZEVSocketWorker *worker, int settleMs = 300);
    bool runAdb(const QStringList &args);
    QList<QJsonObject> serviceEvents() const
    {
        return jsonLines(stateDir + QStringLiteral("/service.log"));
    }

    QTemporaryDir dir;
    QString stateDir;
    QString simctl;
    bool simRunning = false;
};

bool TestZevSocketWorker::runAdb(const QStringList &args)
{
    QProcess p;
    p.start(FileUtils::appDirPath() + QStringLiteral("/fastbootfile/adb"), args);
    return p.waitForFinished(20000) && p.exitCode() == 0;
}

void TestZevSocketWorker::initTestCase()
{
    if (!QFile::exists(kSystemAdb) || !QFile::exists(kPython))
        QSKIP("Debian's adb or python3 is not installed");
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(FileUtils::logDirPath()));
    const QString fastboot = FileUtils::appDirPath() + QStringLiteral("/fastbootfile");
    QVERIFY(QDir().mkpath(fastboot));
    QFile::remove(fastboot + QStringLiteral("/adb"));
    const QString robotSim
        = qEnvironmentVariable("ZEV_SOURCE_DIR") + QStringLiteral("/tools/robot-sim");
    QVERIFY(
        QFile::link(robotSim + QStringLiteral("/fastboot-adb"), fastboot + QStringLiteral("/adb")));

    simctl = robotSim + QStringLiteral("/simctl.py");
    stateDir = dir.filePath(QStringLiteral("robot"));
    const QString scenario = dir.filePath(QStringLiteral("scenario.json"));
    QFile file(scenario);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // The simulator's machine-wide lock also keeps other programs that end every adb process
    // (the upgrade tool itself) away while this test's adb server is in use.
    file.write(R"({"service": {"serial": "TV2A17030042#F01", "delay_ms": {"52": 1000}}})");
    file.close();
    QProcess p;
    p.start(kPython,
        { simctl, QStringLiteral("start"), QStringLiteral("--state-dir"), stateDir,
            QStringLiteral("--scenario"), scenario, QStringLiteral("--timeout"),
            QStringLiteral("300") });
    QVERIFY(p.waitForFinished(330000));
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    simRunning = true;
    runAdb({ QStringLiteral("kill-server") });
}

void TestZevSocketWorker::cleanupTestCase()
{
    runAdb({ QStringLiteral("kill-server") });
    if (simRunning)
        QProcess::execute(
            kPython, { simctl, QStringLiteral("stop"), QStringLiteral("--state-dir"), stateDir });
}

template <typename Sender>
TestZevSocketWorker::Reading TestZevSocketWorker::read(
    Sender *sender, ZEVSocketWorker *worker, int settleMs)
{
    Reading reading;
    QMetaObject::Connection done = connect(worker, &ZEVSocketWorker::sigReadSerialNumDone, this,
        [&reading](QString serial) { reading.answers << serial; });
    QElapsedTimer elapsed;
    elapsed.start();
    emit sender->sigReadSerialNum();
    while (reading.answers.isEmpty() && elapsed.elapsed() < 20000)
        QTest::qWait(10);
    reading.elapsedMs = elapsed.elapsed();
    QTest::qWait(settleMs);
    disconnect(done);
    return reading;
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
    QThread thread;
    auto *worker = new ZEVSocketWorker;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    ThreadGuard guard { thread };
    const int eventsBefore = serviceEvents().size();

    Reading reading;
    UsbAnswer usb;
    usb.connected = false;
    PlainSender plain;
    if (usbInterface) {
        connect(&usb, &UsbAnswer::sigReadSerialNum, worker, &ZEVSocketWorker::slotConnectRobot);
        reading = read(&usb, worker, 500);
        QCOMPARE(usb.asked.loadAcquire(), 1);
    } else {
        connect(&plain, &PlainSender::sigReadSerialNum, worker, &ZEVSocketWorker::slotConnectRobot);
        reading = read(&plain, worker, 500);
    }
    QCOMPARE(reading.answers, QStringList { QString() });
    QVERIFY2(reading.elapsedMs >= 4900 && reading.elapsedMs < 7000,
        qPrintable(QString::number(reading.elapsedMs)));
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
    QThread thread;
    auto *worker = new ZEVSocketWorker;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    ThreadGuard guard { thread };
    UsbAnswer usb;
    connect(&usb, &UsbAnswer::sigReadSerialNum, worker, &ZEVSocketWorker::slotConnectRobot);

    const Reading reading = read(&usb, worker, 500);
    QCOMPARE(reading.answers, QStringList { QStringLiteral("TV2A17030042") });
    QVERIFY2(reading.elapsedMs >= forwardMs + 1000 && reading.elapsedMs < forwardMs + 4000,
        qPrintable(QString::number(reading.elapsedMs)));
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
    thread.quit();
    thread.wait();
    QTRY_COMPARE_WITH_TIMEOUT(disconnects(), before + 1, 5000);
}

void TestZevSocketWorker::secondReadingReplacesTheSession()
{
    QThread thread;
    auto *worker = new ZEVSocketWorker;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    ThreadGuard guard { thread };
    UsbAnswer usb;
    connect(&usb, &UsbAnswer::sigReadSerialNum, worker, &ZEVSocketWorker::slotConnectRobot);

    const Reading first = read(&usb, worker);
    QCOMPARE(first.answers, QStringList { QStringLiteral("TV2A17030042") });
    const int eventsBetween = serviceEvents().size();
    const Reading second = read(&usb, worker);
    QCOMPARE(second.answers, QStringList { QStringLiteral("TV2A17030042") });

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

// The reader's adb server: a HOME and port of its own.
int main(int argc, char **argv)
{
    char home[] = "/tmp/tst_zevsocketworker-home-XXXXXX";
    if (!mkdtemp(home))
        return 1;
    setenv("HOME", home, 1);
    if (!std::getenv("ANDROID_ADB_SERVER_PORT"))
        setenv("ANDROID_ADB_SERVER_PORT", "15141", 1);
    QCoreApplication app(argc, argv);
    TestZevSocketWorker test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_zevsocketworker.moc"
