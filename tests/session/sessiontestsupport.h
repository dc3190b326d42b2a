#pragma once

#include "zevsocketsession.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// Frames built by hand, independently of the message class library.
namespace testframe {

inline QByteArray header(qint32 length, quint16 version = 1, quint16 reserved = 0)
{
    QByteArray h;
    h.append('\x34').append('\x12');
    for (int i = 0; i < 4; ++i)
        h.append(static_cast<char>((static_cast<quint32>(length) >> (8 * i)) & 0xff));
    h.append(static_cast<char>(version & 0xff)).append(static_cast<char>(version >> 8));
    h.append(static_cast<char>(reserved & 0xff)).append(static_cast<char>(reserved >> 8));
    return h;
}

inline QByteArray frame(const QByteArray &payload, quint16 version = 1)
{
    return header(payload.size() + 4, version) + payload;
}

// A MessagePack raw string (fixraw or raw 16).
inline QByteArray raw(const QByteArray &bytes)
{
    QByteArray out;
    if (bytes.size() < 32) {
        out.append(static_cast<char>(0xa0 | bytes.size()));
    } else {
        out.append('\xda');
        out.append(static_cast<char>(bytes.size() >> 8))
            .append(static_cast<char>(bytes.size() & 0xff));
    }
    return out + bytes;
}

// The envelope [id, payload] for ids 0...127.
inline QByteArray envelope(int id, const QByteArray &payload)
{
    QByteArray out;
    out.append('\x92').append(static_cast<char>(id));
    return out + raw(payload);
}

inline QByteArray serialFrame(const QByteArray &serial)
{
    return frame(envelope(52, QByteArray("\x91", 1) + raw(serial)));
}

} // namespace testframe

// Records every event as the line robot-console would print for it.
class RecordingSink : public IZEVSocketSessionEvent
{
public:
    QStringList lines;
    std::function<void(const QString &)> onEvent;

    void OnActionFileList(QStringList l) override { add("OnActionFileList " + l.join(',')); }
    void OnActionResourceList(QStringList l) override
    {
        add("OnActionResourceList " + l.join(','));
    }
    void OnServerInfoDL(ServerInfoDL *p) override
    {
        add(QStringLiteral("OnServerInfoDL %1 %2 %3").arg(p->Port).arg(p->IP, p->FilePath));
    }
    void OnServerInfoUL(ServerInfoUL *p) override
    {
        add(QStringLiteral("OnServerInfoUL %1 %2 %3 %4")
                .arg(p->Port)
                .arg(p->FileLen)
                .arg(p->IP, p->FileName));
    }
    void OnMotorAngle(int id, unsigned char angle) override
    {
        add(QStringLiteral("OnMotorAngle %1 %2").arg(id).arg(angle));
    }
    void OnVersion(QString v) override { add("OnVersion " + v); }
    void OnSerialNum(QString s) override { add("OnSerialNum " + s); }
    void OnConnected() override { add(QStringLiteral("OnConnected")); }

private:
    void add(const QString &line)
    {
        lines << line;
        if (onEvent)
            onEvent(line);
    }
};

// The robot's side of the session: a real listening socket on loopback that records what it
// receives and writes raw bytes.
class RobotPeer : public QObject
{
public:
    RobotPeer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            m_client = m_server.nextPendingConnection();
            connect(m_client, &QTcpSocket::readyRead, this, [this] {
                received += m_client->readAll();
                if (onReceived)
                    onReceived();
            });
        });
    }

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    QTcpSocket *client() const { return m_client; }

    void send(const QByteArray &bytes)
    {
        m_client->write(bytes);
        m_client->flush();
    }

    QByteArray received;
    std::function<void()> onReceived; // a robot that answers

private:
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
};
