// A stand-in for the adb program. It answers each command line from "scenario.json" beside
// itself and appends its arguments, as one JSON array per line, to "argv.log" beside itself.
//
// scenario.json: {"rules": [{"match": "<regex on the arguments joined by blanks>",
//                            "responses": [{"out": "", "err": "", "delayMs": 0,
//                                           "hang": false, "exit": 0}, ...]}]}
// The first rule whose pattern matches answers. Its n-th use (counted over argv.log) gets the
// n-th response; the last response repeats. Without a matching rule: exit code 1.
//
// With "relay.json" ({"program": "<host path>", "env": {...}}) beside it instead, it has that
// program of the Linux host (a real adb) run with the same arguments, through the Windows suite's
// relay (tests/support/hostrun.py): a Windows program under Wine cannot wait for a Linux one.
// Windows paths among the arguments are handed on as the host's.

#include "../support/hostprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QThread>

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
// the relay's connection, which ends the command on the host.
int relay(const QJsonObject &how, const QStringList &args)
{
    static const QRegularExpression windowsPath(QStringLiteral("^[A-Za-z]:[\\\\/]"));
    QStringList hostArgs;
    for (const QString &arg : args)
        hostArgs << (windowsPath.match(arg).hasMatch() ? HostProcess::hostPath(arg) : arg);
#ifdef Q_OS_WIN
    // adb's bytes as they are: text mode would turn the robot's CR LF into CR CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    HostProcess command;
    if (!command.start(how.value(QStringLiteral("program")).toString(), hostArgs,
            how.value(QStringLiteral("env")).toObject())) {
        write(stderr, QStringLiteral("fakeadb: no relay: %1\n").arg(command.errorString()));
        return 1;
    }
    while (command.isRunning() || command.waitForReadyRead(0)) {
        command.waitForReadyRead(60000);
        const QByteArray out = command.readAll();
        std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
        std::fflush(stdout);
    }
    command.waitForFinished(0);
    return command.exitCode() < 0 ? 1 : command.exitCode();
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

    // A relay has no scenario: reading a file that did not open would put Qt's warning into the
    // output the product logs for each command.
    QFile scenarioFile(home.filePath(QStringLiteral("scenario.json")));
    const QJsonArray rules = scenarioFile.open(QIODevice::ReadOnly)
        ? QJsonDocument::fromJson(scenarioFile.readAll())
              .object()
              .value(QStringLiteral("rules"))
              .toArray()
        : QJsonArray();

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
    if (relayFile.open(QIODevice::ReadOnly))
        return relay(QJsonDocument::fromJson(relayFile.readAll()).object(), args);
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
