/*
 * Logger - the hand-off of reports to the system log socket when TarvikInit's logger
 * flag is set.
 *
 * The library keeps one datagram socket of its own instead of openlog/syslog, which
 * would replace the program's own syslog identity, options and facility, and which
 * block while the daemon's queue is full. The socket is shared by every thread and by
 * forked children without a lock: it is created once (a thread that loses the race
 * closes its own), never closed, and reconnected in place, which a datagram socket
 * allows at any time, when the daemon behind the path has been restarted.
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
#include <cstdint>
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
    sockaddr_un address = {}; /* sun_path: the socket's path, terminated */
    socklen_t addressLength = 0; /* 0: the path cannot be used, nothing is sent */
};
pthread_once_t SettingsOnce = PTHREAD_ONCE_INIT;
Settings Config; /* written once, by ReadSettings */

/*
 * The socket as one value: its descriptor plus one in the low 32 bits, the low 32 bits
 * of its inode in the high ones; 0 before it is opened.
 */
std::atomic<std::uint64_t> Channel{0};

/* Records lost since the last one that was sent. */
std::atomic<unsigned long> LostRecords{0};

void ReadSettings()
{
    const char *format = getenv("TARVIK_CFG_LOG_FORMAT");
    if (format && strcmp(format, "rfc5424") == 0)
        Config.format = LogFormat::Rfc5424;
    else if (format && *format && strcmp(format, "rfc3164") != 0)
        Diagnostic("Tarvik - TarvikInit() : Valeur inconnue de TARVIK_CFG_LOG_FORMAT (\"%s\") : "
                   "rfc3164\n",
                   format);

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

constexpr int DescriptorOf(std::uint64_t channel)
{
    return int(std::uint32_t(channel)) - 1;
}

constexpr std::uint64_t ChannelOf(int fd, ino_t inode)
{
    return std::uint64_t(std::uint32_t(inode)) << 32 | std::uint32_t(fd + 1);
}

/* Whether the descriptor of channel is still the socket that it was opened as. */
bool StillOurs(std::uint64_t channel)
{
    struct stat st;
    return fstat(DescriptorOf(channel), &st) == 0 && S_ISSOCK(st.st_mode) &&
           ChannelOf(DescriptorOf(channel), st.st_ino) == channel;
}

/* Connects fd to the system log socket; false, with errno set, when nobody listens there. */
bool Connect(int fd)
{
    return connect(fd, reinterpret_cast<const sockaddr *>(&Config.address),
                   Config.addressLength) == 0;
}

/* The logger's socket, opened and connected on first use; -1, with errno set, if none. */
int Socket()
{
    std::uint64_t channel = Channel.load();
    if (channel != 0 && StillOurs(channel))
        return DescriptorOf(channel);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    Connect(fd); /* a daemon that is not there yet is connected to by the first send */
    if (Channel.compare_exchange_strong(channel, ChannelOf(fd, st.st_ino)))
        return fd;
    close(fd); /* another thread's socket came first */
    return DescriptorOf(channel);
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
 * Sends the record, reconnecting once when the daemon has gone and, if mayWait, waiting
 * up to kLoggerWaitMs while the socket's queue is full. Returns 0 or the errno of the
 * failure.
 */
int Deliver(std::string_view record, bool mayWait)
{
    const int fd = Socket();
    if (fd < 0)
        return errno;
    int err = SendOnce(fd, record);
    if (Disconnected(err)) {
        if (!Connect(fd))
            return errno;
        err = SendOnce(fd, record);
    }
    if (!mayWait || !QueueFull(err))
        return err;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long waited = 0; QueueFull(err) && waited < kLoggerWaitMs;
         waited = MillisecondsSince(start)) {
        pollfd room = {fd, POLLOUT, 0};
        if (poll(&room, 1, int(kLoggerWaitMs - waited)) > 0)
            err = SendOnce(fd, record);
    }
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
        if (const unsigned long lost = LostRecords.exchange(0))
            Diagnostic("Tarvik - ErrSend() : Journal systeme de retour (%s) : %lu enregistrement(s) "
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
    if (Config.addressLength != 0)
        Socket();
}

void LogReport(const T_ErrMsg &m, const struct tm &when)
{
    pthread_once(&SettingsOnce, ReadSettings);
    if (Config.addressLength == 0)
        return; /* TarvikInit said so */
    TextBuffer record(kLogRecordSize);
    int err = ENOMEM;
    if (record.ok() && AppendLogRecord(record, Config.format, m, when))
        err = Deliver(record.view(), LostRecords.load() == 0);
    Account(err);
}

} // namespace tarvik
