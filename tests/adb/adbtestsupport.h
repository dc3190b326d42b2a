#pragma once

#include <adbconductor.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

// One answer of the sink, as the test reads it.
struct SinkEvent
{
    QString kind; // robot, installing, one, all, pushOne, pushAll, uninstallStart
    RobotTarvo2Ptr robot;
    AppPtr app;
    int code = 0;
    QByteArray message;
    QString fileName;
    int done = 0;
    int total = 0;
    QThread *thread = nullptr;

    // Compact form for comparing sequences: kind[:app or file][:code][:done/total].
    QString brief() const
    {
        QString text = kind;
        if (app)
            text += QLatin1Char(':') + app->name;
        if (kind == QLatin1String("pushOne"))
            text += QStringLiteral(":%1:%2/%3").arg(fileName).arg(done).arg(total);
        if (kind != QLatin1String("uninstallStart") && kind != QLatin1String("installing")
            && kind != QLatin1String("pushOne"))
            text += QLatin1Char(':') + QString::number(code);
        return text;
    }
};

class RecordingSink : public QObject, public IAdbConductorEvent
{
    Q_OBJECT
public:
    QList<SinkEvent> events;

    QStringList briefs() const
    {
        QStringList list;
        for (const SinkEvent &e : events)
            list.append(e.brief());
        return list;
    }
    int count(const QString &kind) const
    {
        int n = 0;
        for (const SinkEvent &e : events)
            n += e.kind == kind ? 1 : 0;
        return n;
    }
    const SinkEvent *last(const QString &kind) const
    {
        for (int i = events.size() - 1; i >= 0; --i) {
            if (events.at(i).kind == kind)
                return &events.at(i);
        }
        return nullptr;
    }

    void onGetRobotBaseInfo(RobotTarvo2Ptr robot, utils::ZEVErrorPtr error) override
    {
        SinkEvent e = make(QStringLiteral("robot"), error);
        e.robot = robot;
        add(e);
    }
    void onInstallingApp(AppPtr app, utils::ZEVErrorPtr error) override
    {
        SinkEvent e = make(QStringLiteral("installing"), error);
        e.app = app;
        add(e);
    }
    void onInstallAllFinished(utils::ZEVErrorPtr error) override
    {
        add(make(QStringLiteral("all"), error));
    }
    void onInstallOneFinished(AppPtr app, utils::ZEVErrorPtr error) override
    {
        SinkEvent e = make(QStringLiteral("one"), error);
        e.app = app;
        add(e);
    }
    void onPushFilesFinished(utils::ZEVErrorPtr error) override
    {
        add(make(QStringLiteral("pushAll"), error));
    }
    void onPushOneFileFinished(
        QString fileName, utils::ZEVErrorPtr error, int nDone, int nTotal) override
    {
        SinkEvent e = make(QStringLiteral("pushOne"), error);
        e.fileName = fileName;
        e.done = nDone;
        e.total = nTotal;
        add(e);
    }
    void onUninstallStart() override { add(make(QStringLiteral("uninstallStart"), nullptr)); }

signals:
    void received();

private:
    static SinkEvent make(const QString &kind, const utils::ZEVErrorPtr &error)
    {
        SinkEvent e;
        e.kind = kind;
        if (error) {
            e.code = error->errorCode();
            e.message = QByteArray::fromStdString(error->errorMessage());
        }
        e.thread = QThread::currentThread();
        return e;
    }
    void add(const SinkEvent &e)
    {
        events.append(e);
        emit received();
    }
};

// A copy of the fake adb program in a folder of its own, under a name no other test uses, so
// that ending "every adb" by name touches only this test's copies.
class FakeAdb
{
public:
    bool setUp()
    {
        if (!dir.isValid())
            return false;
#ifdef Q_OS_WIN
        const QString suffix = QStringLiteral(".exe");
#else
        const QString suffix;
#endif
        const QString source
            = QCoreApplication::applicationDirPath() + QStringLiteral("/fakeadb") + suffix;
        program = dir.filePath(
            QStringLiteral("fadb%1").arg(QCoreApplication::applicationPid() % 100000) + suffix);
        return QFile::copy(source, program)
            && QFile::setPermissions(program, QFile::permissions(source));
    }
    QString sdk() const { return QLatin1Char('"') + program + QLatin1Char('"'); }
    QString path(const QString &name) const { return dir.filePath(name); }

    // rules: pattern -> responses, first match answers.
    void setRules(const QJsonArray &rules)
    {
        QFile file(dir.filePath(QStringLiteral("scenario.json")));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(QJsonDocument(QJsonObject { { QStringLiteral("rules"), rules } }).toJson());
        QFile::remove(dir.filePath(QStringLiteral("argv.log")));
    }

    QList<QStringList> calls() const
    {
        QList<QStringList> result;
        QFile log(dir.filePath(QStringLiteral("argv.log")));
        if (!log.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &line : log.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            QStringList args;
            for (const QJsonValue &v : QJsonDocument::fromJson(line).array())
                args.append(v.toString());
            result.append(args);
        }
        return result;
    }
    QStringList joinedCalls() const
    {
        QStringList result;
        for (const QStringList &args : calls())
            result.append(args.join(QLatin1Char(' ')));
        return result;
    }

    static QJsonObject answer(const QString &out, int delayMs = 0, bool hang = false)
    {
        return QJsonObject { { QStringLiteral("out"), out }, { QStringLiteral("delayMs"), delayMs },
            { QStringLiteral("hang"), hang } };
    }
    static QJsonObject rule(const QString &pattern, const QJsonArray &responses)
    {
        return QJsonObject { { QStringLiteral("match"), pattern },
            { QStringLiteral("responses"), responses } };
    }

    QTemporaryDir dir;
    QString program;
};
