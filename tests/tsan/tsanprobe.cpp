// Hand-offs between threads through Qt, each correct or racy on purpose, for tst_qtsync to run
// under ThreadSanitizer:  tsanprobe MODE
#include <QCoreApplication>
#include <QMutex>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

int value = 0;
int answer = 0;

class Probe : public QObject
{
    Q_OBJECT
signals:
    void ready();
};

// Keeps a thread from ending (and so from releasing anything) until the main thread has looked.
class Gate
{
public:
    void open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_condition.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_open = false;
};

// A worker thread sets the value, then tells the main thread through a queued signal.
int queuedSignal(QCoreApplication &app)
{
    Probe probe;
    QObject::connect(&probe, &Probe::ready, &app, [&app] {
        answer = value;
        app.quit();
    });
    QThread *thread = QThread::create([&probe] {
        value = 42;
        emit probe.ready();
    });
    thread->start();
    app.exec();
    thread->wait();
    delete thread;
    return answer == 42 ? 0 : 1;
}

// The same with a queued functor instead of a signal.
int queuedInvoke(QCoreApplication &app)
{
    QThread *thread = QThread::create([&app] {
        value = 42;
        QMetaObject::invokeMethod(
            &app,
            [&app] {
                answer = value;
                app.quit();
            },
            Qt::QueuedConnection);
    });
    thread->start();
    app.exec();
    thread->wait();
    delete thread;
    return answer == 42 ? 0 : 1;
}

// The main thread hands a value to a worker's event loop and waits for the result.
int blockingInvoke()
{
    QThread thread;
    QObject worker;
    worker.moveToThread(&thread);
    thread.start();
    value = 21;
    QMetaObject::invokeMethod(
        &worker, [] { answer = value * 2; }, Qt::BlockingQueuedConnection);
    const int result = answer;
    thread.quit();
    thread.wait();
    return result == 42 ? 0 : 1;
}

// What a thread wrote is the main thread's once wait() has returned; the QThread and the
// objects it deleted on its way out go with it. Its finished() reaches deleteLater() through a
// pointer to member function, the way the workers are let go.
int threadWait()
{
    QThread *thread = QThread::create([] {
        value = 42;
        auto *leftover = new QObject;
        leftover->deleteLater();
    });
    auto *worker = new QObject;
    worker->moveToThread(thread);
    QObject::connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    thread->start();
    thread->wait();
    const int result = value;
    delete thread;
    return result == 42 ? 0 : 1;
}

int mutexCounter()
{
    QMutex mutex;
    auto count = [&mutex] {
        for (int i = 0; i < 1000; ++i) {
            QMutexLocker locker(&mutex);
            ++value;
        }
    };
    QThread *first = QThread::create(count);
    QThread *second = QThread::create(count);
    first->start();
    second->start();
    first->wait();
    second->wait();
    delete first;
    delete second;
    return value == 2000 ? 0 : 1;
}

// Two threads write the same value with nothing between them.
int race()
{
    Gate gate;
    QThread *first = QThread::create([&gate] {
        value = 1;
        gate.wait();
    });
    QThread *second = QThread::create([&gate] {
        value = 2;
        gate.wait();
    });
    first->start();
    second->start();
    QThread::msleep(200);
    gate.open();
    first->wait();
    second->wait();
    delete first;
    delete second;
    return 0;
}

// The worker writes after its signal has gone: the slot's read is not ordered after that write.
int writeAfterSignal(QCoreApplication &app)
{
    Probe probe;
    Gate gate;
    QObject::connect(&probe, &Probe::ready, &app, [&app, &gate] {
        QThread::msleep(100);
        answer = value;
        gate.open();
        app.quit();
    });
    QThread *thread = QThread::create([&probe, &gate] {
        emit probe.ready();
        value = 42;
        gate.wait();
    });
    thread->start();
    app.exec();
    thread->wait();
    delete thread;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const char *mode = argc > 1 ? argv[1] : "";
    if (!std::strcmp(mode, "queued-signal"))
        return queuedSignal(app);
    if (!std::strcmp(mode, "queued-invoke"))
        return queuedInvoke(app);
    if (!std::strcmp(mode, "blocking-invoke"))
        return blockingInvoke();
    if (!std::strcmp(mode, "thread-wait"))
        return threadWait();
    if (!std::strcmp(mode, "mutex"))
        return mutexCounter();
    if (!std::strcmp(mode, "race"))
        return race();
    if (!std::strcmp(mode, "write-after-signal"))
        return writeAfterSignal(app);
    std::fprintf(stderr, "unknown mode: %s\n", mode);
    return 2;
}

#include "tsanprobe.moc"
