/*
 * ErrMutex - the library's one process-wide lock.
 *
 * It guards the loading of the configuration and the reading of the application's
 * identity. It is created once, through pthread_once, by whichever entry point runs
 * first, and lives until the process ends. The POSIX calls cannot fail with a valid,
 * default-attribute mutex used by the rules above, so their results are not examined.
 */
#include "tarvik.h"

#include <pthread.h>

namespace
{
pthread_mutexattr_t MutexAttr;
pthread_mutex_t Mutex;
} // namespace

void ErrMutexCreate(void)
{
    pthread_mutexattr_init(&MutexAttr);
    pthread_mutex_init(&Mutex, &MutexAttr);
}

void ErrMutexLock(void)
{
    pthread_mutex_lock(&Mutex);
}

void ErrMutexUnlock(void)
{
    pthread_mutex_unlock(&Mutex);
}
