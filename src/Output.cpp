/*
 * Output - the library's writes to standard output: reports and diagnostics.
 */
#include "Output.h"

#include "Diagnostic.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <poll.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif

namespace tarvik
{
namespace
{

/* Waits until fd can take more bytes; false when the wait itself fails. */
bool WaitWritable(int fd)
{
    pollfd p = {fd, POLLOUT, 0};
    for (;;) {
        /* Ready, or hung up or in error: the next write tells which. */
        if (poll(&p, 1, -1) > 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

/*
 * Writes all length bytes of text to fd: again after an interruption, the rest after a
 * partial write, and, on a non-blocking descriptor that is full, once it takes more.
 * False when a write fails otherwise.
 */
bool WriteAll(int fd, const char *text, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n > 0) {
            text += n;
            length -= std::size_t(n);
        } else if (n == 0) {
            errno = EIO; /* nothing taken, nothing said: do not spin */
            return false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitWritable(fd))
                return false;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

/*
 * Writes out what the program had buffered on the stream out (descriptor fd), so that it
 * comes before the library's text. With the GNU C library, the pending bytes of a byte
 * stream lie between two public fields of the FILE: they are written here with WriteAll
 * and then dropped from the stream, because stdio's own flush would throw them away
 * after an EINTR or EAGAIN. Whatever remains (a wide stream's text, any other C library,
 * or bytes whose write failed) is left to fflush, which then discards failed bytes and
 * sets the stream's error indicator, as stdio always does. It costs no system call when
 * nothing is pending.
 */
void FlushPending(FILE *out, int fd)
{
#if defined(__GLIBC__)
    const char *pending = out->_IO_write_base;
    const std::size_t count = std::size_t(out->_IO_write_ptr - out->_IO_write_base);
    if (count > 0 && fwide(out, 0) <= 0 && WriteAll(fd, pending, count))
        __fpurge(out);
#else
    (void)fd;
#endif
    fflush(out);
}

} // namespace

bool WriteOutput(const char *text, std::size_t length)
{
    flockfile(stdout);
    const int fd = fileno(stdout);
    FlushPending(stdout, fd);
    const bool written = WriteAll(fd, text, length);
    funlockfile(stdout);
    return written;
}

void Diagnostic(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
        WriteOutput(text, std::min(std::size_t(n), sizeof text - 1));
}

} // namespace tarvik
