#pragma once

// A program of the Linux host a test needs beside it (python3 and the peers written in it). On
// Linux it is a child process; a Windows test program under Wine cannot wait for a Linux program
// or read its output, so there it asks the relay of the Windows suite (hostrun.py, its port in
// ZEV_HOSTRUN_PORT) to run it.

#include <QByteArray>
#include <QDir>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#ifdef Q_OS_WIN
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QtEndian>
#endif

#include <cstdio>
#include <utility>

class HostProcess
{
public:
    // Standard error goes to the test's own, or into the output read here.
    enum class Errors { Forwarded, Merged };

    explicit HostProcess(Errors errors = Errors::Forwarded) : m_errors(errors) {}
    ~HostProcess() { kill(); }
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    // A path of this test program as the host's programs see it.
    static QString hostPath(const QString &path)
    {
#ifdef Q_OS_WIN
        const QString absolute = QDir::fromNativeSeparators(QDir(path).absolutePath());
        const QRegularExpressionMatch drive
            = QRegularExpression(QStringLiteral("^([A-Za-z]):(/.*)?$")).match(absolute);
        if (!drive.hasMatch())
            return absolute;
        const QString rest = drive.captured(2).isEmpty() ? QStringLiteral("/") : drive.captured(2);
        if (drive.captured(1).compare(QLatin1String("z"), Qt::CaseInsensitive) == 0)
            return rest;
        return qEnvironmentVariable("WINEPREFIX") + QStringLiteral("/dosdevices/")
            + drive.captured(1).toLower() + QLatin1Char(':') + rest;
#else
        return QDir(path).absolutePath();
#endif
    }

    // `environment` sets variables for the program, or drops those it gives as null.
    bool start(const QString &program, const QStringList &arguments,
        const QJsonObject &environment = {}, int msecs = 10000)
    {
#ifdef Q_OS_WIN
        m_socket.abort();
        m_frames.clear();
        m_output.clear();
        m_failure.clear();
        m_exit = kNoExit;
        m_socket.connectToHost(QStringLiteral("127.0.0.1"),
            static_cast<quint16>(qEnvironmentVariableIntValue("ZEV_HOSTRUN_PORT")));
        if (!m_socket.waitForConnected(msecs))
            return false;
        const QJsonObject request {
            { QStringLiteral("argv"), QJsonArray::fromStringList(QStringList { program } + arguments) },
            { QStringLiteral("env"), environment }
        };
        m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        m_running = m_socket.waitForBytesWritten(msecs);
        return m_running;
#else
        m_process.setProcessChannelMode(m_errors == Errors::Merged ? QProcess::MergedChannels
                                                                   : QProcess::ForwardedErrorChannel);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (auto it = environment.begin(); it != environment.end(); ++it) {
            if (it.value().isNull())
                env.remove(it.key());
            else
                env.insert(it.key(), it.value().toString());
        }
        m_process.setProcessEnvironment(env);
        m_process.start(program, arguments);
        return m_process.waitForStarted(msecs);
#endif
    }

    // Waits until there is output to read, or the program has ended.
    bool waitForReadyRead(int msecs)
    {
#ifdef Q_OS_WIN
        QElapsedTimer clock;
        clock.start();
        while (m_output.isEmpty() && m_running) {
            const int left = msecs - int(clock.elapsed());
            if (left <= 0 || !receive(left))
                break;
        }
        return !m_output.isEmpty();
#else
        return m_process.bytesAvailable() > 0 || m_process.waitForReadyRead(msecs);
#endif
    }

    QByteArray readAll()
    {
#ifdef Q_OS_WIN
        return std::exchange(m_output, QByteArray());
#else
        return m_process.readAll();
#endif
    }

    bool waitForFinished(int msecs)
    {
#ifdef Q_OS_WIN
        QElapsedTimer clock;
        clock.start();
        while (m_running) {
            const int left = msecs - int(clock.elapsed());
            if (left <= 0 || !receive(left))
                break;
        }
        return !m_running && m_exit != kNoExit;
#else
        return m_process.waitForFinished(msecs);
#endif
    }

    bool isRunning() const
    {
#ifdef Q_OS_WIN
        return m_running;
#else
        return m_process.state() != QProcess::NotRunning;
#endif
    }

    // Its exit status; -1 when it did not end by itself.
    int exitCode() const
    {
#ifdef Q_OS_WIN
        return m_exit >= 0 ? int(m_exit) : -1;
#else
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
#endif
    }

    // Ended by itself with status 0.
    bool succeeded() const { return exitCode() == 0; }

    void kill()
    {
#ifdef Q_OS_WIN
        // The relay ends the program when its client goes.
        m_socket.abort();
        m_running = false;
#else
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
#endif
    }

    QString errorString() const
    {
#ifdef Q_OS_WIN
        return m_failure.isEmpty() ? m_socket.errorString() : m_failure;
#else
        return m_process.errorString();
#endif
    }

private:
    Errors m_errors;
#ifdef Q_OS_WIN
    static constexpr qint64 kNoExit = -1000;

    // Reads what has arrived and takes the relay's whole frames out of it.
    bool receive(int msecs)
    {
        if (!m_socket.bytesAvailable() && !m_socket.waitForReadyRead(msecs)) {
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                m_running = false;
            return false;
        }
        m_frames += m_socket.readAll();
        while (m_frames.size() >= 5) {
            const char tag = m_frames.at(0);
            const quint32 value = qFromLittleEndian<quint32>(m_frames.constData() + 1);
            if (tag == 'X') {
                m_exit = qint32(value);
                m_running = false;
                m_frames.remove(0, 5);
                continue;
            }
            if (m_frames.size() < 5 + qint64(value))
                break;
            const QByteArray payload = m_frames.mid(5, int(value));
            m_frames.remove(0, 5 + int(value));
            if (tag == 'O' || (tag == 'E' && m_errors == Errors::Merged))
                m_output += payload;
            else if (tag == 'E')
                std::fwrite(payload.constData(), 1, size_t(payload.size()), stderr);
            else if (tag == 'F') {
                m_failure = QString::fromUtf8(payload);
                m_running = false;
            }
        }
        return true;
    }

    QTcpSocket m_socket;
    QByteArray m_frames;
    QByteArray m_output;
    QString m_failure;
    qint64 m_exit = kNoExit;
    bool m_running = false;
#else
    QProcess m_process;
#endif
};
