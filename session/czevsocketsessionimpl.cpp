#include "czevsocketsessionimpl.h"

#include "libwireclass.h"
#include "sessionlog.h"

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
// Start mark 34 12, Length (32-bit little-endian, counting what follows it), Version 1, Reserved.
constexpr int kFrameHeaderSize = 10;
constexpr int kFrameLengthAt = 2;
constexpr std::size_t kFrameLengthEnd = 6;

const char kChestKernelFile[] = "TarvoII_CHEST_kernel.bin";
const char kHeadKernelFile[] = "TarvoII_HEAD_kernel.bin";

quint16 robotPort()
{
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("ZEV_SESSION_PORT", &ok);
    return (ok && port > 0 && port <= 65535) ? static_cast<quint16>(port)
                                             : CZEVSocketSessionImpl::kRobotPort;
}

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool isFileInfoId(short sMsgID)
{
    return sMsgID == 2 || sMsgID == 12 || sMsgID == 21 || sMsgID == 22;
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
    const char header[kFrameHeaderSize] = { '\x34', '\x12', 0, 0, 0, 0, '\x01', 0, 0, 0 };
    frame.write(header, sizeof header);
    msgpack::pack(frame, cmd);
    const auto length = static_cast<quint32>(frame.size() - kFrameLengthEnd);
    for (int i = 0; i < 4; ++i)
        frame.data()[kFrameLengthAt + i] = static_cast<char>((length >> (8 * i)) & 0xff);
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
    if (!m_bLoggedIn && nMsgID != 1)
        return false;
    switch (nMsgID) {
    case 1:
        return sendPayload(nMsgID, static_cast<const CLoginTarvo *>(pMsg));
    case 2:
    case 12:
    case 21:
    case 22:
        return sendPayload(nMsgID, static_cast<const CFileInfo_DL *>(pMsg));
    case 3:
    case 7:
    case 11:
    case 18:
    case 20:
    case 48:
        return sendEnvelope(nMsgID, nullptr, 0);
    case 4:
    case 5:
        return sendPayload(nMsgID, static_cast<const CActionFile *>(pMsg));
    case 8:
        return sendPayload(nMsgID, static_cast<const CSetWifiToConnect *>(pMsg));
    case 9:
        return sendPayload(nMsgID, static_cast<const CMotoAngle *>(pMsg));
    case 10:
        return sendPayload(nMsgID, static_cast<const CReadMotorAngle *>(pMsg));
    case 13:
    case 14:
        return sendPayload(nMsgID, static_cast<const CFileInfo_UL *>(pMsg));
    case 17:
        return sendPayload(nMsgID, static_cast<const CEarLedData *>(pMsg));
    case 19:
        return sendPayload(nMsgID, static_cast<const CEyeLedData *>(pMsg));
    case 33:
    case 34:
        return sendPayload(nMsgID, static_cast<const CTarvo2Version *>(pMsg));
    case 37:
        return sendPayload(nMsgID, static_cast<const CAllMotoAngle *>(pMsg));
    case 52:
        return sendPayload(nMsgID, static_cast<const CSerialNum *>(pMsg));
    default:
        return false;
    }
}

bool CZEVSocketSessionImpl::RequestActionFileList()
{
    return SendMsg(3, nullptr);
}

bool CZEVSocketSessionImpl::sendFileInfo(
    const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID, bool bEmpty)
{
    // Any other id would make SendMsg read this record as another class.
    if (!isFileInfoId(sMsgID))
        return false;
    CFileInfo_DL info;
    if (!bEmpty) {
        m_qsLastFilePath = qsFilePath;
        if (sMsgID == 21)
            info.setFileName(kChestKernelFile);
        else if (sMsgID == 22)
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
    return sendFileInfo(qsFilePath, qsFileName, nFileLen, sMsgID, false);
}

bool CZEVSocketSessionImpl::SendEmptyFileInfo(
    const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID)
{
    return sendFileInfo(qsFilePath, qsFileName, nFileLen, sMsgID, true);
}

bool CZEVSocketSessionImpl::SendEmptyFileInfo2(
    const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID)
{
    return sendFileInfo(qsFilePath, qsFileName, nFileLen, sMsgID, true);
}

bool CZEVSocketSessionImpl::RequestVersion(int nMsgID)
{
    if (nMsgID != 33 && nMsgID != 34)
        return false;
    CTarvo2Version version;
    version.SetKind(0);
    return SendMsg(nMsgID, &version);
}

bool CZEVSocketSessionImpl::SendFileName(const QString &qsFileName, short sMsgID)
{
    if (sMsgID != 13 && sMsgID != 14)
        return false;
    CFileInfo_UL info;
    info.setFileName(utf8(qsFileName));
    return SendMsg(sMsgID, &info);
}

void CZEVSocketSessionImpl::SendActionFile(const QString &qsFileName)
{
    CActionFile file;
    file.SetFileName(qsFileName);
    SendMsg(5, &file);
}

void CZEVSocketSessionImpl::DeleteActionFile(const QString &qsFileName)
{
    CActionFile file;
    file.SetFileName(qsFileName);
    SendMsg(4, &file);
}

void CZEVSocketSessionImpl::SetMotorAngle(int nMotorID, int nAngle, int nTime)
{
    CMotoAngle angle;
    angle.SetId(nMotorID);
    angle.SetAngle(nAngle);
    angle.setTime(nTime);
    SendMsg(9, &angle);
}

void CZEVSocketSessionImpl::PlayMotion(int *pAngles, int nCount, int nTime)
{
    if (!pAngles)
        return;
    CAllMotoAngle motion;
    motion.SetAllAngle(pAngles, nCount);
    motion.setTime(nTime);
    SendMsg(37, &motion);
}

void CZEVSocketSessionImpl::ReadMotorAngle(int nMotorID)
{
    CReadMotorAngle request;
    request.SetID(nMotorID);
    SendMsg(10, &request);
}

bool CZEVSocketSessionImpl::SendRequest11()
{
    return SendMsg(11, nullptr);
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
    return SendMsg(18, nullptr);
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
    SendMsg(19, &led);
}

bool CZEVSocketSessionImpl::SendRequest20()
{
    return SendMsg(20, nullptr);
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
    SendMsg(52, &serial);
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
    // A sink that runs a nested event loop brings us back here; the loop below on the outer
    // call picks up whatever arrived meanwhile, in order.
    if (m_bReading || m_bReleasePending || !m_pSocket)
        return;
    m_bReading = true;
    enterHandler();
    const quint64 skippedBefore = m_reader.skippedBytes();
    const quint64 droppedBefore = m_reader.droppedFrames();
    FrameReader::Frame frame;
    while (!m_bReleasePending) {
        if (m_reader.next(&frame)) {
            QString error;
            if (!dispatchPayload(frame.payload, frame.size, *this, &error))
                qCDebug(lcSession) << "Dropped a frame:" << error;
            continue;
        }
        if (!m_pSocket || m_pSocket->bytesAvailable() <= 0)
            break;
        const QByteArray piece = m_pSocket->read(kReadChunk);
        if (piece.isEmpty())
            break;
        m_reader.append(piece.constData(), piece.size());
    }
    if (m_reader.skippedBytes() != skippedBefore)
        qCDebug(lcSession) << "Skipped" << m_reader.skippedBytes() - skippedBefore
                           << "bytes before a start mark";
    if (m_reader.droppedFrames() != droppedBefore)
        qCDebug(lcSession) << "Dropped" << m_reader.droppedFrames() - droppedBefore
                           << "frame(s) with a bad Length or Version";
    m_bReading = false;
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
    SendMsg(17, &led);
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
    SendMsg(19, &led);
}
