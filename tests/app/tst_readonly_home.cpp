#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// A copy of the shipped program started from a writable and from a read-only folder: every line
// it logs at start lands in the day's file, beside it or else in the user's data folder, and the
// work folders go with the log. Root writes through any permission bits, so as root the program
// runs as "nobody".
class TestReadOnlyHome : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void logLandsInWritableHome_data();
    void logLandsInWritableHome();

private:
    QString m_setpriv;
};

namespace {

const uid_t kNobody = 65534;

QStringList logMessages(const QString &path, const QString &level)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QRegularExpression format(
        QStringLiteral("^\\[TarvoRobot::%1 [-0-9: ]{19}\\] (.*)$").arg(level));
    QStringList messages;
    for (const QString &line : QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = format.match(line);
        if (match.hasMatch())
            messages << match.captured(1);
    }
    return messages;
}

} // namespace

void TestReadOnlyHome::initTestCase()
{
    if (::geteuid() == 0) {
        m_setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (m_setpriv.isEmpty())
            QSKIP("running as root without setpriv: a folder cannot be made read-only");
    }
}

void TestReadOnlyHome::logLandsInWritableHome_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("writable program folder") << false;
    QTest::newRow("read-only program folder") << true;
}

void TestReadOnlyHome::logLandsInWritableHome()
{
    QFETCH(bool, readOnly);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString program = root.filePath(QStringLiteral("dist"));
    const QString user = root.filePath(QStringLiteral("user"));
    const QString data = user + QStringLiteral("/data/Tarvo2_UpgradeTool");
    QVERIFY(QDir().mkpath(program + QStringLiteral("/Log")));
    QVERIFY(QDir().mkpath(program + QStringLiteral("/config")));
    QVERIFY(QDir().mkpath(user));
    QVERIFY(QFile::setPermissions(user, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QDir dist(qEnvironmentVariable("ZEV_DIST_DIR"));
    for (const QFileInfo &file : dist.entryInfoList(QDir::Files))
        QVERIFY(QFile::copy(file.filePath(), program + QLatin1Char('/') + file.fileName()));
    QVERIFY(
        QFile::copy(QStringLiteral(ZEV_REPORT_PROBE), program + QStringLiteral("/reportprobe")));
    {
        // Read beside the program even when it writes elsewhere: the diagnostic line shows up.
        QFile config(program + QStringLiteral("/config/config.json"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(R"({"debugLog": true})");
    }

    const QFile::Permissions readExecute = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    const QFile::Permissions writable = readExecute | QFile::WriteOwner;
    QVERIFY(QFile::setPermissions(root.path(), writable));
    const bool asNobody = !m_setpriv.isEmpty();
    if (asNobody) {
        QVERIFY(::chown(QFile::encodeName(user).constData(), kNobody, kNobody) == 0);
        if (!readOnly) {
            for (const QString &folder : { program, program + QStringLiteral("/Log") })
                QVERIFY(::chown(QFile::encodeName(folder).constData(), kNobody, kNobody) == 0);
        }
    } else if (readOnly) {
        QVERIFY(QFile::setPermissions(program, readExecute));
    }
    const auto restore = qScopeGuard([&] { QFile::setPermissions(program, writable); });

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), user);
    env.insert(QStringLiteral("XDG_DATA_HOME"), user + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), user);
    env.insert(QStringLiteral("TMPDIR"), user);
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    const auto start = [&](QProcess &process, const QString &name, const QStringList &args) {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        const QString executable = program + QLatin1Char('/') + name;
        if (asNobody)
            process.start(m_setpriv,
                QStringList { QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                    QStringLiteral("--clear-groups"), executable }
                    + args);
        else
            process.start(executable, args);
    };
    QProcess tool;
    start(tool, QStringLiteral("Tarvo2_UpgradeTool"), {});
    QVERIFY2(tool.waitForStarted(5000), qPrintable(tool.errorString()));

    const QString home = readOnly ? data : program;
    const QString log = home + QStringLiteral("/Log/")
        + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
    // The dialog's constructor logs the adb path and then makes the work folders.
    const QString lastFolder = home + QStringLiteral("/download/5M");
    QTRY_VERIFY_WITH_TIMEOUT(
        QFileInfo(lastFolder).isDir() || tool.state() == QProcess::NotRunning, 20000);
    tool.terminate();
    QVERIFY(tool.waitForFinished(5000));

    const QStringList expected = {
        QString(68, QLatin1Char('*')), QStringLiteral("create log"),
        QStringLiteral("UpgradeTool start."),
        QStringLiteral("adb path:%1/fastbootfile/adb.").arg(QFileInfo(program).canonicalFilePath())
    };
    QCOMPARE(logMessages(log, QStringLiteral("Info")), expected);
    const QStringList where
        = logMessages(log, QStringLiteral("Debug")).filter(QStringLiteral("The program's folder"));
    QCOMPARE(where.size(), readOnly ? 1 : 0);
    if (readOnly) {
        QVERIFY2(where.first().contains(data), qPrintable(where.first()));
        QCOMPARE(QDir(program)
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                     .filter(QRegularExpression(QStringLiteral("^(download|\\..*)$"))),
            QStringList());
        QVERIFY(QDir(program + QStringLiteral("/Log")).isEmpty());
    } else {
        QVERIFY(!QFileInfo::exists(user + QStringLiteral("/data")));
    }
    for (const char *folder : { "download/2M", "download/5M", "config" })
        QVERIFY2(QFileInfo(home + QLatin1Char('/') + QLatin1String(folder)).isDir(), folder);

    // A report the web service did not take is kept where the next run can send it.
    QProcess reporter;
    start(reporter, QStringLiteral("reportprobe"), { QStringLiteral("http://127.0.0.1:1") });
    QVERIFY(reporter.waitForFinished(90000));
    QCOMPARE(reporter.exitCode(), 0);
    QVERIFY(QFileInfo::exists(home + QStringLiteral("/pending_reports.json")));
}

QTEST_MAIN(TestReadOnlyHome)
#include "tst_readonly_home.moc"
