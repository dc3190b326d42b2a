#pragma once

#include "consolerequest.h"
#include "zevsocketsession.h"

#include <QObject>
#include <QTimer>

// Drives one request through a session and prints every event it raises, one line each:
// the event's name, then its arguments separated by single blanks, lists joined by commas.
class ConsoleRunner : public QObject, public IZEVSocketSessionEvent
{
    Q_OBJECT

public:
    explicit ConsoleRunner(const ConsoleRequest &request, QObject *parent = nullptr);
    ~ConsoleRunner() override;

    // Connects to the robot's service on 127.0.0.1; finished() tells the exit code.
    void start();

    void OnActionFileList(QStringList qslFileList) override;
    void OnActionResourceList(QStringList qslResourceList) override;
    void OnServerInfoDL(ServerInfoDL *pInfo) override;
    void OnServerInfoUL(ServerInfoUL *pInfo) override;
    void OnMotorAngle(int nMotorID, unsigned char ucAngle) override;
    void OnVersion(QString qsVersion) override;
    void OnSerialNum(QString qsSerialNum) override;
    void OnConnected() override;

signals:
    void finished(int exitCode);

private slots:
    void onDisconnected();
    void onTimeout();

private:
    void report(const QString &event, const QStringList &arguments = QStringList());
    bool sendRequest();
    void finish(int exitCode);

    ConsoleRequest m_request;
    CIZEVSocketSession *m_pSession = nullptr;
    QTimer m_timeout;
    bool m_requestSent = false;
    bool m_finished = false;
};
