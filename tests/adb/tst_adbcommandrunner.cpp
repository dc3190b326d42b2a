// The one command runner of the adb workers, run against real programs: the arguments reach the
// program exactly, the channels, the time limit, abort, and no child left behind.
#include "adbworker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class CommandRunner : public AdbWorker
{
public:
    using AdbWorker::runCommand;
};

QString merged(int lines)
{
    QString text;
    for (int i = 0; i < lines; ++i)
        text += QStringLiteral("out%1\nerr%1\n").arg(i);
    return text;
}

QString outOnly(int lines)
{
    QString text;
    for (int i = 0; i < lines; ++i)
        text += QStringLiteral("out%1\n").arg(i);
    return text;
}

// Lines "N -> target" of an "ls -l /proc/self/fd" listing, by descriptor number.
QMap<int, QString> descriptors(const QString &listing)
{
    QMap<int, QString> map;
    const QRegularExpression line(QStringLiteral("\\s(\\d+) -> (.*)$"));
    for (const QString &text : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = line.match(text);
        if (m.hasMatch())
            map.insert(m.captured(1).toInt(), m.captured(2));
    }
    return map;
}

} // namespace

Q_DECLARE_METATYPE(AdbWorker::Channels)

class TestAdbCommandRunner : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void argumentsReachTheProgramExactly_data();
    void argumentsReachTheProgramExactly();
    void channels_data();
    void channels();
    void largeOutputNeverBlocks_data();
    void largeOutputNeverBlocks();
    void timeLimit_data();
    void timeLimit();
    void childEndingBeforeItsOutputPipe();
    void abortFromAnotherThread();
    void programThatCannotStart_data();
    void programThatCannotStart();
    void standardInputAtEnd_data();
    void standardInputAtEnd();
    void environmentFolderAndPath();
    void signalsAreTheChildsDefaults();
    void onlyTheOutputPipeIsInherited_data();
    void onlyTheOutputPipeIsInherited();
};

void TestAdbCommandRunner::initTestCase()
{
    // The log file is opened by the first command; later cases close the standard streams.
    QCOMPARE(CommandRunner().runCommand(
                 QStringLiteral("/bin/echo ready"), 5000, AdbWorker::Channels::Merged),
        QStringLiteral("ready\n"));
}

void TestAdbCommandRunner::cleanup()
{
    // Every child of every case has been reaped: nothing running, no zombie.
    errno = 0;
    const pid_t left = ::waitpid(-1, nullptr, WNOHANG);
    QCOMPARE(left, pid_t(-1));
    QCOMPARE(errno, ECHILD);
}

void TestAdbCommandRunner::argumentsReachTheProgramExactly_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QStringList>("arguments");

    const QString printf = QStringLiteral("/usr/bin/printf [%s]\\n ");
    QTest::newRow("plain words") << printf + QStringLiteral("shell cat /system/build.prop")
                                 << QStringList { "shell", "cat", "/system/build.prop" };
    QTest::newRow("double blanks between words")
        << printf + QStringLiteral("  shell  cat   x  ") << QStringList { "shell", "cat", "x" };
    QTest::newRow("blanks inside quotes")
        << printf + QStringLiteral("\"/pkg/my apps/a b.apk\" \"  lead and trail  \"")
        << QStringList { "/pkg/my apps/a b.apk", "  lead and trail  " };
    QTest::newRow("a literal quote is three quotes")
        << printf + QStringLiteral("say\"\"\"hi\"\"\" \"in \"\"\"quotes\"\"\" too\"")
        << QStringList { "say\"hi\"", "in \"quotes\" too" };
    QTest::newRow("shell characters are not a shell's")
        << printf + QStringLiteral("$HOME ; `id` && | > * $(echo x) 'single' \\n %d %%")
        << QStringList { "$HOME", ";", "`id`", "&&", "|", ">", "*", "$(echo", "x)", "'single'",
               "\\n", "%d", "%%" };
    QTest::newRow("non-ASCII text")
        << printf + QStringLiteral("Grüße \"机器人 升级\" émoji😀")
        << QStringList { QStringLiteral("Grüße"), QStringLiteral("机器人 升级"),
               QStringLiteral("émoji😀") };
    QTest::newRow("through sh -c and $@")
        << QStringLiteral("/bin/sh -c \"printf '[%s]\\n' \"\"\"$@\"\"\"\" sh \"a  b\" \"$x;y\"")
        << QStringList { "a  b", "$x;y" };
}

void TestAdbCommandRunner::argumentsReachTheProgramExactly()
{
    QFETCH(QString, commandLine);
    QFETCH(QStringList, arguments);

    CommandRunner runner;
    QString expected;
    for (const QString &argument : arguments)
        expected += QLatin1Char('[') + argument + QStringLiteral("]\n");
    QCOMPARE(runner.runCommand(commandLine, 5000, AdbWorker::Channels::Merged), expected);
}

void TestAdbCommandRunner::channels_data()
{
    QTest::addColumn<AdbWorker::Channels>("channels");
    QTest::addColumn<QString>("expected");

    QTest::newRow("merged keeps the order of the writes")
        << AdbWorker::Channels::Merged << merged(200);
    QTest::newRow("standard output only") << AdbWorker::Channels::StandardOutput << outOnly(200);
}

void TestAdbCommandRunner::channels()
{
    QFETCH(AdbWorker::Channels, channels);
    QFETCH(QString, expected);

    CommandRunner runner;
    const QString script = QStringLiteral(
        "i=0; while [ $i -lt 200 ]; do echo out$i; echo err$i >&2; i=$((i+1)); done");
    QCOMPARE(runner.runCommand(QStringLiteral("/bin/sh -c \"%1\"").arg(script), 10000, channels),
        expected);
}

void TestAdbCommandRunner::largeOutputNeverBlocks_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<AdbWorker::Channels>("channels");
    QTest::addColumn<int>("timeLimit");
    QTest::addColumn<int>("expectedSize");
    QTest::addColumn<QString>("expectedEnd");

    const int mib = 1024 * 1024;
    QTest::newRow("1 MiB on standard output")
        << "yes abcdefg | head -c 1048576" << AdbWorker::Channels::StandardOutput
        << int(AdbWorker::NoTimeLimit) << mib << "abcdefg\nabcdefg\n";
    QTest::newRow("1 MiB merged, with a time limit")
        << "yes abcdefg | head -c 1048576 >&2; echo end" << AdbWorker::Channels::Merged << 20000
        << mib + 4 << "\nend\n";
    QTest::newRow("1 MiB on the dropped standard error")
        << "yes abcdefg | head -c 1048576 >&2; echo end" << AdbWorker::Channels::StandardOutput
        << 20000 << 4 << "end\n";
}

void TestAdbCommandRunner::largeOutputNeverBlocks()
{
    QFETCH(QString, script);
    QFETCH(AdbWorker::Channels, channels);
    QFETCH(int, timeLimit);
    QFETCH(int, expectedSize);
    QFETCH(QString, expectedEnd);

    CommandRunner runner;
    QElapsedTimer elapsed;
    elapsed.start();
    const QString out
        = runner.runCommand(QStringLiteral("/bin/sh -c \"%1\"").arg(script), timeLimit, channels);
    QCOMPARE(out.size(), expectedSize);
    QVERIFY2(out.endsWith(expectedEnd), qPrintable(out.right(20)));
    QVERIFY2(elapsed.elapsed() < 10000, qPrintable(QString::number(elapsed.elapsed())));
}

void TestAdbCommandRunner::timeLimit_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    QTest::newRow("ends at SIGTERM") << "echo before; exec sleep 5" << 300 << 1200;
    QTest::newRow("SIGTERM ignored, SIGKILL a second later")
        << "trap '' TERM; echo before; exec sleep 5" << 1250 << 2800;
    QTest::newRow("writes on its way out")
        << "trap 'echo late; exit 3' TERM; echo before; while :; do sleep 0.05; done" << 300
        << 1200;
}

void TestAdbCommandRunner::timeLimit()
{
    QFETCH(QString, script);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    CommandRunner runner;
    QElapsedTimer elapsed;
    elapsed.start();
    const QString out = runner.runCommand(
        QStringLiteral("/bin/sh -c \"%1\"").arg(script), 300, AdbWorker::Channels::Merged);
    const qint64 ms = elapsed.elapsed();
    // What was written before the limit, nothing after it.
    QCOMPARE(out, QStringLiteral("before\n"));
    QVERIFY2(ms >= minMs && ms <= maxMs, qPrintable(QString::number(ms)));
}

void TestAdbCommandRunner::childEndingBeforeItsOutputPipe()
{
    // As "adb start-server" does: the server it leaves behind may hold the pipe; the command is
    // over when adb itself has ended.
    CommandRunner runner;
    QElapsedTimer elapsed;
    elapsed.start();
    const QString out = runner.runCommand(QStringLiteral("/bin/sh -c \"sleep 3 & echo started\""),
        AdbWorker::NoTimeLimit, AdbWorker::Channels::Merged);
    QCOMPARE(out, QStringLiteral("started\n"));
    QVERIFY2(elapsed.elapsed() < 2000, qPrintable(QString::number(elapsed.elapsed())));
}

void TestAdbCommandRunner::abortFromAnotherThread()
{
    CommandRunner runner;
    QSemaphore started;
    QString out = QStringLiteral("not returned");
    std::atomic<qint64> returnedAt { -1 };
    QElapsedTimer clock;
    clock.start();
    // The program marks that its output is written before it goes quiet.
    QTemporaryDir dir;
    const QString mark = dir.filePath(QStringLiteral("written"));
    QThread *thread = QThread::create([&] {
        out = runner.runCommand(
            QStringLiteral("/bin/sh -c \"echo partial; : > '%1'; exec sleep 30\"").arg(mark),
            AdbWorker::NoTimeLimit, AdbWorker::Channels::Merged, [&] { started.release(); });
        returnedAt = clock.elapsed();
    });
    thread->start();
    QVERIFY(started.tryAcquire(1, 5000));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(mark), 5000);
    const qint64 abortedAt = clock.elapsed();
    runner.abort();
    QVERIFY(thread->wait(5000));
    delete thread;

    QCOMPARE(out, QStringLiteral("partial\n"));
    QVERIFY2(returnedAt - abortedAt < 500, qPrintable(QString::number(returnedAt - abortedAt)));
    // Once aborted, nothing more starts.
    bool calledAgain = false;
    QCOMPARE(runner.runCommand(QStringLiteral("/bin/echo x"), 1000, AdbWorker::Channels::Merged,
                 [&] { calledAgain = true; }),
        QString());
    QVERIFY(!calledAgain);
}

void TestAdbCommandRunner::programThatCannotStart_data()
{
    QTest::addColumn<QString>("commandLine");

    QTest::newRow("missing path") << "\"/nonexistent folder/adb\" shell ls";
    QTest::newRow("name not on PATH") << "zev-no-such-program-4711 devices";
    QTest::newRow("a folder") << "/tmp devices";
    QTest::newRow("not executable") << "/etc/passwd x";
    QTest::newRow("only blanks") << "   ";
}

void TestAdbCommandRunner::programThatCannotStart()
{
    QFETCH(QString, commandLine);

    CommandRunner runner;
    int startedCalls = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(runner.runCommand(commandLine, AdbWorker::NoTimeLimit, AdbWorker::Channels::Merged,
                 [&] { ++startedCalls; }),
        QString());
    QVERIFY(elapsed.elapsed() < 2000);
    // The start was attempted, so the step's "start" log line follows as it always did; an empty
    // line has no program to attempt.
    QCOMPARE(startedCalls, commandLine.trimmed().isEmpty() ? 0 : 1);
}

void TestAdbCommandRunner::standardInputAtEnd_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QString>("expected");

    QTest::newRow("cat") << "/bin/cat"
                         << "";
    QTest::newRow("read") << "/bin/sh -c \"read line; echo status $?\""
                          << "status 1\n";
}

void TestAdbCommandRunner::standardInputAtEnd()
{
    QFETCH(QString, commandLine);
    QFETCH(QString, expected);

    CommandRunner runner;
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(runner.runCommand(commandLine, 5000, AdbWorker::Channels::Merged), expected);
    QVERIFY2(elapsed.elapsed() < 2000, qPrintable(QString::number(elapsed.elapsed())));
}

void TestAdbCommandRunner::environmentFolderAndPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString script = dir.filePath(QStringLiteral("zev-probe"));
    {
        QFile f(script);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\necho \"probe $ZEV_LAUNCH_PROBE $(pwd) $*\"\n");
    }
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner));

    const QByteArray oldPath = qgetenv("PATH");
    const QString oldFolder = QDir::currentPath();
    qputenv("ZEV_LAUNCH_PROBE", "v a l");
    qputenv("PATH", QFile::encodeName(dir.path()) + ':' + oldPath);
    QVERIFY(QDir::setCurrent(dir.path()));

    CommandRunner runner;
    const QString folder = QDir::current().canonicalPath();
    const QString byName = runner.runCommand(
        QStringLiteral("zev-probe one"), 5000, AdbWorker::Channels::StandardOutput);
    const QString byRelativePath = runner.runCommand(
        QStringLiteral("./zev-probe two"), 5000, AdbWorker::Channels::StandardOutput);

    QDir::setCurrent(oldFolder);
    qputenv("PATH", oldPath);
    qunsetenv("ZEV_LAUNCH_PROBE");

    QCOMPARE(byName, QStringLiteral("probe v a l %1 one\n").arg(folder));
    QCOMPARE(byRelativePath, QStringLiteral("probe v a l %1 two\n").arg(folder));
}

void TestAdbCommandRunner::signalsAreTheChildsDefaults()
{
    // The worker thread may block signals and the program may ignore some; adb must not inherit
    // either.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldUsr1 = {};
    struct sigaction oldPipe = {};
    QCOMPARE(::sigaction(SIGUSR1, &ignore, &oldUsr1), 0);
    QCOMPARE(::sigaction(SIGPIPE, &ignore, &oldPipe), 0);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGCHLD);
    sigset_t oldMask;
    QCOMPARE(::pthread_sigmask(SIG_BLOCK, &block, &oldMask), 0);

    CommandRunner runner;
    const QString status
        = runner.runCommand(QStringLiteral("/bin/grep -E ^Sig(Blk|Ign): /proc/self/status"), 5000,
            AdbWorker::Channels::Merged);

    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    ::sigaction(SIGUSR1, &oldUsr1, nullptr);
    ::sigaction(SIGPIPE, &oldPipe, nullptr);

    const QStringList lines = status.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("SigBlk:\t0000000000000000"));
    QVERIFY(lines.at(1).startsWith(QLatin1String("SigIgn:\t")));
    bool ok = false;
    quint64 ignored = lines.at(1).mid(8).toULongLong(&ok, 16);
    QVERIFY(ok);
    // The C library's own signals below SIGRTMIN are its business: its posix_spawn leaves them
    // ignored in every child, and the library sets them up again wherever it uses them.
    for (int number = 32; number < SIGRTMIN; ++number)
        ignored &= ~(quint64(1) << (number - 1));
    QCOMPARE(QString::number(ignored, 16), QStringLiteral("0"));
}

void TestAdbCommandRunner::onlyTheOutputPipeIsInherited_data()
{
    QTest::addColumn<AdbWorker::Channels>("channels");
    QTest::addColumn<bool>("closeStandardInput");
    QTest::addColumn<QList<int>>("pipeDescriptors");

    QTest::newRow("merged") << AdbWorker::Channels::Merged << false << QList<int> { 1, 2 };
    QTest::newRow("standard output")
        << AdbWorker::Channels::StandardOutput << false << QList<int> { 1 };
    // The caller's descriptor 0 free: the new pipe would take it.
    QTest::newRow("merged, caller without stdin")
        << AdbWorker::Channels::Merged << true << QList<int> { 1, 2 };
}

void TestAdbCommandRunner::onlyTheOutputPipeIsInherited()
{
    QFETCH(AdbWorker::Channels, channels);
    QFETCH(bool, closeStandardInput);
    QFETCH(QList<int>, pipeDescriptors);

    int savedInput = -1;
    if (closeStandardInput) {
        savedInput = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
        QVERIFY(savedInput >= 0);
        ::close(0);
    }
    CommandRunner runner;
    const QString listing
        = runner.runCommand(QStringLiteral("/bin/ls -l /proc/self/fd"), 5000, channels);
    if (closeStandardInput) {
        QCOMPARE(::dup2(savedInput, 0), 0);
        ::close(savedInput);
    }

    const QMap<int, QString> fds = descriptors(listing);
    QVERIFY2(fds.value(1).startsWith(QLatin1String("pipe:")), qPrintable(listing));
    QCOMPARE(fds.value(0), QStringLiteral("/dev/null"));
    if (channels == AdbWorker::Channels::StandardOutput)
        QCOMPARE(fds.value(2), QStringLiteral("/dev/null"));
    // Neither end of the output pipe under another number.
    QList<int> sameAsOutput;
    for (auto it = fds.cbegin(); it != fds.cend(); ++it) {
        if (it.value() == fds.value(1))
            sameAsOutput.append(it.key());
    }
    QCOMPARE(sameAsOutput, pipeDescriptors);
}

int main(int argc, char **argv)
{
    // The arguments are encoded for the child as QProcess encodes them: in the locale's encoding.
    qputenv("LC_ALL", "C.UTF-8");
    QCoreApplication app(argc, argv);
    TestAdbCommandRunner test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_adbcommandrunner.moc"
