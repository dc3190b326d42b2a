// A stand-in for the adb program. It answers each command line from "scenario.json" beside
// itself and appends its arguments, as one JSON array per line, to "argv.log" beside itself.
//
// scenario.json: {"rules": [{"match": "<regex on the arguments joined by blanks>",
//                            "responses": [{"out": "", "err": "", "delayMs": 0,
//                                           "hang": false, "exit": 0}, ...]}]}
// The first rule whose pattern matches answers. Its n-th use (counted over argv.log) gets the
// n-th response; the last response repeats. Without a matching rule: exit code 1.
//
// With "relay.json" ({"port": N}) beside it instead, it hands the command to a relay on
// 127.0.0.1:N, which runs a real adb with the same arguments: a Windows program under Wine cannot
// start a Linux one. Sent: the arguments as one JSON array and a newline; received: frames of a
// channel byte ('o' standard output, 'e' standard error, 'x' the exit code in decimal), a 4-byte
// big-endian length and that many bytes.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>
#include <QtEndian>

#include <cstdio>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

namespace {

QStringList loggedCommands(const QString &logPath)
{
    QStringList commands;
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return commands;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QJsonArray args = QJsonDocument::fromJson(line).array();
        QStringList words;
        for (const QJsonValue &arg : args)
            words.append(arg.toString());
        if (!line.isEmpty())
            commands.append(words.join(QLatin1Char(' ')));
    }
    return commands;
}

void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// Waits as long as the command runs: the caller's own time limit ends this process, and with it
// the connection, which ends the command on the relay's side.
bool readExactly(QTcpSocket &socket, char *data, qint64 size)
{
    while (size > 0) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(-1))
            return false;
        const qint64 got = socket.read(data, size);
        if (got < 0)
            return false;
        data += got;
        size -= got;
    }
    return true;
}

int relay(quint16 port, const QStringList &args)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000)) {
        write(stderr, QStringLiteral("fakeadb: no relay on port %1\n").arg(port));
        return 1;
    }
#ifdef Q_OS_WIN
    // adb's bytes as they are: text mode would turn the robot's CR LF into CR CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    socket.write(
        QJsonDocument(QJsonArray::fromStringList(args)).toJson(QJsonDocument::Compact) + '\n');
    for (;;) {
        char head[5];
        if (!readExactly(socket, head, sizeof head))
            return 1;
        QByteArray body(static_cast<int>(qFromBigEndian<quint32>(head + 1)), Qt::Uninitialized);
        if (!readExactly(socket, body.data(), body.size()))
            return 1;
        if (head[0] == 'x')
            return body.toInt();
        FILE *stream = head[0] == 'e' ? stderr : stdout;
        std::fwrite(body.constData(), 1, static_cast<size_t>(body.size()), stream);
        std::fflush(stream);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QDir home(QCoreApplication::applicationDirPath());
    const QString logPath = home.filePath(QStringLiteral("argv.log"));

    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    const QString joined = args.join(QLatin1Char(' '));

    QFile scenarioFile(home.filePath(QStringLiteral("scenario.json")));
    scenarioFile.open(QIODevice::ReadOnly);
    const QJsonArray rules = QJsonDocument::fromJson(scenarioFile.readAll())
                                 .object()
                                 .value(QStringLiteral("rules"))
                                 .toArray();

    QJsonObject response;
    bool matched = false;
    {
        QLockFile lock(logPath + QStringLiteral(".lock"));
        lock.lock();
        const QStringList earlier = loggedCommands(logPath);
        for (const QJsonValue &value : rules) {
            const QJsonObject rule = value.toObject();
            const QRegularExpression pattern(rule.value(QStringLiteral("match")).toString());
            if (!pattern.match(joined).hasMatch())
                continue;
            int uses = 0;
            for (const QString &command : earlier) {
                if (pattern.match(command).hasMatch())
                    ++uses;
            }
            const QJsonArray responses = rule.value(QStringLiteral("responses")).toArray();
            if (!responses.isEmpty())
                response = responses.at(qMin(uses, responses.size() - 1)).toObject();
            matched = true;
            break;
        }
        QFile log(logPath);
        log.open(QIODevice::Append);
        log.write(
            QJsonDocument(QJsonArray::fromStringList(args)).toJson(QJsonDocument::Compact) + '\n');
    }

    QFile relayFile(home.filePath(QStringLiteral("relay.json")));
    if (relayFile.open(QIODevice::ReadOnly)) {
        const int port = QJsonDocument::fromJson(relayFile.readAll())
                             .object()
                             .value(QStringLiteral("port"))
                             .toInt();
        return relay(static_cast<quint16>(port), args);
    }
    if (!matched) {
        write(stderr, QStringLiteral("fakeadb: no rule for: %1\n").arg(joined));
        return 1;
    }
    write(stdout, response.value(QStringLiteral("out")).toString());
    write(stderr, response.value(QStringLiteral("err")).toString());

    int delay = response.value(QStringLiteral("delayMs")).toInt();
    if (response.value(QStringLiteral("hang")).toBool())
        delay = 30000; // long enough for any test, short enough never to outlive a run
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < delay)
        QThread::msleep(10);
    return response.value(QStringLiteral("exit")).toInt();
}
