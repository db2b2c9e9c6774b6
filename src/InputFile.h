/*
 * InputFile.h - opening the files that the library reads, the configuration and the
 * compiled catalogues, without ever hanging on a special file (internal to the library).
 *
 * A plain open of a FIFO waits for a writer and a read of it waits for data, so a FIFO
 * put where a file is expected would hang the call (and, for the configuration, every
 * thread waiting for the library lock). Files are therefore opened non-blocking; a FIFO
 * or a socket is then refused as a file that cannot be read, and any other descriptor is
 * made blocking again before it is read with blocking calls, so that regular files,
 * directories and devices read exactly as after a plain open.
 *
 * Header-only: the configuration module, the catalogue reader and TarvikCheck use it.
 */
#ifndef TARVIK_INPUTFILE_H
#define TARVIK_INPUTFILE_H

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvik
{

/* What OpenInput returns for a socket, which cannot be opened at all. */
constexpr int kRefusedInput = -2;
/* errno after a FIFO or a socket was refused. */
constexpr int kRefusedErrno = ENOTSUP;

/*
 * Opens path read-only and close-on-exec without waiting for a FIFO's writer; the
 * descriptor is non-blocking until SettleInput has seen it. Returns -1 (errno set) when
 * path cannot be opened, kRefusedInput (errno kRefusedErrno) when it is a socket.
 */
inline int OpenInput(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0 || errno != ENXIO)
        return fd;
    struct stat st;
    const bool socket = stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
    errno = socket ? kRefusedErrno : ENXIO;
    return socket ? kRefusedInput : -1;
}

/*
 * Readies a descriptor of OpenInput for blocking reads: false for a FIFO or a socket,
 * which are refused (errno kRefusedErrno), and when the descriptor cannot be examined;
 * any other is made blocking, as a plain open would have left it.
 */
inline bool SettleInput(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        errno = kRefusedErrno;
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

/*
 * Opens path as a stream for reading line by line, never waiting on a FIFO. NULL when it
 * cannot be opened, and also, with *refused set, when it is a FIFO or a socket.
 */
inline FILE *OpenInputStream(const char *path, bool *refused)
{
    const int fd = OpenInput(path);
    *refused = fd == kRefusedInput || (fd >= 0 && !SettleInput(fd));
    FILE *f = fd >= 0 && !*refused ? fdopen(fd, "r") : nullptr;
    if (fd >= 0 && !f)
        close(fd);
    return f;
}

} // namespace tarvik

#endif
