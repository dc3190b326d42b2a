#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <map>

// The logger lives once per process and writes beside the program, so every case runs the probe
// program copied into a fresh folder of its own.
class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void noLogFolderMeansSilence();
    void firstLinesAndLevels();
    void appendsToTodaysFile();
    void concurrentLinesStayWhole();
    void diagnosticCategories_data();
    void diagnosticCategories();

private:
    QString installProbe(const QTemporaryDir &dir);
    bool runProbe(const QString &program, const QStringList &args, QByteArray *errors = nullptr,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    static QString todaysLog(const QString &folder);
};

namespace {

const QString kStars(68, QLatin1Char('*'));

const QRegularExpression kLinePattern(
    QStringLiteral("^\\[TarvoRobot::(Debug|Info|Warning|Error) "
                   "(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2})\\] (.*)$"));

struct Line
{
    QString level;
    QDateTime time;
    QString message;
};

bool parseLines(const QByteArray &content, QList<Line> &lines, QString &problem)
{
    if (!content.endsWith('\n')) {
        problem = QStringLiteral("file does not end with a line end");
        return false;
    }
#ifdef Q_OS_WIN
    // Text mode: every line ends in CR LF, and no CR stands anywhere else.
    if (content.count('\n') != content.count("\r\n") || content.count('\r') != content.count('\n')) {
        problem = QStringLiteral("line ends other than CR LF on Windows");
        return false;
    }
    const QStringList texts
        = QString::fromLocal8Bit(QByteArray(content).replace("\r\n", "\n")).split(QLatin1Char('\n'));
#else
    if (content.contains('\r')) {
        problem = QStringLiteral("carriage return on a POSIX system");
        return false;
    }
    const QStringList texts = QString::fromLocal8Bit(content).split(QLatin1Char('\n'));
#endif
    for (int i = 0; i + 1 < texts.size(); ++i) {
        const QRegularExpressionMatch match = kLinePattern.match(texts.at(i));
        if (!match.hasMatch()) {
            problem = QStringLiteral("malformed line %1: %2").arg(i + 1).arg(texts.at(i));
            return false;
        }
        lines.append({ match.captured(1),
            QDateTime::fromString(match.captured(2), QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            match.captured(3) });
    }
    return true;
}

} // namespace

QString TestLogger::installProbe(const QTemporaryDir &dir)
{
    const QString target = dir.filePath(QStringLiteral("utilsprobe"));
    if (!QFile::copy(QStringLiteral(ZEV_UTILS_PROBE), target))
        return QString();
    return target;
}

bool TestLogger::runProbe(const QString &program, const QStringList &args, QByteArray *errors,
    const QProcessEnvironment &environment)
{
    QProcess probe;
    probe.setProcessEnvironment(environment);
    probe.start(program, args);
    if (!probe.waitForStarted(5000) || !probe.waitForFinished(60000))
        return false;
    if (errors)
        *errors = probe.readAllStandardError();
    return probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

QString TestLogger::todaysLog(const QString &folder)
{
    return folder + QStringLiteral("/Log/")
        + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
}

void TestLogger::noLogFolderMeansSilence()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString probe = installProbe(dir);
    QVERIFY(!probe.isEmpty());

    QByteArray errors;
    QVERIFY(runProbe(probe,
        { QStringLiteral("lines"), QStringLiteral("Info"), QStringLiteral("hello"),
            QStringLiteral("Error"), QStringLiteral("bad") },
        &errors));
#ifndef Q_OS_WIN
    // A Windows process without a console gives Qt's warnings to the debugger, not to stderr.
    QCOMPARE(errors.count("Failed to open log file"), 1);
#endif
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("Log"))));
}

void TestLogger::firstLinesAndLevels()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString probe = installProbe(dir);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Log")));

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    QVERIFY(runProbe(probe,
        { QStringLiteral("lines"), QStringLiteral("Info"), QStringLiteral("UpgradeTool start."),
            QStringLiteral("Info"), QString(), QStringLiteral("Warning"), QStringLiteral("careful"),
            QStringLiteral("Error"), QStringLiteral("100% of %1 and %2 stay"),
            QStringLiteral("Debug"), QStringLiteral("adb path:\"/x y/adb\""),
            QStringLiteral("Info"), QStringLiteral("机器人") }));
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    QFile file(todaysLog(dir.path()));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    QList<Line> lines;
    QString problem;
    QVERIFY2(parseLines(file.readAll(), lines, problem), qPrintable(problem));

    const QList<QPair<QString, QString>> expected = {
        { QStringLiteral("Info"), kStars },
        { QStringLiteral("Info"), QStringLiteral("create log") },
        { QStringLiteral("Info"), QStringLiteral("UpgradeTool start.") },
        { QStringLiteral("Warning"), QStringLiteral("careful") },
        { QStringLiteral("Error"), QStringLiteral("100% of %1 and %2 stay") },
        { QStringLiteral("Debug"), QStringLiteral("adb path:\"/x y/adb\"") },
        { QStringLiteral("Info"), QStringLiteral("机器人") },
    };
    QCOMPARE(lines.size(), expected.size());
    for (int i = 0; i < lines.size(); ++i) {
        QCOMPARE(lines.at(i).level, expected.at(i).first);
        QCOMPARE(lines.at(i).message, expected.at(i).second);
        QVERIFY(lines.at(i).time >= before.addMSecs(-before.time().msec()));
        QVERIFY(lines.at(i).time <= after);
    }
}

void TestLogger::appendsToTodaysFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString probe = installProbe(dir);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Log")));
#ifdef Q_OS_WIN
    const QByteArray old = "[TarvoRobot::Info 2000-01-01 00:00:00] from an earlier start\r\n";
#else
    const QByteArray old = "[TarvoRobot::Info 2000-01-01 00:00:00] from an earlier start\n";
#endif
    {
        QFile file(todaysLog(dir.path()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(old), qint64(old.size()));
    }

    QVERIFY(runProbe(
        probe, { QStringLiteral("lines"), QStringLiteral("Info"), QStringLiteral("first") }));
    QVERIFY(runProbe(
        probe, { QStringLiteral("lines"), QStringLiteral("Info"), QStringLiteral("second") }));

    QFile file(todaysLog(dir.path()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.startsWith(old));
    QList<Line> lines;
    QString problem;
    QVERIFY2(parseLines(content, lines, problem), qPrintable(problem));
    QStringList messages;
    for (const Line &line : lines)
        messages << line.message;
    QCOMPARE(messages,
        QStringList({ QStringLiteral("from an earlier start"), kStars, QStringLiteral("create log"),
            QStringLiteral("first"), kStars, QStringLiteral("create log"),
            QStringLiteral("second") }));
}

void TestLogger::concurrentLinesStayWhole()
{
    const int threadCount = 8;
    const int lineCount = 2000;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString probe = installProbe(dir);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Log")));

    QElapsedTimer timer;
    timer.start();
    QVERIFY(runProbe(probe,
        { QStringLiteral("threads"), QString::number(threadCount), QString::number(lineCount) }));
    qInfo("%d threads x %d lines in %lld ms", threadCount, lineCount, timer.elapsed());

    QFile file(todaysLog(dir.path()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<Line> lines;
    QString problem;
    QVERIFY2(parseLines(file.readAll(), lines, problem), qPrintable(problem));
    QCOMPARE(lines.size(), 2 + threadCount * lineCount);
    QCOMPARE(lines.at(0).message, kStars);
    QCOMPARE(lines.at(1).message, QStringLiteral("create log"));

    // Each thread's lines arrive whole, in its own order, with the payload it wrote.
    const QRegularExpression payload(QStringLiteral("^t=(\\d+) n=(\\d+) ([a-z]+)$"));
    std::map<int, int> nextLine;
    for (int i = 2; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = payload.match(lines.at(i).message);
        QVERIFY2(match.hasMatch(), qPrintable(lines.at(i).message));
        const int t = match.captured(1).toInt();
        const int n = match.captured(2).toInt();
        QVERIFY(t >= 0 && t < threadCount);
        QCOMPARE(n, nextLine[t]);
        nextLine[t] = n + 1;
        QCOMPARE(match.captured(3), QString(40 + (t * 7 + n) % 160, QLatin1Char('a' + t % 26)));
    }
    for (int t = 0; t < threadCount; ++t)
        QCOMPARE(nextLine[t], lineCount);
}

void TestLogger::diagnosticCategories_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("level");
    QTest::addColumn<bool>("detail");

    QTest::newRow("off by default") << QString() << QByteArray() << "debug" << false;
    QTest::newRow("warnings off by default too") << QString() << QByteArray() << "warning" << false;
    QTest::newRow("switched off in config.json")
        << QString() << QByteArray("{\"debugLog\": false}") << "debug" << false;
    QTest::newRow("on through QT_LOGGING_RULES")
        << "zev.adb.debug=true" << QByteArray() << "debug" << true;
    QTest::newRow("on through config.json")
        << QString() << QByteArray("{\"debugLog\": true}") << "debug" << true;
    QTest::newRow("QT_LOGGING_RULES has the last word")
        << "zev.*.debug=false" << QByteArray("{\"debugLog\": true}") << "debug" << false;
}

// A library's diagnostic category reaches the day's file at level Debug only when turned on;
// nobody else's messages ever do.
void TestLogger::diagnosticCategories()
{
    QFETCH(QString, rules);
    QFETCH(QByteArray, config);
    QFETCH(QString, level);
    QFETCH(bool, detail);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString probe = installProbe(dir);
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Log")));
    if (!config.isEmpty()) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("config")));
        QFile file(dir.filePath(QStringLiteral("config/config.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(config), qint64(config.size()));
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!rules.isEmpty())
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
    QVERIFY(runProbe(probe, { QStringLiteral("diagnostics"), level }, nullptr, environment));

    QFile file(todaysLog(dir.path()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<Line> lines;
    QString problem;
    QVERIFY2(parseLines(file.readAll(), lines, problem), qPrintable(problem));
    QStringList written;
    for (const Line &line : lines)
        written << line.level + QLatin1Char(' ') + line.message;
    QStringList expected { QStringLiteral("Info ") + kStars, QStringLiteral("Info create log"),
        QStringLiteral("Info UpgradeTool start.") };
    if (detail)
        expected << QStringLiteral("Debug adb command: \"fastbootfile/adb\" shell df");
    QCOMPARE(written, expected);
}

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
