#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Two real copies of the shipped program on a virtual X server: the second one shows the
// "Warnning" box, logs its exit and ends with 0 once the box is answered; the first runs on.
class TestSecondInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void secondCopyWarnsAndExits();

private:
    QString runTool(const QStringList &arguments, int timeoutMs = 15000);
    QString waitForWindow(const QStringList &criteria);
    void startProgram(QProcess &process);

    QString m_xdotool;
    QString m_dist;
    QString m_program;
    QProcess m_xvfb;
    QString m_display;
    QTemporaryDir m_runtime;
};

void TestSecondInstance::initTestCase()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    m_xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xvfb.isEmpty() || m_xdotool.isEmpty())
        QSKIP("Xvfb or xdotool is not installed");

    m_dist = qEnvironmentVariable("ZEV_DIST_DIR");
    m_program = m_dist + QStringLiteral("/Tarvo2_UpgradeTool");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
    QVERIFY2(QFileInfo(m_dist + QStringLiteral("/Log")).isDir(), "the shipped folder has no Log/");
    QVERIFY(m_runtime.isValid());
    QFile::setPermissions(m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // Xvfb writes the display number it chose to the given descriptor once it is ready.
    m_xvfb.setProgram(xvfb);
    m_xvfb.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"),
                         QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                         QStringLiteral("-screen"), QStringLiteral("0"),
                         QStringLiteral("1920x1040x24")});
    m_xvfb.setProcessChannelMode(QProcess::SeparateChannels);
    m_xvfb.start();
    QVERIFY2(m_xvfb.waitForStarted(5000), qPrintable(m_xvfb.errorString()));
    QByteArray out;
    QDeadlineTimer deadline(15000);
    while (!out.contains('\n') && !deadline.hasExpired()) {
        m_xvfb.waitForReadyRead(200);
        out += m_xvfb.readAllStandardOutput();
    }
    QVERIFY2(out.contains('\n'), "Xvfb reported no display");
    m_display = QStringLiteral(":") + QString::fromLatin1(out.trimmed());
}

void TestSecondInstance::cleanupTestCase()
{
    if (m_xvfb.state() != QProcess::NotRunning) {
        m_xvfb.terminate();
        if (!m_xvfb.waitForFinished(5000))
            m_xvfb.kill();
        m_xvfb.waitForFinished(2000);
    }
}

QString TestSecondInstance::runTool(const QStringList &arguments, int timeoutMs)
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    tool.setProcessEnvironment(env);
    tool.start(m_xdotool, arguments);
    if (!tool.waitForStarted(5000))
        return QString();
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished(2000);
        return QString();
    }
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
}

QString TestSecondInstance::waitForWindow(const QStringList &criteria)
{
    return runTool(QStringList{QStringLiteral("search"), QStringLiteral("--sync"),
                               QStringLiteral("--onlyvisible"), QStringLiteral("--all")}
                   + criteria)
        .section(QLatin1Char('\n'), 0, 0);
}

void TestSecondInstance::startProgram(QProcess &process)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // The dialog draws nothing with OpenGL, and Mesa's GLX driver leaks at exit under ASan.
    env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    // The single-instance lock lives here, away from any copy the developer has running.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
    env.insert(QStringLiteral("TMPDIR"), m_runtime.path());
    env.insert(QStringLiteral("HOME"), m_runtime.path());
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("LC_ALL"));
    env.remove(QStringLiteral("LANGUAGE"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(m_program, QStringList());
}

void TestSecondInstance::secondCopyWarnsAndExits()
{
    const QString logPath = m_dist + QStringLiteral("/Log/")
                            + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))
                            + QStringLiteral(".log");
    const qint64 logBefore = QFileInfo(logPath).size();

    QProcess first;
    startProgram(first);
    QVERIFY2(first.waitForStarted(5000), qPrintable(first.errorString()));
    const QString pid1 = QString::number(first.processId());
    const QString mainWindow = waitForWindow({QStringLiteral("--pid"), pid1});
    QVERIFY2(!mainWindow.isEmpty(), "the first copy showed no window");

    // On a 1920x1040 screen the size rule gives 1066x577, clipped to the form's 700x400.
    const QString geometry =
        runTool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), mainWindow});
    QVERIFY2(geometry.contains(QStringLiteral("WIDTH=700")), qPrintable(geometry));
    QVERIFY2(geometry.contains(QStringLiteral("HEIGHT=400")), qPrintable(geometry));

    // Something the first copy's work folder holds: the second copy must not clean it away.
    const QString marker = m_dist + QStringLiteral("/download/2M/in-use.txt");
    {
        QFile file(marker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("in use");
    }

    QProcess second;
    startProgram(second);
    QVERIFY2(second.waitForStarted(5000), qPrintable(second.errorString()));
    const QString pid2 = QString::number(second.processId());
    const QString warning = waitForWindow(
        {QStringLiteral("--pid"), pid2, QStringLiteral("--name"), QStringLiteral("^Warnning$")});
    if (warning.isEmpty()) {
        second.kill();
        second.waitForFinished(2000);
        QFAIL("the second copy showed no \"Warnning\" box");
    }
    QCOMPARE(second.state(), QProcess::Running);

    // A box mapped a moment ago may not take keys yet; press again if it is still there.
    for (int attempt = 0; attempt < 5 && second.state() != QProcess::NotRunning; ++attempt) {
        runTool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), warning});
        runTool({QStringLiteral("key"), QStringLiteral("--window"), warning,
                 QStringLiteral("Return")});
        second.waitForFinished(2000);
    }
    if (second.state() != QProcess::NotRunning) {
        second.kill();
        second.waitForFinished(2000);
        QFAIL("the second copy did not exit after the box was answered");
    }
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);

    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(waitForWindow({QStringLiteral("--pid"), pid1}), mainWindow);
    QVERIFY(QFile::exists(marker));

    QFile log(logPath);
    QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(logPath));
    log.seek(logBefore);
    const QStringList lines =
        QString::fromLocal8Bit(log.readAll()).remove(QLatin1Char('\r')).split(QLatin1Char('\n'));
    const QRegularExpression format(QStringLiteral(
        "^\\[TarvoRobot::Info \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] (.*)$"));
    QStringList messages;
    for (const QString &line : lines) {
        if (line.isEmpty())
            continue;
        const QRegularExpressionMatch match = format.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        messages << match.captured(1);
    }
    // Each copy opens the log with two lines; only the first copy gets as far as the dialog.
    const QString asterisks(68, QLatin1Char('*'));
    const QString adbLine = QStringLiteral("adb path:%1/fastbootfile/adb.")
                                .arg(QFileInfo(m_dist).canonicalFilePath());
    const QStringList expected = {asterisks,
                                  QStringLiteral("create log"),
                                  QStringLiteral("UpgradeTool start."),
                                  adbLine,
                                  asterisks,
                                  QStringLiteral("create log"),
                                  QStringLiteral("UpgradeTool start."),
                                  QStringLiteral("UpgradeTool exit with already running.")};
    int next = 0;
    for (const QString &message : qAsConst(messages)) {
        if (next < expected.size() && message == expected.at(next))
            ++next;
    }
    QVERIFY2(next == expected.size(),
             qPrintable(QStringLiteral("missing \"%1\" in:\n%2")
                            .arg(expected.value(next), messages.join(QLatin1Char('\n')))));
    QCOMPARE(messages.count(QStringLiteral("UpgradeTool exit with already running.")), 1);
    QCOMPARE(messages.filter(QRegularExpression(QStringLiteral("^adb path:"))).size(), 1);

    // The first copy closes through its own close button, cleaning its work folder on the way.
    runTool({QStringLiteral("mousemove"), QStringLiteral("--window"), mainWindow,
             QStringLiteral("682"), QStringLiteral("17"), QStringLiteral("click"),
             QStringLiteral("1")});
    if (!first.waitForFinished(10000)) {
        first.kill();
        first.waitForFinished(2000);
        QFile::remove(marker);
        QFAIL("the first copy did not close through its close button");
    }
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    QVERIFY(!QFile::exists(marker));
}

QTEST_MAIN(TestSecondInstance)
#include "tst_second_instance.moc"
