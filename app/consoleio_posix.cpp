#include "consoleio.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The self-pipe: a signal handler may only write(); the notifier brings the news to the loop.
int interruptPipe[2] = { -1, -1 };

extern "C" void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(interruptPipe[1], &byte, 1);
}

void writeTo(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    // A script reading the pipe sees each event as it happens.
    std::fflush(stream);
}

} // namespace

namespace consoleio {

void writeLine(const QString &line)
{
    writeTo(stdout, line + QLatin1Char('\n'));
}

void writeError(const QString &text)
{
    writeTo(stderr, text);
}

void onInterrupt(std::function<void()> interrupted)
{
    if (pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier
        = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [interrupted] {
        char bytes[16];
        while (read(interruptPipe[0], bytes, sizeof bytes) > 0) {
        }
        interrupted();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace consoleio
