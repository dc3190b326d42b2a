#include "zevsocketworker.h"

#include "izevusbinterface.h"

#include <platform.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace {

constexpr int kForwardStepTimeoutMs = 30000;

} // namespace

ZEVSocketWorker::ZEVSocketWorker(QObject *parent)
    : QObject(parent)
{
}

ZEVSocketWorker::~ZEVSocketWorker()
{
    if (session) {
        session->Release();
        session = nullptr;
    }
    if (forwardProcess) {
        forwardProcess->deleteLater();
        forwardProcess = nullptr;
    }
}

void ZEVSocketWorker::OnConnected()
{
    onConnected();
}

void ZEVSocketWorker::OnSerialNum(QString qsSerialNum)
{
    onReadSerialNum(qsSerialNum);
}

void ZEVSocketWorker::onConnected()
{
    if (session)
        session->RequestSerialNum();
}

void ZEVSocketWorker::onReadSerialNum(QString serialNum)
{
    serialReceived = true;
    emit sigReadSerialNumDone(serialNum);
}

void ZEVSocketWorker::onTimeOut()
{
}

QString ZEVSocketWorker::adbProgram()
{
    const QString relative = QString::fromLatin1(platform::adbRelativePath());
    QString program = QCoreApplication::applicationDirPath();
    if (!relative.startsWith(QLatin1Char('/')))
        program += QLatin1Char('/');
    return QDir::toNativeSeparators(program + relative);
}

void ZEVSocketWorker::runForward()
{
    // An earlier reading's process is replaced; its deletion is already scheduled or done.
    if (forwardProcess)
        forwardProcess->deleteLater();
    forwardProcess = new QProcess;
    const QString port = QStringLiteral("tcp:%1").arg(kRobotServicePort);
    // QProcess quotes the program itself where the system needs it; quote characters inside the
    // name would be taken as part of the file name on POSIX.
    forwardProcess->start(
        adbProgram(), { QStringLiteral("forward"), port, port }, QIODevice::ReadWrite);
    forwardProcess->waitForStarted(kForwardStepTimeoutMs);
    forwardProcess->waitForReadyRead(kForwardStepTimeoutMs);
    forwardProcess->waitForFinished(kForwardStepTimeoutMs);
    // Not checked: a failed forward shows as no answer within the reading's time.
    forwardProcess->readAllStandardOutput();
    if (forwardProcess->state() != QProcess::NotRunning) {
        forwardProcess->kill();
        forwardProcess->waitForFinished(1000);
    }
}

void ZEVSocketWorker::slotConnectRobot()
{
    if (session) {
        session->Release();
        session = nullptr;
    }
    if (!CreateZEVSocketSession(&session))
        session = nullptr;

    // Each reading answers once, whatever an earlier reading on this worker received.
    serialReceived = false;

    QEventLoop loop;
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the robot gets its full time.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &ZEVSocketWorker::sigReadSerialNumDone, &loop, &QEventLoop::quit);

    IZEVUsbInterface *usb = qobject_cast<IZEVUsbInterface *>(sender());
    const bool robotPresent = usb && usb->isUsbConnected();
    if (robotPresent)
        runForward();
    // The robot's time counts from here: the start button has just ended every adb process, so
    // the forward first starts a new adb server, which can take seconds, and a timer started
    // before it would have run out by the time the loop runs.
    timer->start(readTimeoutMs);
    if (robotPresent && session)
        session->Connect(QStringLiteral("127.0.0.1"), 5, 0, this);

    loop.exec();

    if (timer->isActive())
        timer->stop();
    timer->deleteLater();

    if (!serialReceived)
        emit sigReadSerialNumDone(QString());
}
