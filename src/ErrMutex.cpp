/*
 * ErrMutex - the library's one process-wide lock.
 *
 * It guards the loading of the configuration, the setting and reading of the
 * application's identity and the setting of the logger flag, and lives until the
 * process ends. It is a default mutex, initialised
 * statically, so it exists before any call and its creation cannot fail. Locking and
 * unlocking a default mutex fail only when it is misused (locked twice by one thread, or
 * unlocked by a thread that does not hold it, which the library never does) or, on
 * systems that allocate a mutex on its first use, when no memory is left; callers could
 * do nothing about either, so the results are not examined.
 *
 * fork: the child of a multithreaded process has only the thread that called fork, so a
 * lock held by any other thread at that moment would stay held in the child for ever.
 * ErrMutexCreate, run by the first entry point, registers handlers that take the lock
 * before fork and release it on both sides after, so the child starts with it free. It
 * registers them once per process however often it is called: a program may call it
 * itself, and handlers registered twice would have fork take the lock twice and hang.
 */
#include "tarvik.h"

#include "Diagnostic.h"

#include <pthread.h>

namespace
{
pthread_mutex_t Mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t ForkHandlersOnce = PTHREAD_ONCE_INIT;

void RegisterForkHandlers()
{
    /* pthread_atfork fails only for want of memory; fork then leaves the lock as it is. */
    if (pthread_atfork(ErrMutexLock, ErrMutexUnlock, ErrMutexUnlock) != 0)
        tarvik::Diagnostic("Tarvik - ErrMutexCreate() : Memoire insuffisante\n");
}
} // namespace

void ErrMutexCreate(void)
{
    pthread_once(&ForkHandlersOnce, RegisterForkHandlers);
}

void ErrMutexLock(void)
{
    pthread_mutex_lock(&Mutex);
}

void ErrMutexUnlock(void)
{
    pthread_mutex_unlock(&Mutex);
}
