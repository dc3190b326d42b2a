#include "czevsocketsessionimpl.h"

#include "libwireclass.h"
#include "sessionlog.h"
#include "zevmsgid.h"

#include <wireframe.h>

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

// This file uses no GDI: GetObject is always the session's operation here.
#ifdef GetObject
#undef GetObject
#endif

namespace {

constexpr qint64 kReadChunk = 64 * 1024;
// Most messages are a few dozen bytes; a buffer this small comes from malloc's fast path.
constexpr std::size_t kInitialBufferSize = 512;

const char kChestKernelFile[] = "TarvoII_CHEST_kernel.bin";
const char kHeadKernelFile[] = "TarvoII_HEAD_kernel.bin";

quint16 robotPort()
{
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("ZEV_SESSION_PORT", &ok);
    return (ok && port > 0 && port <= 65535) ? static_cast<quint16>(port) : kRobotServicePort;
}

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The payload class each id is sent with; SendMsg reads its untyped pointer as that class.
enum class Payload {
    Unknown, // SendMsg refuses the id
    None,
    Login,
    FileInfoDL,
    FileInfoUL,
    ActionFile,
    SetWifi,
    MotoAngle,
    ReadMotorAngle,
    EarLed,
    EyeLed,
    Version,
    AllMotoAngle,
    SerialNum,
};

Payload payloadOf(int nMsgID)
{
    switch (nMsgID) {
    case ZEVMsg::Login:
        return Payload::Login;
    case ZEVMsg::FileInfoDownload:
    case ZEVMsg::FileInfoDownload12:
    case ZEVMsg::FixedNameFile21:
    case ZEVMsg::FixedNameFile22:
        return Payload::FileInfoDL;
    case ZEVMsg::ActionFileList:
    case ZEVMsg::WifiList:
    case ZEVMsg::Request11:
    case ZEVMsg::Request18:
    case ZEVMsg::Request20:
    case ZEVMsg::Request48:
        return Payload::None;
    case ZEVMsg::DeleteActionFile:
    case ZEVMsg::SendActionFile:
        return Payload::ActionFile;
    case ZEVMsg::SetWifi:
        return Payload::SetWifi;
    case ZEVMsg::SetMotorAngle:
        return Payload::MotoAngle;
    case ZEVMsg::ReadMotorAngle:
        return Payload::ReadMotorAngle;
    case ZEVMsg::ActionResourceList:
    case ZEVMsg::FileUpload:
        return Payload::FileInfoUL;
    case ZEVMsg::EarLed:
        return Payload::EarLed;
    case ZEVMsg::EyeLed:
        return Payload::EyeLed;
    case ZEVMsg::Version33:
    case ZEVMsg::Version34:
        return Payload::Version;
    case ZEVMsg::PlayMotion:
        return Payload::AllMotoAngle;
    case ZEVMsg::SerialNumber:
        return Payload::SerialNum;
    default:
        return Payload::Unknown;
    }
}

// Whether an operation that builds a record of class own may send it under nMsgID: not when
// the id carries another class, which SendMsg would read the record as. Ids without a payload
// go out bare, unknown ids are SendMsg's to refuse.
bool recordFitsId(Payload own, int nMsgID, const char *operation)
{
    const Payload expected = payloadOf(nMsgID);
    if (expected == own || expected == Payload::None || expected == Payload::Unknown)
        return true;
    qCDebug(lcSession).nospace() << operation << ": message " << nMsgID
                                 << " carries another payload class; not sent";
    return false;
}

} // namespace

CZEVSocketSessionImpl::CZEVSocketSessionImpl()
{
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    qRegisterMetaType<byte>("byte");
    qRegisterMetaType<int *>("int*");
}

CZEVSocketSessionImpl::~CZEVSocketSessionImpl()
{
    if (m_pSocket)
        m_pSocket->deleteLater();
    delete m_pTimer;
}

bool CZEVSocketSessionImpl::Connect(
    const QString &qsHostAddr, int nReserved1, int nReserved2, IZEVSocketSessionEvent *pEvent)
{
    Q_UNUSED(nReserved1)
    Q_UNUSED(nReserved2)
    // A session is connected once; a new attempt takes a new session.
    if (m_pSocket || m_bReleasePending)
        return false;
    m_pEvent = pEvent;
    m_pSocket = new QTcpSocket();
    connect(m_pSocket, &QTcpSocket::readyRead, this, &CZEVSocketSessionImpl::readForReady);
    // QAbstractSocket does not emit readyRead again while a slot of it runs, so a sink that
    // waits for a reply in a nested event loop would get it only after returning;
    // channelReadyRead is emitted there too.
    connect(m_pSocket, &QIODevice::channelReadyRead, this, [this] {
        if (m_nReadDepth > 0)
            readForReady();
    });
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    connect(m_pSocket, &QAbstractSocket::errorOccurred, this, &CZEVSocketSessionImpl::displayError);
#else
    connect(m_pSocket, QOverload<QAbstractSocket::SocketError>::of(&QAbstractSocket::error), this,
        &CZEVSocketSessionImpl::displayError);
#endif
    connect(m_pSocket, &QTcpSocket::connected, this, &CZEVSocketSessionImpl::tcpConnected);
    connect(m_pSocket, &QTcpSocket::disconnected, this, &CZEVSocketSessionImpl::tcpDisconnected);
    m_pSocket->connectToHost(QHostAddress(qsHostAddr), robotPort(), QIODevice::ReadWrite);
    m_pSocket->setSocketOption(QAbstractSocket::KeepAliveOption, QVariant(QStringLiteral("1")));

    m_pTimer = new QTimer();
    connect(m_pTimer, &QTimer::timeout, this, &CZEVSocketSessionImpl::onTimerOut);
    return true;
}

bool CZEVSocketSessionImpl::Disconnect()
{
    if (!m_pSocket)
        return false;
    m_pSocket->disconnectFromHost();
    return true;
}

void CZEVSocketSessionImpl::Release()
{
    if (m_bReleasePending)
        return;
    m_bReleasePending = true;
    if (m_pSocket) {
        // No notification may reach a session that is going away.
        m_pSocket->disconnect(this);
        m_pSocket->abort();
    }
    if (m_pTimer)
        m_pTimer->stop();
    if (m_nHandlerDepth == 0)
        delete this;
}

bool CZEVSocketSessionImpl::leaveHandler()
{
    if (--m_nHandlerDepth == 0 && m_bReleasePending) {
        delete this;
        return true;
    }
    return false;
}

QObject *CZEVSocketSessionImpl::GetObject()
{
    return this;
}

bool CZEVSocketSessionImpl::SendData(const char *pData, int nLen)
{
    if (nLen <= 0)
        return true;
    if (!m_pSocket || !pData)
        return false;
    qint64 nWritten = 0;
    while (nWritten < nLen) {
        const qint64 n = m_pSocket->write(pData + nWritten, nLen - nWritten);
        if (n <= 0)
            return false;
        nWritten += n;
    }
    return true;
}

bool CZEVSocketSessionImpl::sendEnvelope(int nMsgID, const unsigned char *pPayload, int nPayloadLen)
{
    CHeaderCmd cmd;
    cmd.SetMsgID(nMsgID);
    cmd.SetMsgData(pPayload, nPayloadLen);
    // The frame is built in one buffer, its header first with Length filled in afterwards:
    // copying the envelope into a separate header object cost more than the packing itself.
    msgpack::sbuffer frame(kInitialBufferSize);
    unsigned char header[wireframe::kHeaderSize] = {};
    wireframe::put16(header, wireframe::kStartMark);
    wireframe::put16(header + wireframe::kVersionOffset, wireframe::kVersion);
    frame.write(reinterpret_cast<const char *>(header), sizeof header);
    msgpack::pack(frame, cmd);
    const auto length = static_cast<qint32>(frame.size() - wireframe::kVersionOffset);
    wireframe::put32(
        reinterpret_cast<unsigned char *>(frame.data()) + wireframe::kLengthOffset, length);
    SendData(frame.data(), static_cast<int>(frame.size()));
    return true;
}

template <typename Payload>
bool CZEVSocketSessionImpl::sendPayload(int nMsgID, const Payload *pPayload)
{
    if (!pPayload)
        return false;
    msgpack::sbuffer body(kInitialBufferSize);
    msgpack::pack(body, *pPayload);
    return sendEnvelope(nMsgID, reinterpret_cast<const unsigned char *>(body.data()),
        static_cast<int>(body.size()));
}

bool CZEVSocketSessionImpl::SendMsg(int nMsgID, void *pMsg)
{
    if (!m_bLoggedIn && nMsgID != ZEVMsg::Login)
        return false;
    switch (payloadOf(nMsgID)) {
    case Payload::Unknown:
        return false;
    case Payload::None:
        return sendEnvelope(nMsgID, nullptr, 0);
    case Payload::Login:
        return sendPayload(nMsgID, static_cast<const CLoginTarvo *>(pMsg));
    case Payload::FileInfoDL:
        return sendPayload(nMsgID, static_cast<const CFileInfo_DL *>(pMsg));
    case Payload::FileInfoUL:
        return sendPayload(nMsgID, static_cast<const CFileInfo_UL *>(pMsg));
    case Payload::ActionFile:
        return sendPayload(nMsgID, static_cast<const CActionFile *>(pMsg));
    case Payload::SetWifi:
        return sendPayload(nMsgID, static_cast<const CSetWifiToConnect *>(pMsg));
    case Payload::MotoAngle:
        return sendPayload(nMsgID, static_cast<const CMotoAngle *>(pMsg));
    case Payload::ReadMotorAngle:
        return sendPayload(nMsgID, static_cast<const CReadMotorAngle *>(pMsg));
    case Payload::EarLed:
        return sendPayload(nMsgID, static_cast<const CEarLedData *>(pMsg));
    case Payload::EyeLed:
        return sendPayload(nMsgID, static_cast<const CEyeLedData *>(pMsg));
    case Payload::Version:
        return sendPayload(nMsgID, static_cast<const CTarvo2Version *>(pMsg));
    case Payload::AllMotoAngle:
        return sendPayload(nMsgID, static_cast<const CAllMotoAngle *>(pMsg));
    case Payload::SerialNum:
        return sendPayload(nMsgID, static_cast<const CSerialNum *>(pMsg));
    }
    return false;
}

bool CZEVSocketSessionImpl::RequestActionFileList()
{
    return SendMsg(ZEVMsg::ActionFileList, nullptr);
}

bool CZEVSocketSessionImpl::sendFileInfo(const QString &qsFilePath, const QString &qsFileName,
    int nFileLen, short sMsgID, bool bEmpty, const char *operation)
{
    if (!recordFitsId(Payload::FileInfoDL, sMsgID, operation))
        return false;
    CFileInfo_DL info;
    if (!bEmpty) {
        m_qsLastFilePath = qsFilePath;
        if (sMsgID == ZEVMsg::FixedNameFile21)
            info.setFileName(kChestKernelFile);
        else if (sMsgID == ZEVMsg::FixedNameFile22)
            info.setFileName(kHeadKernelFile);
        else
            info.setFileName(utf8(qsFileName));
        info.setFilePath(utf8(qsFilePath));
        info.setFileLen(nFileLen);
    }
    return SendMsg(sMsgID, &info);
}

bool CZEVSocketSessionImpl::SendFileInfo(
    const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID)
{
    return sendFileInfo(qsFilePath, qsFileName, nFileLen, sMsgID, false, "SendFileInfo");
}

bool CZEVSocketSessionImpl::SendEmptyFileInfo(
    const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID)
{
    return sendFileInfo(qsFilePath, qsFileName, nFileLen, sMsgID, true, "SendEmptyFileInfo");
}

bool CZEVSocketSessionImpl::SendEmptyFileInfo2(
    const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID)
{
    return sendFileInfo(qsFilePath, qsFileName, nFileLen, sMsgID, true, "SendEmptyFileInfo2");
}

bool CZEVSocketSessionImpl::RequestVersion(int nMsgID)
{
    if (!recordFitsId(Payload::Version, nMsgID, "RequestVersion"))
        return false;
    CTarvo2Version version;
    version.SetKind(0);
    return SendMsg(nMsgID, &version);
}

bool CZEVSocketSessionImpl::SendFileName(const QString &qsFileName, short sMsgID)
{
    if (!recordFitsId(Payload::FileInfoUL, sMsgID, "SendFileName"))
        return false;
    CFileInfo_UL info;
    info.setFileName(utf8(qsFileName));
    return SendMsg(sMsgID, &info);
}

void CZEVSocketSessionImpl::SendActionFile(const QString &qsFileName)
{
    CActionFile file;
    file.SetFileName(qsFileName);
    SendMsg(ZEVMsg::SendActionFile, &file);
}

void CZEVSocketSessionImpl::DeleteActionFile(const QString &qsFileName)
{
    CActionFile file;
    file.SetFileName(qsFileName);
    SendMsg(ZEVMsg::DeleteActionFile, &file);
}

void CZEVSocketSessionImpl::SetMotorAngle(int nMotorID, int nAngle, int nTime)
{
    CMotoAngle angle;
    angle.SetId(nMotorID);
    angle.SetAngle(nAngle);
    angle.setTime(nTime);
    SendMsg(ZEVMsg::SetMotorAngle, &angle);
}

void CZEVSocketSessionImpl::PlayMotion(int *pAngles, int nCount, int nTime)
{
    if (!pAngles)
        return;
    CAllMotoAngle motion;
    motion.SetAllAngle(pAngles, nCount);
    motion.setTime(nTime);
    SendMsg(ZEVMsg::PlayMotion, &motion);
}

void CZEVSocketSessionImpl::ReadMotorAngle(int nMotorID)
{
    CReadMotorAngle request;
    request.SetID(nMotorID);
    SendMsg(ZEVMsg::ReadMotorAngle, &request);
}

bool CZEVSocketSessionImpl::SendRequest11()
{
    return SendMsg(ZEVMsg::Request11, nullptr);
}

void CZEVSocketSessionImpl::PlayEarLed(
    int nRunTime, int nLeftLed, int nRightLed, int nBright, int nLightUpTime, int nLightDownTime)
{
    if (!m_bLoggedIn)
        return;
    slotPlayEarLed(nRunTime, nLeftLed, nRightLed, nBright, nLightUpTime, nLightDownTime);
}

bool CZEVSocketSessionImpl::SendRequest18()
{
    return SendMsg(ZEVMsg::Request18, nullptr);
}

void CZEVSocketSessionImpl::PlayEyeLed(byte LeftLed, byte RightLed, byte Bright, byte Color,
    int nLightUpTime, int nLightDownTime, int nTotalTime)
{
    if (!m_bLoggedIn)
        return;
    CEyeLedData led;
    led.SetLeftLed(LeftLed);
    led.SetRightLed(RightLed);
    led.SetBright(Bright);
    led.SetColor(Color);
    led.SetLightUpTime(nLightUpTime);
    led.SetLightDownTime(nLightDownTime);
    led.SetTotalTime(nTotalTime);
    SendMsg(ZEVMsg::EyeLed, &led);
}

bool CZEVSocketSessionImpl::SendRequest20()
{
    return SendMsg(ZEVMsg::Request20, nullptr);
}

void CZEVSocketSessionImpl::Spare1(int nValue)
{
    Q_UNUSED(nValue)
}

void CZEVSocketSessionImpl::Spare2(const QString &qsValue)
{
    Q_UNUSED(qsValue)
}

void CZEVSocketSessionImpl::Spare3(const QString &qsValue)
{
    Q_UNUSED(qsValue)
}

void CZEVSocketSessionImpl::Spare4()
{
}

void CZEVSocketSessionImpl::RequestSerialNum()
{
    CSerialNum serial;
    SendMsg(ZEVMsg::SerialNumber, &serial);
}

void CZEVSocketSessionImpl::onTimerOut()
{
    CHeader header;
    unsigned char *pFrame = nullptr;
    const int nFrameLen = header.GetHeaderData(&pFrame);
    if (pFrame) {
        SendData(reinterpret_cast<const char *>(pFrame), nFrameLen);
        delete[] pFrame;
    }
}

void CZEVSocketSessionImpl::readForReady()
{
    if (m_bReleasePending || !m_pSocket)
        return;
    // A sink may wait in a nested event loop for the next reply; we come back here from inside
    // it (see Connect) and deliver what arrived meanwhile. Every frame leaves the reader once,
    // in stream order, so the outer call only ever goes on with later ones.
    ++m_nReadDepth;
    enterHandler();
    const quint64 skippedBefore = m_reader.skippedBytes();
    const quint64 droppedBefore = m_reader.droppedFrames();
    FrameReader::Frame frame;
    while (!m_bReleasePending) {
        if (m_reader.next(&frame)) {
            // A copy: a nested call appends to the reader, which may move what frame points at.
            const QByteArray payload(frame.payload, frame.size);
            // What is buffered already raises no notification; should the sink wait in a nested
            // loop, this call delivers it there.
            if (!m_bDrainQueued && (m_reader.buffered() > 0 || m_pSocket->bytesAvailable() > 0)) {
                m_bDrainQueued = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        m_bDrainQueued = false;
                        if (m_nReadDepth > 0)
                            readForReady();
                    },
                    Qt::QueuedConnection);
            }
            QString error;
            if (!dispatchPayload(payload.constData(), payload.size(), *this, &error))
                qCDebug(lcSession) << "Dropped a frame:" << error;
            continue;
        }
        if (m_pSocket->bytesAvailable() <= 0)
            break;
        const QByteArray piece = m_pSocket->read(kReadChunk);
        if (piece.isEmpty())
            break;
        m_reader.append(piece.constData(), piece.size());
    }
    // Counted once, by the outermost call.
    if (--m_nReadDepth == 0) {
        if (m_reader.skippedBytes() != skippedBefore)
            qCDebug(lcSession) << "Skipped" << m_reader.skippedBytes() - skippedBefore
                               << "bytes before a start mark";
        if (m_reader.droppedFrames() != droppedBefore)
            qCDebug(lcSession) << "Dropped" << m_reader.droppedFrames() - droppedBefore
                               << "frame(s) with a bad Length or Version";
    }
    leaveHandler();
}

void CZEVSocketSessionImpl::displayError(QAbstractSocket::SocketError socketError)
{
    switch (socketError) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::HostNotFoundError:
        return;
    default:
        qCDebug(lcSession) << "The following error occurred:"
                           << (m_pSocket ? m_pSocket->errorString() : QString());
    }
}

void CZEVSocketSessionImpl::tcpConnected()
{
    m_bLoggedIn = true;
    if (!m_pEvent)
        return;
    enterHandler();
    m_pEvent->OnConnected();
    leaveHandler();
}

void CZEVSocketSessionImpl::tcpDisconnected()
{
    enterHandler();
    emit sigRobotDisconnected();
    leaveHandler();
}

void CZEVSocketSessionImpl::slotMotionPlay(int *arrAllAngle, int nMotorCount, int nRunTime)
{
    PlayMotion(arrAllAngle, nMotorCount, nRunTime);
    delete[] arrAllAngle;
}

void CZEVSocketSessionImpl::slotPlayEarLed(
    int RunTime, int LeftLed, int RightLed, int Bright, int LedLightUpTime, int LedLightDownTime)
{
    CEarLedData led;
    led.SetRunTime(RunTime);
    led.SetLeftLed(LeftLed);
    led.SetRightLed(RightLed);
    led.SetBright(Bright);
    led.SetLightUpTime(LedLightUpTime);
    led.SetLightDownTime(LedLightDownTime);
    SendMsg(ZEVMsg::EarLed, &led);
}

void CZEVSocketSessionImpl::slotPlayEyeLed(
    byte LeftLed, byte RightLed, byte Bright, byte Color, int LightUpTime, int LightDownTime)
{
    CEyeLedData led;
    led.SetLeftLed(LeftLed);
    led.SetRightLed(RightLed);
    led.SetBright(Bright);
    led.SetColor(Color);
    led.SetLightUpTime(LightUpTime);
    led.SetLightDownTime(LightDownTime);
    led.SetTotalTime(LightUpTime + LightDownTime);
    SendMsg(ZEVMsg::EyeLed, &led);
}
