#pragma once

#include "../support/hostprocess.h"

#include <QByteArray>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QString>
#include <QTcpServer>
#include <QUrl>

// The loopback web service of webfixture.py, run as a child process.
class WebFixture
{
public:
    ~WebFixture() { stop(); }

    // Port 0 lets the system choose.
    bool start(quint16 port = 0)
    {
        const QString script = QDir(qEnvironmentVariable("ZEV_SOURCE_DIR"))
                                   .filePath(QStringLiteral("tests/download/webfixture.py"));
        if (!m_process.start(QStringLiteral("/usr/bin/python3"), { script, QString::number(port) }))
            return false;
        QByteArray line;
        while (!line.contains('\n')) {
            if (!m_process.waitForReadyRead(10000))
                return false;
            line += m_process.readAll();
        }
        if (!line.startsWith("PORT "))
            return false;
        m_port = static_cast<quint16>(line.mid(5).trimmed().toUInt());
        return m_port != 0;
    }

    void stop() { m_process.kill(); }

    quint16 port() const { return m_port; }
    QString url(const QString &pathAndQuery) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(pathAndQuery);
    }

    // The requests the service has recorded, oldest first.
    QJsonArray log() const
    {
        QNetworkAccessManager network;
        QNetworkReply *reply = network.get(QNetworkRequest(QUrl(url(QStringLiteral("/_log")))));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(5000);
        const QJsonArray entries = QJsonDocument::fromJson(reply->readAll()).array();
        delete reply;
        return entries;
    }

    // A loopback port nothing listens on (as far as anyone can tell right now).
    static quint16 closedPort()
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        const quint16 port = server.serverPort();
        server.close();
        return port;
    }

private:
    HostProcess m_process;
    quint16 m_port = 0;
};
