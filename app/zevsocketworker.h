#pragma once

#include "sessioneventinterface.h"

#include <zevsocketsession.h>

#include <QObject>
#include <QString>

class QProcess;

// Reads the robot's serial number once: tunnels kRobotServicePort with adb forward, opens a session
// to 127.0.0.1 and asks for the number as soon as the session is up. Lives on a thread of its own;
// each slotConnectRobot ends in exactly one sigReadSerialNumDone, with the number or with an
// empty text after at most readTimeoutMs of waiting for the robot, counted once the forward has
// returned.
class ZEVSocketWorker : public QObject, public IZEVSocketSessionEvent
{
    Q_OBJECT
    Q_INTERFACES(IZEVSocketSessionEvent)
public:
    static constexpr int readTimeoutMs = 5000;

    explicit ZEVSocketWorker(QObject *parent = nullptr);
    ~ZEVSocketWorker() override;

    void OnConnected() override;
    void OnSerialNum(QString qsSerialNum) override;

signals:
    void sigReadSerialNumDone(QString serialNum);

public slots:
    void slotConnectRobot();
    void onConnected();
    void onReadSerialNum(QString serialNum);
    void onTimeOut();

private:
    static QString adbProgram();
    // Tunnels kRobotServicePort to the robot; waits for it to end, its outcome unchecked.
    void runForward();

    CIZEVSocketSession *session = nullptr;
    bool serialReceived = false;
    QProcess *forwardProcess = nullptr;
};
