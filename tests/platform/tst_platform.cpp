#include <fileutils.h>
#include <platform.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

bool hasProcess(std::int64_t pid, std::string *name = nullptr)
{
    std::vector<platform::ProcessEntry> processes;
    if (!platform::listProcesses(processes))
        return false;
    for (const auto &process : processes) {
        if (process.pid == pid) {
            if (name)
                *name = process.executableName;
            return true;
        }
    }
    return false;
}

// A copy of sleep under a name of our choosing, so that killing by name touches nothing else.
QString makeDummy(const QTemporaryDir &dir, const QString &name)
{
    const QString path = dir.filePath(name);
    if (!QFile::copy(QStringLiteral("/bin/sleep"), path))
        return QString();
    return path;
}

std::unique_ptr<QProcess> startDummy(const QString &program)
{
    auto process = std::make_unique<QProcess>();
    process->start(program, { QStringLiteral("60") });
    if (!process->waitForStarted(5000))
        return nullptr;
    return process;
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void adbNames();
    void listsItself();
    void killsByNameIgnoringCase();
    void neverKillsTheCaller();
    void nothingToKill();
    void singleInstanceHeldByAnotherProcess();
    void singleInstanceLockIsNotInherited();

private:
    QTemporaryDir m_runtimeDir;
    QString m_ownName;
};

void TestPlatform::initTestCase()
{
    QVERIFY(m_runtimeDir.isValid());
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    // The lock files go to a folder of this test alone.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtimeDir.path()));
    m_ownName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

void TestPlatform::adbNames()
{
    QCOMPARE(QByteArray(platform::adbProgramName()), QByteArray("adb"));
    QCOMPARE(QByteArray(platform::adbRelativePath()), QByteArray("fastbootfile/adb"));
}

void TestPlatform::listsItself()
{
    std::string name;
    QCOMPARE(platform::currentProcessId(), std::int64_t(QCoreApplication::applicationPid()));
    QVERIFY(hasProcess(platform::currentProcessId(), &name));
    QCOMPARE(QString::fromStdString(name), m_ownName);
}

void TestPlatform::killsByNameIgnoringCase()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString suffix = QString::number(QCoreApplication::applicationPid());
    const QString target = makeDummy(dir, QStringLiteral("ZevSleep_") + suffix);
    const QString bystander = makeDummy(dir, QStringLiteral("ZevSleepOther_") + suffix);
    QVERIFY(!target.isEmpty() && !bystander.isEmpty());

    auto first = startDummy(target);
    auto second = startDummy(target);
    auto other = startDummy(bystander);
    QVERIFY(first && second && other);
    // The name shows once the child has executed the copy.
    QTRY_VERIFY_WITH_TIMEOUT(
        hasProcess(first->processId()) && hasProcess(second->processId()), 5000);

    QSignalSpy firstDone(
        first.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QSignalSpy secondDone(
        second.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QVERIFY(firstDone.isValid() && secondDone.isValid());

    QVERIFY(FileUtils::killProcessesByName(QStringLiteral("zevsleep_") + suffix));

    QVERIFY(firstDone.count() || firstDone.wait(5000));
    QVERIFY(secondDone.count() || secondDone.wait(5000));
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);
    QCOMPARE(second->exitStatus(), QProcess::CrashExit);
    QCOMPARE(other->state(), QProcess::Running);

    other->kill();
    QVERIFY(other->waitForFinished(5000));
}

void TestPlatform::neverKillsTheCaller()
{
    // A child carrying the caller's own name dies; the caller lives on.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString twin = makeDummy(dir, m_ownName);
    QVERIFY(!twin.isEmpty());
    auto child = startDummy(twin);
    QVERIFY(child);
    QSignalSpy done(child.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QTRY_VERIFY_WITH_TIMEOUT(hasProcess(child->processId()), 5000);

    QVERIFY(platform::killProcessesByName(m_ownName.toUpper().toStdString()));
    QVERIFY(done.count() || done.wait(5000));
    QCOMPARE(child->exitStatus(), QProcess::CrashExit);
    QVERIFY(hasProcess(platform::currentProcessId()));
}

void TestPlatform::nothingToKill()
{
    QVERIFY(platform::killProcessesByName("adb.exe"));
    QVERIFY(FileUtils::killProcessesByName(
        QStringLiteral("zev-no-such-program-%1").arg(QCoreApplication::applicationPid())));
    QVERIFY(platform::killProcessesByName(std::string()));
}

void TestPlatform::singleInstanceHeldByAnotherProcess()
{
    const QString name
        = QStringLiteral("Tarvo2UpgradeTool-test-%1").arg(QCoreApplication::applicationPid());

    QProcess holder;
    holder.start(QStringLiteral(ZEV_INSTANCE_HOLDER), { name });
    QVERIFY2(holder.waitForStarted(5000), qPrintable(holder.errorString()));
    QVERIFY(holder.waitForReadyRead(5000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
    QVERIFY(QFileInfo::exists(m_runtimeDir.filePath(name + QStringLiteral(".lock"))));

    QVERIFY(!platform::acquireSingleInstance(name.toStdString()));

    QProcess second;
    second.start(QStringLiteral(ZEV_INSTANCE_HOLDER), { name });
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.readAllStandardOutput().trimmed(), QByteArray("refused"));
    QCOMPARE(second.exitCode(), 3);

    // Killed without any clean-up, the holder's token goes with it.
    holder.kill();
    QVERIFY(holder.waitForFinished(5000));
    QVERIFY(platform::acquireSingleInstance(name.toStdString()));
    QVERIFY(platform::acquireSingleInstance(name.toStdString()));

    QProcess third;
    third.start(QStringLiteral(ZEV_INSTANCE_HOLDER), { name });
    QVERIFY(third.waitForFinished(5000));
    QCOMPARE(third.readAllStandardOutput().trimmed(), QByteArray("refused"));

    // Another name is another token; a slash in it cannot leave the folder.
    QProcess unrelated;
    unrelated.start(QStringLiteral(ZEV_INSTANCE_HOLDER), { name + QStringLiteral("/other") });
    QVERIFY(unrelated.waitForReadyRead(5000));
    QCOMPARE(unrelated.readLine().trimmed(), QByteArray("held"));
    unrelated.closeWriteChannel();
    QVERIFY(unrelated.waitForFinished(5000));
    QCOMPARE(unrelated.exitCode(), 0);
}

void TestPlatform::singleInstanceLockIsNotInherited()
{
    const QString name
        = QStringLiteral("Tarvo2UpgradeTool-fd-%1").arg(QCoreApplication::applicationPid());
    QVERIFY(platform::acquireSingleInstance(name.toStdString()));
    const QString lockFile = m_runtimeDir.filePath(name + QStringLiteral(".lock"));

    QProcess child;
    child.start(QStringLiteral("/bin/sleep"), { QStringLiteral("60") });
    QVERIFY(child.waitForStarted(5000));
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(child.processId()));
    QStringList targets;
    for (const QFileInfo &fd :
        fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        targets << fd.symLinkTarget();
    child.kill();
    QVERIFY(child.waitForFinished(5000));
    QVERIFY(!targets.isEmpty());
    QVERIFY2(!targets.contains(lockFile), qPrintable(targets.join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
