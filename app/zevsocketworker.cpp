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
constexpr int kWaitForRobotMs = 5000;

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

int ZEVSocketWorker::runAdb(const QStringList &arguments, int stepTimeoutMs)
{
    // An earlier command's process is replaced; its deletion is already scheduled or done.
    if (forwardProcess)
        forwardProcess->deleteLater();
    forwardProcess = new QProcess;
    // QProcess quotes the program itself where the system needs it; quote characters inside the
    // name would be taken as part of the file name on POSIX.
    forwardProcess->start(adbProgram(), arguments, QIODevice::ReadWrite);
    forwardProcess->waitForStarted(stepTimeoutMs);
    forwardProcess->waitForReadyRead(stepTimeoutMs);
    forwardProcess->waitForFinished(stepTimeoutMs);
    forwardProcess->readAllStandardOutput();
    if (forwardProcess->state() != QProcess::NotRunning) {
        forwardProcess->kill();
        forwardProcess->waitForFinished(1000);
        return -1;
    }
    return forwardProcess->exitStatus() == QProcess::NormalExit ? forwardProcess->exitCode() : -1;
}

void ZEVSocketWorker::runForward()
{
    const QStringList forward { QStringLiteral("forward"), QStringLiteral("tcp:6102"),
        QStringLiteral("tcp:6102") };
    if (runAdb(forward, kForwardStepTimeoutMs) == 0)
        return;
    // The start button ends every adb process first: the fresh server may not have found the
    // robot yet when the forward comes, and the serial number would be lost for this run.
    runAdb({ QStringLiteral("wait-for-device") }, kWaitForRobotMs);
    runAdb(forward, kForwardStepTimeoutMs);
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
    if (usb && usb->isUsbConnected()) {
        runForward();
        if (session)
            session->Connect(QStringLiteral("127.0.0.1"), 5, 0, this);
    }

    // Started after the forward: its blocking waits would otherwise use up the robot's time.
    timer->start(readTimeoutMs);
    loop.exec();

    if (timer->isActive())
        timer->stop();
    timer->deleteLater();

    if (!serialReceived)
        emit sigReadSerialNumDone(QString());
}
