#pragma once

#include "framereader.h"
#include "messagedispatch.h"
#include "zevsocketsession.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

class QTcpSocket;
class QTimer;

Q_DECLARE_METATYPE(int *)

// The session behind CIZEVSocketSession: one QTcpSocket to the robot's service, a frame reader
// that keeps partial frames, and synchronous sending on the caller's thread.
//
// The port is kRobotServicePort; ZEV_SESSION_PORT in the environment overrides it, so that tests
// can run a robot on a free loopback port.
// GetObject below is the session's operation, not windows.h's macro for GDI's GetObjectA/W.
#ifdef _WIN32
#pragma push_macro("GetObject")
#undef GetObject
#endif
class CZEVSocketSessionImpl : public QObject, public CIZEVSocketSession, private DispatchHost
{
    Q_OBJECT
    Q_INTERFACES(CIZEVSocketSession)

public:
    CZEVSocketSessionImpl();
    ~CZEVSocketSessionImpl() override;

    bool Connect(const QString &qsHostAddr, int nReserved1, int nReserved2,
        IZEVSocketSessionEvent *pEvent) override;
    bool Disconnect() override;
    void Release() override;
    QObject *GetObject() override;
    bool SendData(const char *pData, int nLen) override;
    bool SendMsg(int nMsgID, void *pMsg) override;
    bool RequestActionFileList() override;
    bool SendFileInfo(
        const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID) override;
    bool SendEmptyFileInfo(
        const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID) override;
    bool SendEmptyFileInfo2(
        const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID) override;
    bool RequestVersion(int nMsgID) override;
    bool SendFileName(const QString &qsFileName, short sMsgID) override;
    void SendActionFile(const QString &qsFileName) override;
    void DeleteActionFile(const QString &qsFileName) override;
    void SetMotorAngle(int nMotorID, int nAngle, int nTime) override;
    void PlayMotion(int *pAngles, int nCount, int nTime) override;
    void ReadMotorAngle(int nMotorID) override;
    bool SendRequest11() override;
    void PlayEarLed(int nRunTime, int nLeftLed, int nRightLed, int nBright, int nLightUpTime,
        int nLightDownTime) override;
    bool SendRequest18() override;
    void PlayEyeLed(byte LeftLed, byte RightLed, byte Bright, byte Color, int nLightUpTime,
        int nLightDownTime, int nTotalTime) override;
    bool SendRequest20() override;
    void Spare1(int nValue) override;
    void Spare2(const QString &qsValue) override;
    void Spare3(const QString &qsValue) override;
    void Spare4() override;
    void RequestSerialNum() override;

signals:
    void sigRobotConnected();
    void sigRobotDisconnected();

public slots:
    void onTimerOut();
    void readForReady();
    void displayError(QAbstractSocket::SocketError socketError);
    void tcpConnected();
    void tcpDisconnected();
    void slotMotionPlay(int *arrAllAngle, int nMotorCount, int nRunTime);
    void slotPlayEarLed(int RunTime, int LeftLed, int RightLed, int Bright, int LedLightUpTime,
        int LedLightDownTime);
    void slotPlayEyeLed(
        byte LeftLed, byte RightLed, byte Bright, byte Color, int LightUpTime, int LightDownTime);

private:
    // DispatchHost
    IZEVSocketSessionEvent *sink() const override { return m_pEvent; }
    void acceptLogin() override { m_bLoggedIn = true; }
    QString lastFilePath() const override { return m_qsLastFilePath; }
    void requestActionFileList() override { RequestActionFileList(); }

    template <typename Payload> bool sendPayload(int nMsgID, const Payload *pPayload);
    bool sendEnvelope(int nMsgID, const unsigned char *pPayload, int nPayloadLen);
    bool sendFileInfo(const QString &qsFilePath, const QString &qsFileName, int nFileLen,
        short sMsgID, bool bEmpty, const char *operation);

    // A sink may call Release from inside a notification; the object then dies only when the
    // outermost handler on the stack has returned.
    void enterHandler() { ++m_nHandlerDepth; }
    bool leaveHandler(); // true when the object is gone

    QTcpSocket *m_pSocket = nullptr;
    bool m_bLoggedIn = false;
    QString m_qsLastFilePath;
    IZEVSocketSessionEvent *m_pEvent = nullptr;
    QTimer *m_pTimer = nullptr;

    FrameReader m_reader;
    int m_nHandlerDepth = 0;
    bool m_bReleasePending = false;
    int m_nReadDepth = 0; // readForReady calls on the stack
    bool m_bDrainQueued = false;
};
#ifdef _WIN32
#pragma pop_macro("GetObject")
#endif
