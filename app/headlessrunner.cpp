#include "headlessrunner.h"

#include "applog.h"
#include "tarvo2_upgradetool.h"
#include "usbwatcher.h"

#include <constants.h>
#include <zevdownloadhandler.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QMetaObject>

namespace {

// The fallback to USB events that do not come (a system without hotplug): cheap, one libusb
// device list.
constexpr int kRescanMs = 500;
constexpr qint64 kProgressIntervalMs = 1000;

} // namespace

HeadlessRunner::HeadlessRunner(
    Tarvo2_UpgradeTool *dialog, const HeadlessOptions &options, LineWriter write, QObject *parent)
    : QObject(parent)
    , m_dialog(dialog)
    , m_options(options)
    , m_write(std::move(write))
{
    m_rescan.setInterval(kRescanMs);
    m_waitLimit.setSingleShot(true);
    connect(&m_rescan, &QTimer::timeout, this, &HeadlessRunner::onRescan);
    connect(&m_waitLimit, &QTimer::timeout, this, &HeadlessRunner::onWaitOver);
    UsbWatcher *usb = m_dialog->usbWatch();
    connect(usb, &UsbWatcher::usbArrived, this, &HeadlessRunner::onRobotArrived);
    connect(usb, &UsbWatcher::usbRemoved, this, &HeadlessRunner::onRobotRemoved);
}

HeadlessRunner::~HeadlessRunner()
{
    m_dialog->setView(nullptr);
}

void HeadlessRunner::start()
{
    m_dialog->setView(this);
    emitEvent(QStringLiteral("start"),
        { { QStringLiteral("version"), zev::kToolVersion },
            { QStringLiteral("options"),
                QJsonObject { { QStringLiteral("json"), m_options.json },
                    { QStringLiteral("loop"), m_options.loop },
                    { QStringLiteral("wait"), m_options.waitSeconds } } } },
        QString());
    waitForRobot();
}

void HeadlessRunner::emitEvent(const QString &event, QJsonObject fields, const QString &plainLine)
{
    if (m_options.json) {
        fields.insert(QStringLiteral("event"), event);
        m_write(QString::fromUtf8(QJsonDocument(fields).toJson(QJsonDocument::Compact)));
    } else if (!plainLine.isNull()) {
        m_write(plainLine);
    }
}

void HeadlessRunner::waitForRobot()
{
    m_phase = Phase::WaitingForRobot;
    m_dialog->usbWatch()->checkUsbDevice();
    if (m_dialog->usbWatch()->isUsbConnected() || (m_robots == 0 && m_options.waitSeconds == 0)) {
        // Queued: a run starts from the event loop, as a press of the button does.
        QMetaObject::invokeMethod(this, &HeadlessRunner::beginRun, Qt::QueuedConnection);
        return;
    }
    emitEvent(QStringLiteral("waiting"), {}, QStringLiteral("Waiting for a robot..."));
    if (m_options.waitSeconds > 0)
        m_waitLimit.start(m_options.waitSeconds * 1000);
    m_rescan.start();
}

void HeadlessRunner::onRescan()
{
    UsbWatcher *usb = m_dialog->usbWatch();
    usb->checkUsbDevice();
    if (m_phase == Phase::WaitingForRobot && usb->isUsbConnected())
        onRobotArrived();
    else if (m_phase == Phase::WaitingForUnplug && !usb->isUsbConnected())
        onRobotRemoved();
}

void HeadlessRunner::onRobotArrived()
{
    if (m_phase != Phase::WaitingForRobot)
        return;
    m_rescan.stop();
    m_waitLimit.stop();
    beginRun();
}

void HeadlessRunner::onRobotRemoved()
{
    if (m_phase != Phase::WaitingForUnplug)
        return;
    m_rescan.stop();
    waitForRobot();
}

void HeadlessRunner::onWaitOver()
{
    if (m_phase != Phase::WaitingForRobot)
        return;
    m_rescan.stop();
    // After the first robot the mode simply ends; before it, the start button tells the dialog's
    // own way that there is no robot.
    if (m_robots > 0)
        endMode(m_anyFailed ? ExitStatus::UpgradeFailed : ExitStatus::Success);
    else
        beginRun();
}

void HeadlessRunner::beginRun()
{
    if (m_phase != Phase::WaitingForRobot)
        return;
    m_phase = Phase::Running;
    m_runClock.start();
    m_progressClock.invalidate();
    QMetaObject::invokeMethod(m_dialog, "on_pbStartUpgrade_clicked");
}

void HeadlessRunner::stopRun()
{
    if (m_phase != Phase::Running)
        return;
    QMetaObject::invokeMethod(m_dialog, "slotUsbStateChanged", Q_ARG(bool, false));
    utils::SingletonT<ZEVDownloadHandler>::instance()->cancelDownload();
}

void HeadlessRunner::interrupt()
{
    qCDebug(lcApp, "Interrupted in phase %d", static_cast<int>(m_phase));
    if (m_interrupted || m_phase == Phase::WaitingForRobot || m_phase == Phase::WaitingForUnplug) {
        // The finish of a run in progress was not waited for: the report stays in the queue file.
        emitEvent(QStringLiteral("interrupted"), {}, QStringLiteral("Interrupted"));
        endMode(ExitStatus::Interrupted);
        return;
    }
    m_interrupted = true;
    stopRun();
}

void HeadlessRunner::showPage(UpgradePage page)
{
    m_page = page;
}

void HeadlessRunner::showStep(StepState step, const QString &text)
{
    emitEvent(QStringLiteral("step"),
        { { QStringLiteral("step"), QLatin1String(stepStateName(step)) },
            { QStringLiteral("page"), QLatin1String(upgradePageName(m_page)) },
            { QStringLiteral("text"), text } },
        text);
    // A step that began after an interrupt is stopped as soon as its operation is under way.
    if (m_interrupted)
        QMetaObject::invokeMethod(this, &HeadlessRunner::stopRun, Qt::QueuedConnection);
}

void HeadlessRunner::showInstallStep(StepState step, const QString &text, const QString &detail)
{
    // The install label's last text is the success message, which the finish tells.
    if (text.isEmpty() && detail.isEmpty())
        return;
    QJsonObject fields { { QStringLiteral("step"), QLatin1String(stepStateName(step)) },
        { QStringLiteral("page"), QLatin1String(upgradePageName(m_page)) },
        { QStringLiteral("text"), text } };
    if (!detail.isEmpty())
        fields.insert(QStringLiteral("detail"), detail);
    emitEvent(QStringLiteral("step"), fields,
        detail.isEmpty() ? text : text + QLatin1Char(' ') + detail);
    if (m_interrupted)
        QMetaObject::invokeMethod(this, &HeadlessRunner::stopRun, Qt::QueuedConnection);
}

void HeadlessRunner::showDownloadProgress(qint64 totalBytes, qint64 doneBytes)
{
    if (m_progressClock.isValid() && m_progressClock.elapsed() < kProgressIntervalMs)
        return;
    m_progressClock.start();
    emitEvent(QStringLiteral("progress"),
        { { QStringLiteral("stage"), QStringLiteral("download") },
            { QStringLiteral("done"), doneBytes }, { QStringLiteral("total"), totalBytes } },
        totalBytes > 0 ? QStringLiteral("Downloaded %1 of %2 bytes").arg(doneBytes).arg(totalBytes)
                       : QStringLiteral("Downloaded %1 bytes").arg(doneBytes));
}

void HeadlessRunner::resetDownloadProgress()
{
}

void HeadlessRunner::showPushed(const QString &name, int done, int total)
{
    emitEvent(QStringLiteral("progress"),
        { { QStringLiteral("stage"), QStringLiteral("push") }, { QStringLiteral("file"), name },
            { QStringLiteral("done"), done }, { QStringLiteral("total"), total } },
        QStringLiteral("Pushed %1 (%2 of %3)").arg(name).arg(done).arg(total));
}

void HeadlessRunner::showInstallProgress(int value, int maximum)
{
    // Simulated by the dialog for the eye; a script learns nothing from it.
    Q_UNUSED(value)
    Q_UNUSED(maximum)
}

void HeadlessRunner::resetInstallProgress()
{
}

void HeadlessRunner::setStartEnabled(bool enabled)
{
    Q_UNUSED(enabled)
}

void HeadlessRunner::showWarning(const QString &title, const QString &text)
{
    Q_UNUSED(title)
    emitEvent(QStringLiteral("warning"), { { QStringLiteral("message"), text } }, text);
}

void HeadlessRunner::showFinish(
    int code, const QString &title, const QString &message, const QString &serialNumber)
{
    Q_UNUSED(title)
    const bool success = code == utils::kSuccess;
    const double seconds = m_runClock.isValid() ? m_runClock.elapsed() / 1000.0 : 0.0;
    const QString outcome
        = success ? QStringLiteral("Success") : QStringLiteral("Failure %1: %2").arg(code).arg(message);
    ++m_robots;
    m_anyFailed = m_anyFailed || !success;
    const QJsonObject result { { QStringLiteral("code"), code },
        { QStringLiteral("message"), message }, { QStringLiteral("serialNumber"), serialNumber },
        { QStringLiteral("seconds"), qRound(seconds * 1000) / 1000.0 } };
    if (m_options.loop) {
        emitEvent(QStringLiteral("finish"), result, QString());
        emitEvent(QStringLiteral("robot"), result,
            QStringLiteral("%1: %2 (%3 s)")
                .arg(serialNumber.isEmpty() ? QStringLiteral("?") : serialNumber, outcome)
                .arg(seconds, 0, 'f', 1));
    } else {
        emitEvent(QStringLiteral("finish"), result, outcome);
    }
    m_phase = Phase::Settling;
    // The dialog ends its run after this call; the report it posted is waited for, so that a
    // script which reads the exit status finds it with the web service.
    QMetaObject::invokeMethod(
        this,
        [this] {
            utils::SingletonT<ZEVDownloadHandler>::instance()->whenSettled(
                [this] { afterRun(); });
        },
        Qt::QueuedConnection);
}

void HeadlessRunner::afterRun()
{
    if (m_phase != Phase::Settling)
        return;
    if (m_interrupted) {
        endMode(ExitStatus::Interrupted);
        return;
    }
    if (!m_options.loop) {
        endMode(m_anyFailed ? ExitStatus::UpgradeFailed : ExitStatus::Success);
        return;
    }
    m_phase = Phase::WaitingForUnplug;
    m_dialog->usbWatch()->checkUsbDevice();
    if (!m_dialog->usbWatch()->isUsbConnected())
        onRobotRemoved();
    else
        m_rescan.start();
}

void HeadlessRunner::endMode(ExitStatus status)
{
    m_phase = Phase::Done;
    m_rescan.stop();
    m_waitLimit.stop();
    QCoreApplication::exit(static_cast<int>(status));
}
