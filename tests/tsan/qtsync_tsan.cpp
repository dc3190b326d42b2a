// Makes Qt's mutexes and wait conditions visible to ThreadSanitizer. Debian's Qt is not built for
// it: QMutex::lock() is out of line and synchronises through futexes TSan never sees, so every
// field guarded by a QMutex looked racy. Linked first into the threaded test programs of a TSan
// build, these definitions take the place of Qt's exported ones, call them, and tell TSan about
// the acquire and release.
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

} // namespace

extern "C" {

void _ZN6QMutex4lockEv(void *mutex)
{
    static const auto lock = real<void (*)(void *)>("_ZN6QMutex4lockEv");
    lock(mutex);
    __tsan_acquire(mutex);
}

bool _ZN6QMutex7tryLockEi(void *mutex, int timeout)
{
    static const auto tryLock = real<bool (*)(void *, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = tryLock(mutex, timeout);
    if (locked)
        __tsan_acquire(mutex);
    return locked;
}

void _ZN6QMutex6unlockEv(void *mutex)
{
    static const auto unlock = real<void (*)(void *)>("_ZN6QMutex6unlockEv");
    __tsan_release(mutex);
    unlock(mutex);
}

void _ZN11QBasicMutex12lockInternalEv(void *mutex)
{
    static const auto lock = real<void (*)(void *)>("_ZN11QBasicMutex12lockInternalEv");
    lock(mutex);
    __tsan_acquire(mutex);
}

bool _ZN11QBasicMutex12lockInternalEi(void *mutex, int timeout)
{
    static const auto lock = real<bool (*)(void *, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = lock(mutex, timeout);
    if (locked)
        __tsan_acquire(mutex);
    return locked;
}

void _ZN11QBasicMutex14unlockInternalEv(void *mutex)
{
    static const auto unlock = real<void (*)(void *)>("_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(mutex);
    unlock(mutex);
}

bool _ZN14QWaitCondition4waitEP6QMutexm(void *condition, void *mutex, unsigned long time)
{
    static const auto wait
        = real<bool (*)(void *, void *, unsigned long)>("_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(mutex);
    const bool woken = wait(condition, mutex, time);
    __tsan_acquire(condition);
    __tsan_acquire(mutex);
    return woken;
}

bool _ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer(
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

void _ZN14QWaitCondition7wakeOneEv(void *condition)
{
    static const auto wake = real<void (*)(void *)>("_ZN14QWaitCondition7wakeOneEv");
    __tsan_release(condition);
    wake(condition);
}

void _ZN14QWaitCondition7wakeAllEv(void *condition)
{
    static const auto wake = real<void (*)(void *)>("_ZN14QWaitCondition7wakeAllEv");
    __tsan_release(condition);
    wake(condition);
}

} // extern "C"
