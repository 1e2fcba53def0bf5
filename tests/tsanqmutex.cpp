// Built into the tests only under ThreadSanitizer. The toolkit's QMutex locks and unlocks
// inside libQt5Core, which is not instrumented, so the tool would take every QMutex-guarded
// access of ours for a race. These definitions take the place of the library's for calls
// from our code, tell the tool about the lock and hand over to the library's own. A
// QWaitCondition unlocks and relocks its QMutex inside the library, so its waits are
// wrapped the same way (the toolkit's own worker threads wait like this, for instance the
// file dialog's directory reader).
//
// Joining a QThread has the same blind spot: QThread::wait() returns through a wait
// condition inside the library, so what the finished thread did to its own object seems to
// race with the joining thread's later use, up to its destruction at exit. Each signal that
// our code emits releases its sender and the emitting thread's object after the emission,
// and a successful wait acquires the thread object, so the tool sees a join as ordered
// after the thread's last emission, also one of another object's signal (the replay's end,
// emitted on the send thread, before the replay object is destroyed at exit). Our threads
// touch their own object after that only through atomics.

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>

namespace {

template<typename Function>
Function libraryFunction(const char *symbol)
{
    void *address = dlsym(RTLD_NEXT, symbol);
    if (!address)
        qFatal("%s not found in the toolkit", symbol);
    return reinterpret_cast<Function>(address);
}

unsigned creationFlags(const QMutex *mutex)
{
    return mutex->isRecursive() ? __tsan_mutex_write_reentrant : 0;
}

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto libraryLock = libraryFunction<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    __tsan_mutex_pre_lock(this, creationFlags(this));
    libraryLock(this);
    __tsan_mutex_post_lock(this, creationFlags(this), 0);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto libraryTryLock =
            libraryFunction<bool (*)(QMutex *, int)>("_ZN6QMutex7tryLockEi");
    const unsigned flags = creationFlags(this) | __tsan_mutex_try_lock;
    __tsan_mutex_pre_lock(this, flags);
    const bool locked = libraryTryLock(this, timeout);
    __tsan_mutex_post_lock(this, locked ? flags : flags | __tsan_mutex_try_lock_failed, 0);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto libraryUnlock = libraryFunction<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_mutex_pre_unlock(this, 0);
    libraryUnlock(this);
    __tsan_mutex_post_unlock(this, 0);
}

void QMetaObject::activate(QObject *sender, const QMetaObject *metaObject, int localSignalIndex,
                           void **arguments)
{
    static const auto libraryActivate =
            libraryFunction<void (*)(QObject *, const QMetaObject *, int, void **)>(
                    "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    libraryActivate(sender, metaObject, localSignalIndex, arguments);
    __tsan_release(sender);
    __tsan_release(QThread::currentThread());
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto libraryWait =
            libraryFunction<bool (*)(QThread *, QDeadlineTimer)>(
                    "_ZN7QThread4waitE14QDeadlineTimer");
    const bool finished = libraryWait(this, deadline);
    if (finished)
        __tsan_acquire(this);
    return finished;
}

namespace {

// One of the two waits may call the other inside the library; only the outer one tells
// the tool about the mutex.
thread_local int waitDepth = 0;

template<typename Timeout>
bool annotatedWait(QWaitCondition *condition, QMutex *mutex, Timeout timeout,
                   bool (*libraryWait)(QWaitCondition *, QMutex *, Timeout))
{
    const bool outer = waitDepth++ == 0;
    if (outer) {
        __tsan_mutex_pre_unlock(mutex, 0);
        __tsan_mutex_post_unlock(mutex, 0);
    }
    const bool woken = libraryWait(condition, mutex, timeout);
    if (outer) {
        __tsan_mutex_pre_lock(mutex, 0);
        __tsan_mutex_post_lock(mutex, 0, 0);
    }
    --waitDepth;
    return woken;
}

} // namespace

bool QWaitCondition::wait(QMutex *lockedMutex, QDeadlineTimer deadline)
{
    static const auto libraryWait =
            libraryFunction<bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer)>(
                    "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    return annotatedWait(this, lockedMutex, deadline, libraryWait);
}

bool QWaitCondition::wait(QMutex *lockedMutex, unsigned long time)
{
    static const auto libraryWait =
            libraryFunction<bool (*)(QWaitCondition *, QMutex *, unsigned long)>(
                    "_ZN14QWaitCondition4waitEP6QMutexm");
    return annotatedWait(this, lockedMutex, time, libraryWait);
}
