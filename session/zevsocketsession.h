#pragma once

#include "zevsocketsession_export.h"

#include <QObject>
#include <QString>
#include <QStringList>

typedef unsigned char byte;

// The robot's own service listens on this TCP port; adb forwards the same port on this computer.
constexpr quint16 kRobotServicePort = 6102;

// windows.h maps the GDI function GetObject to GetObjectA/GetObjectW with a macro. The session's
// GetObject keeps its name on every platform: the macro is set aside while the interface is
// declared and put back afterwards, so a client's own GDI calls still work. A client that
// includes windows.h after this header sees its calls of GetObject() turned into GetObjectA() or
// GetObjectW(); the two inline forwarders below take those to the real operation.
#ifdef _WIN32
#pragma push_macro("GetObject")
#undef GetObject
#endif

// What the robot answers to a download file announcement (messages 2 and 12).
struct ServerInfoDL
{
    int Port = 0;
    QString IP;
    QString FilePath; // the path most recently given to SendFileInfo, empty if none
};

// What the robot answers to an upload file announcement (message 14).
struct ServerInfoUL
{
    int Port = 0;
    int FileLen = 0;
    QString IP;
    QString FileName;
};

// The session's event sink. It is owned by its implementer, must outlive its registration with
// Connect, and is called on the thread that called Connect. Records passed by pointer live only
// for the duration of the call.
class ZEVSOCKETSESSION_EXPORT IZEVSocketSessionEvent
{
public:
    virtual void OnActionFileList(QStringList qslFileList) { Q_UNUSED(qslFileList) }
    virtual void OnActionResourceList(QStringList qslResourceList) { Q_UNUSED(qslResourceList) }
    virtual void OnServerInfoDL(ServerInfoDL *pInfo) { Q_UNUSED(pInfo) }
    virtual void OnServerInfoUL(ServerInfoUL *pInfo) { Q_UNUSED(pInfo) }
    virtual void OnMotorAngle(int nMotorID, unsigned char ucAngle)
    {
        Q_UNUSED(nMotorID)
        Q_UNUSED(ucAngle)
    }
    virtual void OnReserved5(quint32 uValue, QString qsText)
    {
        Q_UNUSED(uValue)
        Q_UNUSED(qsText)
    }
    virtual void OnReserved6(quint32 uValue) { Q_UNUSED(uValue) }
    virtual void OnReserved7() { }
    virtual void OnReserved8() { }
    virtual void OnReserved9(QString qsText) { Q_UNUSED(qsText) }
    virtual void OnReserved10(quint32 uFirst, QString qsText, quint32 uSecond)
    {
        Q_UNUSED(uFirst)
        Q_UNUSED(qsText)
        Q_UNUSED(uSecond)
    }
    virtual void OnVersion(QString qsVersion) { Q_UNUSED(qsVersion) }
    virtual void OnSerialNum(QString qsSerialNum) = 0;
    // Raised when the TCP connection is up, and again when the robot accepts a login.
    virtual void OnConnected() = 0;

protected:
    // Last, so that the operations above keep their places in the table of virtual functions.
    virtual ~IZEVSocketSessionEvent() = default;
};

// One TCP session to the robot's service on kRobotServicePort. Made by CreateZEVSocketSession and
// destroyed only by Release. Use it from one thread, which must run a Qt event loop.
class ZEVSOCKETSESSION_EXPORT CIZEVSocketSession
{
public:
    // The host is a numeric address; the two integers are not used. True once the attempt has
    // started: a refused connection raises no event at all, so guard the wait with a time-out.
    virtual bool Connect(
        const QString &qsHostAddr, int nReserved1, int nReserved2, IZEVSocketSessionEvent *pEvent)
        = 0;
    virtual bool Disconnect() = 0;
    virtual void Release() = 0;
    // The session as a QObject, for its signals sigRobotConnected() and sigRobotDisconnected().
    virtual QObject *GetObject() = 0;
#ifdef _WIN32
    QObject *GetObjectA() { return GetObject(); }
    QObject *GetObjectW() { return GetObject(); }
#endif
    virtual bool SendData(const char *pData, int nLen) = 0;
    // pMsg points to the payload class of the message id, and is ignored for ids without payload.
    // Before the connection is up only the login (id 1) is accepted.
    virtual bool SendMsg(int nMsgID, void *pMsg) = 0;
    virtual bool RequestActionFileList() = 0;
    // The SendFileInfo family takes the ids 2, 12, 21 and 22.
    virtual bool SendFileInfo(
        const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID)
        = 0;
    virtual bool SendEmptyFileInfo(
        const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID)
        = 0;
    virtual bool SendEmptyFileInfo2(
        const QString &qsFilePath, const QString &qsFileName, int nFileLen, short sMsgID)
        = 0;
    // Ids 33 and 34.
    virtual bool RequestVersion(int nMsgID) = 0;
    // Ids 13 and 14.
    virtual bool SendFileName(const QString &qsFileName, short sMsgID) = 0;
    virtual void SendActionFile(const QString &qsFileName) = 0;
    virtual void DeleteActionFile(const QString &qsFileName) = 0;
    virtual void SetMotorAngle(int nMotorID, int nAngle, int nTime) = 0;
    // Reads 20 values; the array stays the caller's.
    virtual void PlayMotion(int *pAngles, int nCount, int nTime) = 0;
    virtual void ReadMotorAngle(int nMotorID) = 0;
    virtual bool SendRequest11() = 0;
    virtual void PlayEarLed(int nRunTime, int nLeftLed, int nRightLed, int nBright,
        int nLightUpTime, int nLightDownTime)
        = 0;
    virtual bool SendRequest18() = 0;
    virtual void PlayEyeLed(byte LeftLed, byte RightLed, byte Bright, byte Color, int nLightUpTime,
        int nLightDownTime, int nTotalTime)
        = 0;
    virtual bool SendRequest20() = 0;
    virtual void Spare1(int nValue) = 0;
    virtual void Spare2(const QString &qsValue) = 0;
    virtual void Spare3(const QString &qsValue) = 0;
    virtual void Spare4() = 0;
    virtual void RequestSerialNum() = 0;

protected:
    ~CIZEVSocketSession() = default;
};

Q_DECLARE_INTERFACE(CIZEVSocketSession, "CIZEVSocketSession")

#ifdef _WIN32
#pragma pop_macro("GetObject")
#endif

// Creates a session in its initial state and stores it in *ppSession. False, with *ppSession
// untouched, only when the object cannot be made.
ZEVSOCKETSESSION_EXPORT bool CreateZEVSocketSession(CIZEVSocketSession **ppSession);

class ZEVSOCKETSESSION_EXPORT ZEVSocketSession
{
public:
    ZEVSocketSession();
    ZEVSocketSession &operator=(const ZEVSocketSession &other);
};
