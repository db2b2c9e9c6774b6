/*
 * CallGuard.h - what every public call of the library keeps for its caller (internal to
 * the library).
 */
#ifndef TARVIK_CALLGUARD_H
#define TARVIK_CALLGUARD_H

#include <cerrno>
#include <pthread.h>

namespace tarvik
{

/*
 * Held for the length of a public call: errno as the caller left it, restored on every
 * way out, and no thread cancellation. The library's calls reach cancellation points
 * (open, read, write, poll...) while they hold the library lock, a descriptor or a heap
 * block; with cancellation disabled they always run to their end, and a cancel that
 * arrives meanwhile acts at the caller's next cancellation point.
 */
class CallGuard
{
  public:
    CallGuard() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState_); }
    ~CallGuard()
    {
        int disabled;
        pthread_setcancelstate(cancelState_, &disabled);
        errno = errno_;
    }
    CallGuard(const CallGuard &) = delete;
    CallGuard &operator=(const CallGuard &) = delete;

    /* errno as it was when the call was entered. */
    int CallerErrno() const { return errno_; }

  private:
    const int errno_ = errno;
    int cancelState_ = PTHREAD_CANCEL_ENABLE;
};

} // namespace tarvik

#endif
