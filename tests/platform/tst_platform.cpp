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
#include <thread>

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

// A copy of a waiting program under a name of our choosing, so that killing by name touches
// nothing else: sleep, or on Windows the instance holder (it waits for its input to close).
QString makeDummy(const QTemporaryDir &dir, const QString &name)
{
    const QString path = dir.filePath(name);
#ifdef Q_OS_WIN
    const QString source = QStringLiteral(ZEV_INSTANCE_HOLDER);
#else
    const QString source = QStringLiteral("/bin/sleep");
#endif
    if (!QFile::copy(source, path))
        return QString();
    return path;
}

std::unique_ptr<QProcess> startDummy(const QString &program)
{
    auto process = std::make_unique<QProcess>();
#ifdef Q_OS_WIN
    static int started = 0;
    process->start(program,
        { QStringLiteral("zev-dummy-%1-%2").arg(QCoreApplication::applicationPid()).arg(++started) });
#else
    process->start(program, { QStringLiteral("60") });
#endif
    if (!process->waitForStarted(5000))
        return nullptr;
    return process;
}

// Ended from outside: a signal on POSIX; on Windows TerminateProcess with exit code 0, which the
// waiting dummy never returns by itself.
bool endedByKill(const QProcess &process)
{
#ifdef Q_OS_WIN
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
#else
    return process.exitStatus() == QProcess::CrashExit;
#endif
}

#ifdef Q_OS_WIN
const QString kExe = QStringLiteral(".exe");
#else
const QString kExe;
#endif

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
    void appendsThroughManyHandlesKeepEveryLine();
    void appendLockHeldElsewhereStallsNoWriter();

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
#ifdef Q_OS_WIN
    QCOMPARE(QByteArray(platform::adbProgramName()), QByteArray("adb.exe"));
    QCOMPARE(QByteArray(platform::adbRelativePath()), QByteArray("fastbootfile/adb.exe"));
#else
    QCOMPARE(QByteArray(platform::adbProgramName()), QByteArray("adb"));
    QCOMPARE(QByteArray(platform::adbRelativePath()), QByteArray("fastbootfile/adb"));
#endif
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
#ifdef Q_OS_WIN
    // The name the tool ends before every run; the Wine prefix is this build's alone.
    const QString targetName = QStringLiteral("adb.exe");
#else
    const QString targetName = QStringLiteral("ZevSleep_") + suffix;
#endif
    const QString target = makeDummy(dir, targetName);
    const QString bystander = makeDummy(dir, QStringLiteral("ZevSleepOther_") + suffix + kExe);
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

    QVERIFY(FileUtils::killProcessesByName(targetName.toUpper()));

    QVERIFY(firstDone.count() || firstDone.wait(5000));
    QVERIFY(secondDone.count() || secondDone.wait(5000));
    QVERIFY(endedByKill(*first));
    QVERIFY(endedByKill(*second));
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
    QVERIFY(endedByKill(*child));
    QVERIFY(hasProcess(platform::currentProcessId()));
}

void TestPlatform::nothingToKill()
{
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
#ifndef Q_OS_WIN
    QVERIFY(QFileInfo::exists(m_runtimeDir.filePath(name + QStringLiteral(".lock"))));
#endif

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
#ifdef Q_OS_WIN
    QSKIP("reads a child's descriptors in /proc; the Win32 mutex handle is made not inheritable");
#endif
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

// Each library appends to the daily log through a handle of its own, as here: four writers, every
// line kept whole.
void TestPlatform::appendsThroughManyHandlesKeepEveryLine()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string path = QDir::toNativeSeparators(dir.filePath(QStringLiteral("day.log")))
#ifdef Q_OS_WIN
                                 .toUtf8()
#else
                                 .toLocal8Bit()
#endif
                                 .toStdString();
    constexpr int kWriters = 4;
    constexpr int kLines = 1500;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&path, w] {
            platform::AppendLock lock(path);
            QFile file;
            if (!file.open(platform::openForAppend(path),
                    QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text,
                    QFileDevice::AutoCloseHandle))
                return;
            const QByteArray line = QByteArray("writer ") + QByteArray::number(w)
                + " .............................................\n";
            for (int n = 0; n < kLines; ++n) {
                lock.lock();
                file.write(line);
                file.flush();
                lock.unlock();
            }
        });
    }
    for (std::thread &writer : writers)
        writer.join();

    QFile log(dir.filePath(QStringLiteral("day.log")));
    QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
    QMap<QByteArray, int> counts;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (!line.isEmpty())
            ++counts[line];
    }
    QCOMPARE(counts.size(), kWriters);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        QVERIFY2(it.value() == kLines, it.key().constData());
}

// A copy stopped while it holds the lock costs another copy one bounded wait, not every line; one
// that ends without letting go hands the lock over.
void TestPlatform::appendLockHeldElsewhereStallsNoWriter()
{
#ifndef Q_OS_WIN
    QSKIP("POSIX appends are whole without a lock");
#endif
    const QString path
        = QStringLiteral("C:\\zev-append-%1.log").arg(QCoreApplication::applicationPid());
    QProcess holder;
    holder.start(QStringLiteral(ZEV_INSTANCE_HOLDER), { QStringLiteral("--append"), path });
    QVERIFY2(holder.waitForStarted(5000), qPrintable(holder.errorString()));
    QVERIFY(holder.waitForReadyRead(5000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

    platform::AppendLock lock(path.toStdString());
    QElapsedTimer waited;
    waited.start();
    QVERIFY(!lock.lock());
    QVERIFY(waited.restart() >= platform::AppendLock::kWaitMs - 50);
    QVERIFY(!lock.lock());
    QVERIFY(waited.elapsed() < platform::AppendLock::kWaitMs / 2);

    holder.kill();
    QVERIFY(holder.waitForFinished(5000));
    QVERIFY(lock.lock());
    lock.unlock();
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
