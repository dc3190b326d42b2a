#include "consolerunner.h"

#include "libwireclass.h"
#include "zevmsgid.h"

#include <cstdio>

namespace {

void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

ConsoleRunner::ConsoleRunner(const ConsoleRequest &request, QObject *parent)
    : QObject(parent)
    , m_request(request)
{
    m_timeout.setSingleShot(true);
    m_timeout.setTimerType(Qt::PreciseTimer);
    connect(&m_timeout, &QTimer::timeout, this, &ConsoleRunner::onTimeout);
}

ConsoleRunner::~ConsoleRunner()
{
    if (m_pSession)
        m_pSession->Release();
}

void ConsoleRunner::start()
{
    m_timeout.start(m_request.timeoutMs);
    if (!CreateZEVSocketSession(&m_pSession)) {
        writeLine(stderr, QStringLiteral("robot-console: cannot create a session"));
        finish(1);
        return;
    }
    connect(m_pSession->GetObject(), SIGNAL(sigRobotDisconnected()), this, SLOT(onDisconnected()));
    m_pSession->Connect(QStringLiteral("127.0.0.1"), 5, 0, this);
    if (m_request.login) {
        // The login is the one message the session sends before the connection is up.
        CLoginTarvo login;
        m_pSession->SendMsg(ZEVMsg::Login, &login);
    }
}

void ConsoleRunner::report(const QString &event, const QStringList &arguments)
{
    if (m_finished)
        return;
    QStringList parts { event };
    parts += arguments;
    writeLine(stdout, parts.join(QLatin1Char(' ')));
    if (event == m_request.awaitedEvent)
        finish(0);
}

void ConsoleRunner::OnActionFileList(QStringList qslFileList)
{
    report(QStringLiteral("OnActionFileList"), { qslFileList.join(QLatin1Char(',')) });
}

void ConsoleRunner::OnActionResourceList(QStringList qslResourceList)
{
    report(QStringLiteral("OnActionResourceList"), { qslResourceList.join(QLatin1Char(',')) });
}

void ConsoleRunner::OnServerInfoDL(ServerInfoDL *pInfo)
{
    report(QStringLiteral("OnServerInfoDL"),
        { QString::number(pInfo->Port), pInfo->IP, pInfo->FilePath });
}

void ConsoleRunner::OnServerInfoUL(ServerInfoUL *pInfo)
{
    report(QStringLiteral("OnServerInfoUL"),
        { QString::number(pInfo->Port), QString::number(pInfo->FileLen), pInfo->IP,
            pInfo->FileName });
}

void ConsoleRunner::OnMotorAngle(int nMotorID, unsigned char ucAngle)
{
    report(QStringLiteral("OnMotorAngle"), { QString::number(nMotorID), QString::number(ucAngle) });
}

void ConsoleRunner::OnVersion(QString qsVersion)
{
    report(QStringLiteral("OnVersion"), { qsVersion });
}

void ConsoleRunner::OnSerialNum(QString qsSerialNum)
{
    report(QStringLiteral("OnSerialNum"), { qsSerialNum });
}

void ConsoleRunner::OnConnected()
{
    report(QStringLiteral("OnConnected"));
    // A login accepted by the robot raises OnConnected a second time.
    if (m_requestSent || m_finished)
        return;
    m_requestSent = true;
    if (!sendRequest()) {
        writeLine(stderr, QStringLiteral("robot-console: the session refused the request"));
        finish(1);
        return;
    }
    // Without a reply to wait for, the run ends once the frame is out: the graceful close
    // writes what is buffered before it reports the disconnection.
    if (m_request.awaitedEvent.isEmpty())
        m_pSession->Disconnect();
}

bool ConsoleRunner::sendRequest()
{
    using C = ConsoleRequest::Command;
    const QStringList &t = m_request.texts;
    const QVector<int> &n = m_request.numbers;
    CIZEVSocketSession *s = m_pSession;
    switch (m_request.command) {
    case C::Serial:
        s->RequestSerialNum();
        return true;
    case C::Version:
        return s->RequestVersion(n[0]);
    case C::Actions:
        return s->RequestActionFileList();
    case C::FileName:
        return s->SendFileName(t[0], static_cast<short>(n[0]));
    case C::Delete:
        s->DeleteActionFile(t[0]);
        return true;
    case C::Play:
        s->SendActionFile(t[0]);
        return true;
    case C::FileInfo:
        return s->SendFileInfo(t[0], t[1], n[0], static_cast<short>(n[1]));
    case C::Motor:
        s->SetMotorAngle(n[0], n[1], n[2]);
        return true;
    case C::ReadMotor:
        s->ReadMotorAngle(n[0]);
        return true;
    case C::Motion: {
        QVector<int> angles = n.mid(0, 20);
        s->PlayMotion(angles.data(), angles.size(), n[20]);
        return true;
    }
    case C::EarLed:
        s->PlayEarLed(n[0], n[1], n[2], n[3], n[4], n[5]);
        return true;
    case C::EyeLed:
        s->PlayEyeLed(static_cast<byte>(n[0]), static_cast<byte>(n[1]), static_cast<byte>(n[2]),
            static_cast<byte>(n[3]), n[4], n[5], n[6]);
        return true;
    case C::Request:
        switch (n[0]) {
        case ZEVMsg::Request11:
            return s->SendRequest11();
        case ZEVMsg::Request18:
            return s->SendRequest18();
        case ZEVMsg::Request20:
            return s->SendRequest20();
        default:
            return s->SendMsg(n[0], nullptr);
        }
    }
    return false;
}

void ConsoleRunner::onDisconnected()
{
    if (m_finished)
        return;
    if (m_requestSent && m_request.awaitedEvent.isEmpty()) {
        finish(0);
        return;
    }
    writeLine(stderr, QStringLiteral("robot-console: the robot closed the connection"));
    finish(1);
}

void ConsoleRunner::onTimeout()
{
    if (m_finished)
        return;
    QString awaited = m_request.awaitedEvent;
    if (!m_requestSent)
        awaited = QStringLiteral("OnConnected");
    else if (awaited.isEmpty())
        awaited = QStringLiteral("end of the write");
    writeLine(stderr,
        QStringLiteral("robot-console: no %1 within %2 ms").arg(awaited).arg(m_request.timeoutMs));
    finish(1);
}

void ConsoleRunner::finish(int exitCode)
{
    if (m_finished)
        return;
    m_finished = true;
    m_timeout.stop();
    // Leave the session's own handlers first: whoever quits the loop does so from a queued call.
    QMetaObject::invokeMethod(
        this, [this, exitCode] { emit finished(exitCode); }, Qt::QueuedConnection);
}
