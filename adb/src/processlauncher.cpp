#include "processlauncher.h"

#include <QElapsedTimer>
#include <QtGlobal>

#include <algorithm>

#ifdef Q_OS_WIN
#include <QProcess>
#else
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;
#endif

namespace {

// Waits are cut into slices of this length so that an abort is seen soon.
constexpr int slice = 50;
constexpr int graceAfterTermMs = 1000;

} // namespace

ProcessLauncher::ProcessLauncher(const QString &programValue, const QStringList &argumentsValue)
    : program(programValue)
    , arguments(argumentsValue)
{
}

#ifdef Q_OS_WIN

// CreateProcess copies nothing of the caller, so QProcess costs no more than the program itself.
QByteArray ProcessLauncher::run()
{
    QProcess process;
    if (channels == Channels::Merged)
        process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadWrite);
    wasStarted = process.state() != QProcess::NotRunning;
    // Nothing is ever typed into the program; an open stdin could keep "adb shell" waiting.
    process.closeWriteChannel();
    if (onStarted)
        onStarted();

    QElapsedTimer elapsed;
    elapsed.start();
    while (process.state() != QProcess::NotRunning) {
        if (abortRequested()) {
            process.kill();
            process.waitForFinished(1000);
            break;
        }
        int wait = slice;
        if (timeLimitMs >= 0) {
            const qint64 left = timeLimitMs - elapsed.elapsed();
            if (left <= 0)
                break;
            wait = static_cast<int>(std::min<qint64>(slice, left));
        }
        process.waitForFinished(wait);
    }

    const QByteArray output = process.readAll();
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(graceAfterTermMs)) {
            process.kill();
            process.waitForFinished(1000);
        }
    }
    return output;
}

#else

namespace {

class Descriptor
{
public:
    explicit Descriptor(int value = -1)
        : fd(value)
    {
    }
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    void reset(int value = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = value;
    }

private:
    int fd;
};

// The child of one run. Whatever way the run ends, the child is reaped: killed first if it is
// still running, so that no zombie and no stray adb is left behind.
class Child
{
public:
    explicit Child(pid_t value)
        : pid(value)
    {
#ifdef SYS_pidfd_open
        // Readable once the child has ended, so the wait needs no polling of waitpid.
        pidFd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#endif
    }
    ~Child()
    {
        if (!reaped) {
            signal(SIGKILL);
            reap();
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    int exitFd() const
    {
        return pidFd.get();
    }
    bool hasEnded()
    {
        if (reaped)
            return true;
        pid_t r;
        do
            r = ::waitpid(pid, nullptr, WNOHANG);
        while (r < 0 && errno == EINTR);
        reaped = r == pid || (r < 0 && errno == ECHILD);
        return reaped;
    }
    void reap()
    {
        if (reaped)
            return;
        pid_t r;
        do
            r = ::waitpid(pid, nullptr, 0);
        while (r < 0 && errno == EINTR);
        reaped = true;
    }
    void signal(int number)
    {
        if (!reaped)
            ::kill(pid, number);
    }

private:
    pid_t pid;
    Descriptor pidFd;
    bool reaped = false;
};

// The pipe must not sit on 0, 1 or 2 (possible when the caller closed its standard streams):
// the child's dup2 onto those numbers would then leave it with the close-on-exec flag.
int aboveStandardStreams(int fd)
{
    if (fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

class SpawnSettings
{
public:
    SpawnSettings(int outputFd, bool merged)
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        // Standard input at end of file: "adb shell" must not wait for anything typed.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
        if (merged)
            posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

        // The worker thread's blocked signals and the program's own handlers are not the child's.
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigdefault(&attributes, &all);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnSettings()
    {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSettings(const SpawnSettings &) = delete;
    SpawnSettings &operator=(const SpawnSettings &) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

enum class ReadResult { Data, Nothing, End };

ReadResult readOnce(int fd, QByteArray *into)
{
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (into)
                into->append(buffer, static_cast<int>(n));
            return ReadResult::Data;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return ReadResult::Nothing;
        return ReadResult::End;
    }
}

// What is still in the pipe once the child has ended. Bounded: a grandchild holding the pipe
// (the adb server started by "adb start-server") must not keep the caller here.
void drain(Descriptor &pipe, QByteArray *into)
{
    for (int i = 0; i < 64 && pipe.valid(); ++i) {
        const ReadResult r = readOnce(pipe.get(), into);
        if (r == ReadResult::End)
            pipe.reset();
        if (r != ReadResult::Data)
            return;
    }
}

// Waits up to ms for the pipe or the child's end; reads at most one buffer of output.
void waitOnce(Child &child, Descriptor &pipe, int ms, QByteArray *into)
{
    pollfd fds[2];
    nfds_t count = 0;
    int pipeIndex = -1;
    if (pipe.valid()) {
        fds[count] = { pipe.get(), POLLIN, 0 };
        pipeIndex = static_cast<int>(count++);
    }
    if (child.exitFd() >= 0)
        fds[count++] = { child.exitFd(), POLLIN, 0 };
    else
        // Without a descriptor for the child's end, look at it often.
        ms = std::min(ms, 5);
    if (::poll(fds, count, ms) > 0 && pipeIndex >= 0 && fds[pipeIndex].revents != 0) {
        if (readOnce(pipe.get(), into) == ReadResult::End)
            pipe.reset();
    }
}

} // namespace

QByteArray ProcessLauncher::run()
{
    QByteArray output;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        if (onStarted)
            onStarted();
        return output;
    }
    Descriptor readEnd(aboveStandardStreams(fds[0]));
    Descriptor writeEnd(aboveStandardStreams(fds[1]));
    if (!readEnd.valid() || !writeEnd.valid()) {
        if (onStarted)
            onStarted();
        return output;
    }
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);

    // Encoded as QProcess encodes them.
    std::vector<QByteArray> words;
    words.reserve(static_cast<size_t>(arguments.size()) + 1);
    words.push_back(QFile::encodeName(program));
    for (const QString &argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    argv.reserve(words.size() + 1);
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int spawnError;
    {
        SpawnSettings settings(writeEnd.get(), channels == Channels::Merged);
        // A bare name is looked up on PATH, anything with a slash is taken as a path.
        spawnError = program.contains(QLatin1Char('/'))
            ? ::posix_spawn(
                &pid, argv[0], &settings.actions, &settings.attributes, argv.data(), environ)
            : ::posix_spawnp(
                &pid, argv[0], &settings.actions, &settings.attributes, argv.data(), environ);
    }
    // Only the child writes: the pipe ends when the child (and anything it started) closes it.
    writeEnd.reset();
    wasStarted = spawnError == 0;
    if (onStarted)
        onStarted();
    if (spawnError != 0)
        return output;

    Child child(pid);
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        if (abortRequested()) {
            child.signal(SIGKILL);
            child.reap();
            drain(readEnd, &output);
            return output;
        }
        int wait = slice;
        if (timeLimitMs >= 0) {
            const qint64 left = timeLimitMs - elapsed.elapsed();
            if (left <= 0)
                break;
            wait = static_cast<int>(std::min<qint64>(slice, left));
        }
        waitOnce(child, readEnd, wait, &output);
        if (child.hasEnded()) {
            drain(readEnd, &output);
            return output;
        }
    }

    // The time limit: what was read so far is the answer; the child gets a second to end.
    child.signal(SIGTERM);
    QElapsedTimer grace;
    grace.start();
    while (!child.hasEnded()) {
        const qint64 left = graceAfterTermMs - grace.elapsed();
        if (left <= 0 || abortRequested()) {
            child.signal(SIGKILL);
            child.reap();
            break;
        }
        // Still read, and drop, so that a child writing on its way out is not stuck on a full pipe.
        waitOnce(child, readEnd, static_cast<int>(std::min<qint64>(slice, left)), nullptr);
    }
    return output;
}

#endif
