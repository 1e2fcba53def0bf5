// Built into the tests only under ThreadSanitizer. The toolkit's QMutex locks and unlocks
// inside libQt5Core, which is not instrumented, so the tool would take every QMutex-guarded
// access of ours for a race. These definitions take the place of the library's for calls
// from our code, tell the tool about the lock and hand over to the library's own. A
// QWaitCondition waiting on a QMutex would unlock it inside the library unseen, and would
// need the same treatment.
//
// Joining a QThread has the same blind spot: QThread::wait() returns through a wait
// condition inside the library, so what the finished thread did to its own object seems to
// race with the joining thread's later use, up to its destruction at exit. Each signal that
// our code emits releases its sender after the emission, and a successful wait acquires
// the thread object, so the tool sees a join as ordered after the thread's last emission.
// Our threads touch their own object after that only through atomics.

#include <QMutex>
#include <QThread>

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
