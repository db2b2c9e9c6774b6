/*
 * Logger - the hand-off of reports to the system log socket when TarvikInit's logger
 * flag is set.
 *
 * The library keeps one datagram socket of its own instead of openlog/syslog, which
 * would replace the program's own syslog identity, options and facility, and which
 * block while the daemon's queue is full. The socket is shared by every thread and by
 * forked children; it is non-blocking, created once, never closed, and reconnected in
 * place, which a datagram socket allows at any time, when the daemon behind the path
 * has been restarted. A small lock of its own orders the calls on it; it is held only
 * around calls that return at once, never while waiting, and is taken across fork() so
 * that no child inherits it held.
 *
 * A program that closes descriptors it did not open may close the socket and reuse its
 * number; the socket is therefore known by its number and its inode, checked before
 * every send, so that a record never goes down a descriptor of the program's.
 */
#include "Logger.h"

#include "Diagnostic.h"
#include "LogRecord.h"
#include "TextBuffer.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarvik
{
namespace
{

constexpr char kDefaultSocket[] = "/dev/log";

struct Settings {
    LogFormat format = LogFormat::Rfc3164;
    int waitMs = kLoggerWaitMs;  /* the longest wait for room in the socket's queue */
    sockaddr_un address = {};    /* sun_path: the socket's path, terminated */
    socklen_t addressLength = 0; /* 0: the path cannot be used, nothing is sent */
};
pthread_once_t SettingsOnce = PTHREAD_ONCE_INIT;
Settings Config; /* written once, by ReadSettings */

/* The socket and its inode, under SocketLock; -1 before it is opened. */
pthread_mutex_t SocketLock = PTHREAD_MUTEX_INITIALIZER;
int SocketFd = -1;
ino_t SocketInode;

void LockSocket()
{
    pthread_mutex_lock(&SocketLock);
}

void UnlockSocket()
{
    pthread_mutex_unlock(&SocketLock);
}

/* Records lost since the last one that was sent. */
std::atomic<unsigned long> LostRecords{0};

/*
 * Set when a wait for room ended with the queue still full, cleared by the next record
 * sent: while the daemon does not read, records are not held up one after the other.
 */
std::atomic<bool> Stalled{false};

LogFormat ReadFormat()
{
    const char *format = getenv("TARVIK_CFG_LOG_FORMAT");
    if (format && strcmp(format, "rfc5424") == 0)
        return LogFormat::Rfc5424;
    if (format && *format && strcmp(format, "rfc3164") != 0)
        Diagnostic("Tarvik - TarvikInit() : Valeur inconnue de TARVIK_CFG_LOG_FORMAT (\"%.*s\") : "
                   "rfc3164\n",
                   kShownTextMax, format);
    return LogFormat::Rfc3164;
}

int ReadWait()
{
    const char *wait = getenv("TARVIK_CFG_LOG_WAIT");
    if (!wait || !*wait)
        return kLoggerWaitMs;
    const std::size_t digits = strspn(wait, "0123456789");
    const int ms = digits == strlen(wait) && digits <= 5 ? atoi(wait) : -1;
    if (ms >= 0 && ms <= kLoggerMaxWaitMs)
        return ms;
    Diagnostic(
        "Tarvik - TarvikInit() : Valeur incorrecte de TARVIK_CFG_LOG_WAIT (\"%.*s\") : %d ms\n",
        kShownTextMax, wait, kLoggerWaitMs);
    return kLoggerWaitMs;
}

/* Sets the socket's address; leaves it unusable after a diagnostic when it is too long. */
void ReadSocketPath()
{
    const char *path = getenv("TARVIK_CFG_LOG_SOCKET");
    if (!path || !*path)
        path = kDefaultSocket;
    const std::size_t length = strlen(path);
    if (length >= sizeof Config.address.sun_path) {
        Diagnostic("Tarvik - TarvikInit() : TARVIK_CFG_LOG_SOCKET trop long (%zu caracteres au "
                   "plus) : rien ne sera envoye au journal systeme\n",
                   sizeof Config.address.sun_path - 1);
        return;
    }
    Config.address.sun_family = AF_UNIX;
    memcpy(Config.address.sun_path, path, length + 1);
    Config.addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + length + 1);
}

void ReadSettings()
{
    Config.format = ReadFormat();
    Config.waitMs = ReadWait();
    ReadSocketPath();
    pthread_atfork(LockSocket, UnlockSocket, UnlockSocket); /* no child inherits it held */
}

/* Connects fd to the system log socket; false, with errno set, when nobody listens there. */
bool Connect(int fd)
{
    return connect(fd, reinterpret_cast<const sockaddr *>(&Config.address), Config.addressLength) ==
           0;
}

/*
 * Under SocketLock: the logger's socket, opened and connected on first use, and again
 * when the program has closed it (its number then belongs to the program and is left
 * alone); -1, with errno set, when none can be opened.
 */
int Socket()
{
    struct stat st;
    if (SocketFd >= 0 && fstat(SocketFd, &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_ino == SocketInode)
        return SocketFd;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    Connect(fd); /* a daemon that is not there yet is connected to by the first send */
    SocketFd = fd;
    SocketInode = st.st_ino;
    return fd;
}

/* Sends the record once, without waiting; 0 or the errno of the failure. */
int SendOnce(int fd, std::string_view record)
{
    while (send(fd, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

constexpr bool QueueFull(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS;
}

/* Failures that a new connection may cure: no daemon yet, or the one connected to has gone. */
constexpr bool Disconnected(int err)
{
    return err == ENOTCONN || err == ECONNREFUSED || err == ECONNRESET || err == EPIPE ||
           err == EDESTADDRREQ;
}

long MillisecondsSince(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

/*
 * Sends the record once without waiting, reconnecting once when the daemon has gone;
 * *fd is the socket. Returns 0 or the errno of the failure.
 */
int Attempt(std::string_view record, int *fd)
{
    LockSocket();
    *fd = Socket();
    int err = *fd < 0 ? errno : SendOnce(*fd, record);
    if (Disconnected(err))
        err = Connect(*fd) ? SendOnce(*fd, record) : errno;
    UnlockSocket();
    return err;
}

/*
 * Sends the record, waiting up to the configured bound, unlocked, while the socket's
 * queue is full, unless an earlier wait found that the daemon does not read. Returns 0
 * or the errno of the failure.
 */
int Deliver(std::string_view record)
{
    int fd;
    int err = Attempt(record, &fd);
    if (!QueueFull(err) || Stalled.load())
        return err;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long left = Config.waitMs; QueueFull(err) && left > 0;
         left = Config.waitMs - MillisecondsSince(start)) {
        pollfd room = {fd, POLLOUT, 0};
        poll(&room, 1, int(left));
        err = Attempt(record, &fd); /* after a timeout too: the wait may have been descheduled */
    }
    if (QueueFull(err))
        Stalled.store(true);
    return err;
}

/* Why a record was lost, for the diagnostic. */
const char *LossCause(int err)
{
    if (QueueFull(err))
        return "file d'attente pleine";
    if (Disconnected(err) || err == ENOENT)
        return "aucun demon a l'ecoute";
    if (err == ENOMEM)
        return "memoire insuffisante";
    if (err == EMSGSIZE)
        return "enregistrement trop long";
    return "erreur d'envoi";
}

/* Counts a record sent (err 0) or lost, with a diagnostic at each end of a run of losses. */
void Account(int err)
{
    if (err == 0) {
        Stalled.store(false);
        if (const unsigned long lost = LostRecords.exchange(0))
            Diagnostic(
                "Tarvik - ErrSend() : Journal systeme de retour (%s) : %lu enregistrement(s) "
                "perdu(s)\n",
                Config.address.sun_path, lost);
    } else if (LostRecords.fetch_add(1) == 0) {
        Diagnostic("Tarvik - ErrSend() : Journal systeme injoignable (%s : %s, errno %d) : "
                   "enregistrements perdus jusqu'a son retour\n",
                   Config.address.sun_path, LossCause(err), err);
    }
}

} // namespace

void StartLogger()
{
    pthread_once(&SettingsOnce, ReadSettings);
    if (Config.addressLength != 0) {
        LockSocket();
        Socket();
        UnlockSocket();
    }
}

void LogReport(const T_ErrMsg &m, const struct tm &when)
{
    pthread_once(&SettingsOnce, ReadSettings);
    if (Config.addressLength == 0)
        return; /* TarvikInit said so */
    TextBuffer record(kLogRecordSize);
    int err = ENOMEM;
    if (record.ok() && AppendLogRecord(record, Config.format, m, when))
        err = Deliver(record.view());
    Account(err);
}

} // namespace tarvik
