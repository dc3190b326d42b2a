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

void ZEVSocketWorker::onTimeOut() { }

void ZEVSocketWorker::runForward()
{
    QString relative = QString::fromLatin1(platform::adbRelativePath());
    QString program = QCoreApplication::applicationDirPath();
    if (!relative.startsWith(QLatin1Char('/')))
        program += QLatin1Char('/');
    program = QDir::toNativeSeparators(program + relative);

    // An earlier reading's process is replaced; its deletion is already scheduled or done.
    if (forwardProcess)
        forwardProcess->deleteLater();
    forwardProcess = new QProcess;
    // QProcess quotes the program itself where the system needs it; quote characters inside the
    // name would be taken as part of the file name on POSIX.
    forwardProcess->start(program,
                          {QStringLiteral("forward"), QStringLiteral("tcp:6102"),
                           QStringLiteral("tcp:6102")},
                          QIODevice::ReadWrite);
    forwardProcess->waitForStarted(kForwardStepTimeoutMs);
    forwardProcess->waitForReadyRead(kForwardStepTimeoutMs);
    forwardProcess->waitForFinished(kForwardStepTimeoutMs);
    forwardProcess->readAllStandardOutput();
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
