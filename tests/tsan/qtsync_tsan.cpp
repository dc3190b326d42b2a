// Makes Qt's synchronisation visible to ThreadSanitizer. Debian's Qt is not built for it: its
// mutexes, wait conditions, event queues and reference counts synchronise through futexes and
// atomics TSan never sees, and calls inside libQt5Core are bound within the library, so only the
// entry points our code (and Qt's other libraries) call through the PLT can be taken over here.
// Linked first into the programs of a TSan build, these definitions take the place of Qt's
// exported ones, call them, and tell TSan about the acquire and release.
//
// Three kinds of hand-off are modelled:
// - QMutex and QWaitCondition, on the mutex and condition themselves;
// - Qt's own locks (the posted-event lists behind queued signals, queued functors, postEvent()
//   and deleteLater(); the glib loop's wake-ups; the signal-slot locks taken by ~QObject), on one
//   address standing for all of them. Senders release it, a thread acquires it before each event
//   and each pass of its event loop. That is coarser than Qt, which keeps one list per thread and a
//   pool of signal-slot locks: a race between two threads that each go through Qt's event
//   plumbing between their accesses stays hidden.
// - a QThread's end, on the QThread, for QThread::wait() and isFinished().
#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QVariant>

#include <dlfcn.h>

#include <cstdint>

extern "C" {
void __tsan_acquire(void *address);
void __tsan_release(void *address);
}

namespace {

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct DeadlineTimer
{
    std::int64_t first;
    std::int64_t second;
};

char qtInternalLocks;

void releaseQtLocks()
{
    __tsan_release(&qtInternalLocks);
}

void acquireQtLocks()
{
    __tsan_acquire(&qtInternalLocks);
}

// Called by QCoreApplication::notifyInternal2() before every event is delivered, posted ones
// included: the receiving thread has just taken the event from its list under Qt's lock.
bool beforeEvent(void **)
{
    acquireQtLocks();
    return false;
}

__attribute__((constructor)) void registerEventHook()
{
    QInternal::registerCallback(QInternal::EventNotifyCallback, beforeEvent);
}

const char kThreadWatched[] = "_zev_tsan_watched";

// A QThread's finished() is emitted on the thread itself, after run() and before the objects it
// deletes later; those pass through ~QObject below, which releases again. The handler holds no
// data, and Qt frees it from whichever thread drops the connection last (~QThread, inside Qt,
// waits for the thread first): its destructor is that thread's acquire.
struct ThreadEnd
{
    ThreadEnd() = default;
    ThreadEnd(const ThreadEnd &) = default;
    ~ThreadEnd() { acquireQtLocks(); }
    void operator()() const
    {
        __tsan_release(QThread::currentThread());
        releaseQtLocks();
    }
};

void watchThreadEnd(QThread *thread)
{
    if (thread->property(kThreadWatched).toBool())
        return;
    thread->setProperty(kThreadWatched, true);
    QObject::connect(thread, &QThread::finished, thread, ThreadEnd(), Qt::DirectConnection);
}

void threadJoined(QThread *thread)
{
    __tsan_acquire(thread);
    acquireQtLocks();
}

// Wraps the functor of QMetaObject::invokeMethod() so that the thread running it releases once it
// has run: a blocking queued call returns to its caller through a semaphore inside Qt.
class ReleasingSlot : public QtPrivate::QSlotObjectBase
{
public:
    explicit ReleasingSlot(QtPrivate::QSlotObjectBase *inner)
        : QSlotObjectBase(&impl)
        , m_inner(inner)
    {
    }

private:
    static void impl(int which, QSlotObjectBase *self, QObject *receiver, void **args, bool *ret)
    {
        auto *slot = static_cast<ReleasingSlot *>(self);
        switch (which) {
        case Destroy:
            // The last reference may go on either side, after the other has run the call.
            acquireQtLocks();
            slot->m_inner->destroyIfLastRef();
            delete slot;
            break;
        case Call:
            slot->m_inner->call(receiver, args);
            releaseQtLocks();
            break;
        case Compare:
            *ret = slot->m_inner->compare(args);
            break;
        }
    }

    QtPrivate::QSlotObjectBase *m_inner;
};

} // namespace

// These definitions stand in for C++ functions, member functions among them, whose addresses a
// pointer to member function holds: the ABI keeps its lowest bit for virtual functions, so they
// must start on an even address, which GCC does not promise for C functions in a Debug build.
#define ZEV_QT_FUNCTION __attribute__((aligned(16)))

extern "C" {

// QMutex and QBasicMutex

ZEV_QT_FUNCTION void _ZN6QMutex4lockEv(void *mutex)
{
    static const auto lock = real<void (*)(void *)>("_ZN6QMutex4lockEv");
    lock(mutex);
    __tsan_acquire(mutex);
}

ZEV_QT_FUNCTION bool _ZN6QMutex7tryLockEi(void *mutex, int timeout)
{
    static const auto tryLock = real<bool (*)(void *, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = tryLock(mutex, timeout);
    if (locked)
        __tsan_acquire(mutex);
    return locked;
}

ZEV_QT_FUNCTION void _ZN6QMutex6unlockEv(void *mutex)
{
    static const auto unlock = real<void (*)(void *)>("_ZN6QMutex6unlockEv");
    __tsan_release(mutex);
    unlock(mutex);
}

ZEV_QT_FUNCTION void _ZN11QBasicMutex12lockInternalEv(void *mutex)
{
    static const auto lock = real<void (*)(void *)>("_ZN11QBasicMutex12lockInternalEv");
    lock(mutex);
    __tsan_acquire(mutex);
}

ZEV_QT_FUNCTION bool _ZN11QBasicMutex12lockInternalEi(void *mutex, int timeout)
{
    static const auto lock = real<bool (*)(void *, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = lock(mutex, timeout);
    if (locked)
        __tsan_acquire(mutex);
    return locked;
}

ZEV_QT_FUNCTION void _ZN11QBasicMutex14unlockInternalEv(void *mutex)
{
    static const auto unlock = real<void (*)(void *)>("_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(mutex);
    unlock(mutex);
}

// QWaitCondition

ZEV_QT_FUNCTION bool _ZN14QWaitCondition4waitEP6QMutexm(
    void *condition, void *mutex, unsigned long time)
{
    static const auto wait
        = real<bool (*)(void *, void *, unsigned long)>("_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(mutex);
    const bool woken = wait(condition, mutex, time);
    __tsan_acquire(condition);
    __tsan_acquire(mutex);
    return woken;
}

ZEV_QT_FUNCTION bool _ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer(
    void *condition, void *mutex, DeadlineTimer deadline)
{
    static const auto wait = real<bool (*)(void *, void *, DeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(mutex);
    const bool woken = wait(condition, mutex, deadline);
    __tsan_acquire(condition);
    __tsan_acquire(mutex);
    return woken;
}

ZEV_QT_FUNCTION void _ZN14QWaitCondition7wakeOneEv(void *condition)
{
    static const auto wake = real<void (*)(void *)>("_ZN14QWaitCondition7wakeOneEv");
    __tsan_release(condition);
    wake(condition);
}

ZEV_QT_FUNCTION void _ZN14QWaitCondition7wakeAllEv(void *condition)
{
    static const auto wake = real<void (*)(void *)>("_ZN14QWaitCondition7wakeAllEv");
    __tsan_release(condition);
    wake(condition);
}

// Signals and posted events. A queued signal copies its arguments and posts the call inside
// activate(), so the release comes before (what the sender wrote) and after (the copies, for a
// receiver that had not taken the event yet).

ZEV_QT_FUNCTION void _ZN11QMetaObject8activateEP7QObjectPKS_iPPv(
    QObject *sender, const QMetaObject *meta, int index, void **arguments)
{
    static const auto activate = real<void (*)(QObject *, const QMetaObject *, int, void **)>(
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    releaseQtLocks();
    activate(sender, meta, index, arguments);
    releaseQtLocks();
}

ZEV_QT_FUNCTION void _ZN11QMetaObject8activateEP7QObjectiPPv(
    QObject *sender, int index, void **arguments)
{
    static const auto activate
        = real<void (*)(QObject *, int, void **)>("_ZN11QMetaObject8activateEP7QObjectiPPv");
    releaseQtLocks();
    activate(sender, index, arguments);
    releaseQtLocks();
}

ZEV_QT_FUNCTION void _ZN11QMetaObject8activateEP7QObjectiiPPv(
    QObject *sender, int offset, int index, void **arguments)
{
    static const auto activate
        = real<void (*)(QObject *, int, int, void **)>("_ZN11QMetaObject8activateEP7QObjectiiPPv");
    releaseQtLocks();
    activate(sender, offset, index, arguments);
    releaseQtLocks();
}

ZEV_QT_FUNCTION bool
_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE22QGenericReturnArgument16QGenericArgumentS7_S7_S7_S7_S7_S7_S7_S7_S7_(
    QObject *object, const char *member, Qt::ConnectionType type, QGenericReturnArgument ret,
    QGenericArgument a0, QGenericArgument a1, QGenericArgument a2, QGenericArgument a3,
    QGenericArgument a4, QGenericArgument a5, QGenericArgument a6, QGenericArgument a7,
    QGenericArgument a8, QGenericArgument a9)
{
    using Invoke = bool (*)(QObject *, const char *, Qt::ConnectionType, QGenericReturnArgument,
        QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
        QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument);
    static const auto invoke = real<Invoke>(
        "_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE22QGenericReturnArgument"
        "16QGenericArgumentS7_S7_S7_S7_S7_S7_S7_S7_S7_");
    releaseQtLocks();
    const bool invoked = invoke(object, member, type, ret, a0, a1, a2, a3, a4, a5, a6, a7, a8, a9);
    releaseQtLocks();
    return invoked;
}

ZEV_QT_FUNCTION bool
_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
    QObject *object, void *slot, Qt::ConnectionType type, void *ret)
{
    static const auto invoke = real<bool (*)(QObject *, void *, Qt::ConnectionType, void *)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14"
        "ConnectionTypeEPv");
    auto *releasing = new ReleasingSlot(static_cast<QtPrivate::QSlotObjectBase *>(slot));
    releaseQtLocks();
    const bool invoked = invoke(object, releasing, type, ret);
    acquireQtLocks();
    releaseQtLocks();
    return invoked;
}

ZEV_QT_FUNCTION void _ZN7QObject11deleteLaterEv(QObject *object)
{
    static const auto deleteLater = real<void (*)(QObject *)>("_ZN7QObject11deleteLaterEv");
    releaseQtLocks();
    deleteLater(object);
}

ZEV_QT_FUNCTION void _ZN16QCoreApplication9postEventEP7QObjectP6QEventi(
    QObject *receiver, QEvent *event, int priority)
{
    static const auto post = real<void (*)(QObject *, QEvent *, int)>(
        "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    releaseQtLocks();
    post(receiver, event, priority);
}

// Qt's glib event dispatcher wakes the receiving thread after every post, Qt's internal ones too
// (a timer's or a process's signal to another thread). The context is made on the thread that
// will run it, and used by others once Qt has published it.
ZEV_QT_FUNCTION void *g_main_context_new(void)
{
    static const auto create = real<void *(*)(void)>("g_main_context_new");
    void *context = create();
    __tsan_release(context);
    return context;
}

ZEV_QT_FUNCTION void g_main_context_wakeup(void *context)
{
    static const auto wakeup = real<void (*)(void *)>("g_main_context_wakeup");
    if (context)
        __tsan_acquire(context);
    releaseQtLocks();
    wakeup(context);
    releaseQtLocks();
}

// Each pass of a thread's event loop first looks at the events posted to it, under Qt's lock.
ZEV_QT_FUNCTION int g_main_context_iteration(void *context, int mayBlock)
{
    static const auto iterate = real<int (*)(void *, int)>("g_main_context_iteration");
    acquireQtLocks();
    return iterate(context, mayBlock);
}

// Qt destroys a thread's context once no other thread can post to it any more.
ZEV_QT_FUNCTION void g_main_context_unref(void *context)
{
    static const auto unref = real<void (*)(void *)>("g_main_context_unref");
    if (context)
        __tsan_acquire(context);
    acquireQtLocks();
    unref(context);
}

// ~QObject takes the signal-slot locks of the object and of every peer connected to it, and
// deletes the events still posted to it.

ZEV_QT_FUNCTION void _ZN7QObjectD2Ev(QObject *object)
{
    static const auto destroy = real<void (*)(QObject *)>("_ZN7QObjectD2Ev");
    acquireQtLocks();
    destroy(object);
    releaseQtLocks();
}

ZEV_QT_FUNCTION void _ZN7QObjectD1Ev(QObject *object)
{
    static const auto destroy = real<void (*)(QObject *)>("_ZN7QObjectD1Ev");
    acquireQtLocks();
    destroy(object);
    releaseQtLocks();
}

// QThread: Qt starts its threads detached and joins them through its own wait condition.

ZEV_QT_FUNCTION void _ZN7QThread5startENS_8PriorityE(QThread *thread, QThread::Priority priority)
{
    static const auto start
        = real<void (*)(QThread *, QThread::Priority)>("_ZN7QThread5startENS_8PriorityE");
    watchThreadEnd(thread);
    start(thread, priority);
}

ZEV_QT_FUNCTION bool _ZN7QThread4waitEm(QThread *thread, unsigned long time)
{
    static const auto wait = real<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool finished = wait(thread, time);
    if (finished)
        threadJoined(thread);
    return finished;
}

ZEV_QT_FUNCTION bool _ZN7QThread4waitE14QDeadlineTimer(QThread *thread, DeadlineTimer deadline)
{
    static const auto wait
        = real<bool (*)(QThread *, DeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool finished = wait(thread, deadline);
    if (finished)
        threadJoined(thread);
    return finished;
}

ZEV_QT_FUNCTION bool _ZNK7QThread10isFinishedEv(QThread *thread)
{
    static const auto isFinished = real<bool (*)(QThread *)>("_ZNK7QThread10isFinishedEv");
    const bool finished = isFinished(thread);
    if (finished)
        threadJoined(thread);
    return finished;
}

} // extern "C"
