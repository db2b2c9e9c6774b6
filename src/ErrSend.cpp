/*
 * ErrSend - the library's entry points: TarvikInit, ErrSend and ErrGet.
 *
 * Each call takes the library lock only to load the configuration on first use and to
 * copy the application's code and name; the class walk, the catalogue lookup and the
 * printing run unlocked, on a message record private to the call. Nothing is cached:
 * every lookup opens, reads and closes the class's compiled catalogue.
 *
 * A compiled catalogue starts with the line "!$<class in hex>", followed by one line
 * ".<code in hex>.<text>" per error. It is read as fgets with a 512-byte buffer would
 * read it: a line longer than 511 bytes comes in pieces, each a line of its own.
 */
#include "tarvik.h"

#include "Diagnostic.h"
#include "TextScan.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

namespace
{

using tarvik::CopyBounded;
using tarvik::Diagnostic;

pthread_once_t once = PTHREAD_ONCE_INIT; /* creates the library lock */
int SendToLogger;                        /* logger flag of TarvikInit, under the lock */

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Record = std::unique_ptr<T_ErrMsg, FreeDeleter>;

/* Restores errno on scope exit: reporting an error never changes the caller's errno. */
struct ErrnoGuard {
    const int saved = errno;
    ~ErrnoGuard() { errno = saved; }
};

/* What an entry point reads under the lock. */
struct Identity {
    const T_ClassInfo *table; /* head of the class table, NULL when none could be loaded */
    int AppCode;
    char AppName[40];
};

/* How a code's text was looked up. */
enum class Lookup {
    Found,   /* Body holds the text (the errno text for code -1) */
    NoClass, /* the code's class is not in the class table */
    NoEntry, /* the catalogue has no entry for the code */
    Failed,  /* the catalogue could not be read or is not the class's (diagnostic printed) */
};

constexpr char kMonth[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr struct {
    int bit;
    const char *word;
} kTypeWords[] = {
    {1, " DEBUG"}, {2, " INFORMATION"}, {4, " WARNING"}, {8, " ERROR"}, {16, " FATAL"}};

constexpr std::size_t kPieceMax = 511; /* bytes of one catalogue line read */

/*
 * Writes the local date and time as "08-Dec-126 21:38:05": the year field is the count
 * of years since 1900. From the year 2900 on the stamp is cut to fit its 20 bytes.
 */
void ErrDate(char (&buf)[20])
{
    const time_t seconds = time(nullptr);
    struct tm result = {};
    localtime_r(&seconds, &result);
    const int month = result.tm_mon >= 0 && result.tm_mon < 12 ? result.tm_mon : 0;
    char stamp[80];
    snprintf(stamp, sizeof stamp, "%.2d-%s-%.2d %.2d:%.2d:%.2d", result.tm_mday, kMonth[month],
             result.tm_year, result.tm_hour, result.tm_min, result.tm_sec);
    CopyBounded(buf, stamp);
}

/* strerror_r comes in two flavours: one returns the text, the other fills the buffer. */
[[maybe_unused]] const char *ErrorText(const char *text, int, char *)
{
    return text;
}
[[maybe_unused]] const char *ErrorText(int failed, int err, char *buf)
{
    if (failed)
        snprintf(buf, 1024, "Unknown error %d", err);
    return buf;
}

/* The text of the errno value current now, at most 1023 characters, one newline dropped. */
void SaveErrnoText(char (&out)[1024])
{
    const int err = errno;
    const char *text = ErrorText(strerror_r(err, out, sizeof out), err, out);
    if (text != out)
        CopyBounded(out, text);
    const std::size_t n = strlen(out);
    if (n > 0 && out[n - 1] == '\n')
        out[n - 1] = '\0';
}

/*
 * Creates the library lock once, loads the configuration if no class table exists yet,
 * and copies the application's identity; the lock is held for exactly that stretch.
 */
Identity ReadIdentity()
{
    Identity id;
    pthread_once(&once, ErrMutexCreate);
    ErrMutexLock();
    if (!ErrCfgGet())
        ErrCfgInit();
    id.table = ErrCfgGet();
    id.AppCode = GetTarvikApplicationCode();
    CopyBounded(id.AppName, GetTarvikApplicationName());
    ErrMutexUnlock();
    return id;
}

/* The calling thread's identifier, as its first 32 bits. */
unsigned ThreadNumber()
{
    const pthread_t self = pthread_self();
    unsigned number = 0;
    memcpy(&number, &self, std::min(sizeof number, sizeof self));
    return number;
}

/* A zero-filled record stamped with the identity, date, process, thread and code. */
Record NewRecord(const char *func, const Identity &id, int ErrCode)
{
    Record rec(static_cast<T_ErrMsg *>(std::calloc(1, sizeof(T_ErrMsg))));
    if (!rec) {
        Diagnostic("Tarvik - %s() : Memoire insuffisante\n", func);
        return rec;
    }
    rec->ApplicationCode = id.AppCode;
    CopyBounded(rec->ApplicationName, id.AppName);
    ErrDate(rec->Date);
    rec->ErrCode = ErrCode;
    rec->ProcessId = int(getpid());
    rec->ThreadId = ThreadNumber();
    return rec;
}

/* Queries the host name, allowing the query `allowed` bytes; false after a diagnostic. */
bool QueryHostName(const char *func, T_ErrMsg &rec, std::size_t allowed)
{
    const bool ok = gethostname(rec.CpuName, allowed) == 0;
    rec.CpuName[sizeof rec.CpuName - 1] = '\0'; /* a failed query may leave it unterminated */
    if (!ok)
        Diagnostic("Tarvik - %s() : gethostname() fails !\n", func);
    return ok;
}

constexpr bool IsPackageChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
}

/*
 * Takes the calling package from the head of rec.Source: a name of letters, digits, '_'
 * and '.' followed by optional spaces and a '-', upper-cased; empty otherwise.
 */
void SetCallingPackage(T_ErrMsg &rec)
{
    char *pkg = rec.CallingPackage;
    CopyBounded(rec.CallingPackage, rec.Source);
    char *s1 = pkg;
    for (; IsPackageChar(*s1); ++s1)
        *s1 = tarvik::UpperAscii(*s1);
    const char *s2 = s1;
    while (*s2 == ' ')
        ++s2;
    if (*s2 == '-')
        *s1 = '\0';
    else
        memset(pkg, 0, sizeof rec.CallingPackage);
}

/* Reads a file in the pieces that fgets with a 512-byte buffer would give. */
struct PieceReader {
    int fd;
    bool atEnd = false;  /* the file has no more bytes to give */
    bool failed = false; /* a read failed: no further piece */
    std::size_t begin = 0, end = 0;
    char buf[16384];
};

/* Moves the unread bytes to the front of the buffer and reads more behind them. */
void Refill(PieceReader &r)
{
    memmove(r.buf, r.buf + r.begin, r.end - r.begin);
    r.end -= r.begin;
    r.begin = 0;
    ssize_t n;
    do
        n = read(r.fd, r.buf + r.end, sizeof r.buf - r.end);
    while (n < 0 && errno == EINTR);
    if (n > 0)
        r.end += std::size_t(n);
    r.atEnd = n <= 0;
    r.failed = n < 0;
}

/*
 * The next piece: the bytes up to and including a newline, at most 511 of them, or what
 * is left at the end of the file. Seen as a C text, so an embedded NUL ends it.
 */
bool NextPiece(PieceReader &r, std::string_view &piece)
{
    for (;;) {
        const char *start = r.buf + r.begin;
        const std::size_t avail = r.end - r.begin;
        const std::size_t span = std::min(avail, kPieceMax);
        const auto *nl = static_cast<const char *>(memchr(start, '\n', span));
        if (r.failed || (avail == 0 && r.atEnd))
            return false;
        if (nl || avail >= kPieceMax || r.atEnd) {
            const std::size_t len = nl ? std::size_t(nl - start) + 1 : span;
            r.begin += len;
            const auto *nul = static_cast<const char *>(memchr(start, '\0', len));
            piece = std::string_view(start, nul ? std::size_t(nul - start) : len);
            return true;
        }
        Refill(r);
    }
}

constexpr int HexDigit(char c)
{
    return (c >= '0' && c <= '9')   ? c - '0'
           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                    : -1;
}

constexpr bool IsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/*
 * Reads a number as strtol(text, &end, 16) does (white space, a sign, an optional "0x",
 * hex digits) and saturates it to int. *end receives the offset behind the number, or 0
 * when there is no number at all.
 */
int ScanHex(std::string_view text, std::size_t *end)
{
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] | 0x20) == 'x' &&
        HexDigit(text[i + 2]) >= 0)
        i += 2;
    const std::size_t digits = i;
    long long magnitude = 0; /* held just above the int range once it leaves it */
    for (; i < text.size() && HexDigit(text[i]) >= 0; ++i)
        magnitude = std::min(magnitude * 16 + HexDigit(text[i]), 1LL << 40);
    *end = i == digits ? 0 : i;
    return tarvik::ClampToInt(negative ? -magnitude : magnitude);
}

/*
 * Scans an open compiled catalogue for rec.ErrCode: the header must begin with
 * "!$<ErrClass in hex>"; the first entry of the code wins, and its text, one trailing
 * newline dropped, goes to rec.Body.
 */
Lookup ScanCatalogue(const char *func, const char *path, PieceReader &r, T_ErrMsg &rec)
{
    std::string_view line;
    if (!NextPiece(r, line)) {
        Diagnostic("Tarvik - %s() : %s : fichier vide\n", func, path);
        return Lookup::Failed;
    }
    char ident[20];
    const int identLen = snprintf(ident, sizeof ident, "!$%x", unsigned(rec.ErrClass));
    if (line.substr(0, std::size_t(identLen)) != ident) {
        Diagnostic("Tarvik - %s() : %s : format incorrect\n", func, path);
        return Lookup::Failed;
    }
    while (NextPiece(r, line)) {
        if (line.empty() || line[0] != '.')
            continue;
        const std::string_view entry = line.substr(1);
        std::size_t s;
        if (ScanHex(entry, &s) != rec.ErrCode)
            continue;
        /* The byte behind the number (normally the second dot) is skipped, whatever it is. */
        std::string_view text = s < entry.size() ? entry.substr(s + 1) : std::string_view();
        if (!text.empty() && text.back() == '\n')
            text.remove_suffix(1);
        text.copy(rec.Body, std::min(text.size(), sizeof rec.Body - 1));
        return Lookup::Found;
    }
    return Lookup::NoEntry;
}

/* Opens the compiled catalogue at path and scans it for rec.ErrCode. */
Lookup ReadCatalogue(const char *func, const char *path, T_ErrMsg &rec)
{
    PieceReader r;
    r.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (r.fd < 0) {
        Diagnostic("Tarvik - %s() : Impossible d'ouvrir le fichier \"%s\"\n", func, path);
        return Lookup::Failed;
    }
    const Lookup result = ScanCatalogue(func, path, r, rec);
    close(r.fd);
    return result;
}

/*
 * Fills rec.Body with the text of rec.ErrCode: the errno text for -1, else the text from
 * the catalogue of the code's class (the last matching class entry wins).
 */
Lookup FindText(const char *func, const T_ClassInfo *table, const char *sysErrMsg, T_ErrMsg &rec)
{
    if (rec.ErrCode == TARVIK_SYSTEM_ERROR) {
        CopyBounded(rec.Body, sysErrMsg);
        return Lookup::Found;
    }
    rec.ErrClass = rec.ErrCode >> 16; /* arithmetic: bit 31 gives a negative class */
    char errfilepath[256] = "";
    for (const T_ClassInfo *p = table; p; p = p->Next) {
        if (p->ClassCode == rec.ErrClass) {
            CopyBounded(rec.ClassPackage, p->PkgName);
            CopyBounded(errfilepath, p->FilePath);
        }
    }
    if (rec.ClassPackage[0] == '\0')
        return Lookup::NoClass;
    return ReadCatalogue(func, errfilepath, rec);
}

/* Appends formatted text at *len in buf (size bytes), never past its end. */
__attribute__((format(printf, 4, 5))) void Append(char *buf, std::size_t size, std::size_t *len,
                                                  const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buf + *len, size - *len, format, args);
    va_end(args);
    if (n > 0)
        *len = std::min(*len + std::size_t(n), size - 1);
}

/* Renders the record as the framed report and prints it with one output call. */
int ErrDispatch(const T_ErrMsg *pErrMsg)
{
    if (!pErrMsg) {
        Diagnostic("Tarvik - ErrDispatch() : internal error (NULL pointer)\n");
        return -1;
    }
    /* A record's size always holds its longest report (3339 characters). */
    constexpr std::size_t size = sizeof(T_ErrMsg);
    const std::unique_ptr<char, FreeDeleter> Buffer(static_cast<char *>(std::calloc(1, size)));
    if (!Buffer) {
        Diagnostic("Tarvik - ErrDispatch() : Memoire insuffisante\n");
        return -1;
    }
    const T_ErrMsg &m = *pErrMsg;
    std::size_t len = 0;
    Append(Buffer.get(), size, &len,
           "==== TARVIK MESSAGE ==== %s\nApplication : %s\nClass : %s (%d)\nCode : $%x\nType :",
           m.Date, m.ApplicationName, m.ClassPackage, m.ErrClass, unsigned(m.ErrCode));
    for (const auto &type : kTypeWords)
        if (m.ErrType & type.bit)
            Append(Buffer.get(), size, &len, "%s", type.word);
    Append(Buffer.get(), size, &len,
           "\nSource : %s\nBody : %s\nExtra : %s\n========================\n", m.Source, m.Body,
           m.ExtraInfo);
    printf("%s\n", Buffer.get());
    fflush(stdout);
    return 0;
}

} // namespace

int TarvikInit(const char *AppName, int Send)
{
    const ErrnoGuard keepErrno;
    pthread_once(&once, ErrMutexCreate);
    ErrMutexLock();
    SendToLogger = Send;
    if (!ErrCfgGet()) {
        /* The name first: the configuration picks the application's code by it. */
        SetTarvikApplicationName(AppName);
        ErrCfgInit();
    }
    ErrMutexUnlock();
    return 0;
}

int ErrSend(int ErrCode, int ErrType, const char *Source, const char *ExtraInfo)
{
    const ErrnoGuard keepErrno;
    /* The caller's texts and errno first, before anything can change them. */
    char SourceSave[1024], ExtraSave[1024], SysErrMsg[1024];
    CopyBounded(SourceSave, Source);
    CopyBounded(ExtraSave, ExtraInfo);
    SaveErrnoText(SysErrMsg);

    const Identity id = ReadIdentity();
    if (!id.table) {
        Diagnostic("Tarvik - ErrSend() : Probleme a l'init de la config du package Tarvik\n");
        return -1;
    }
    const Record rec = NewRecord("ErrSend", id, ErrCode);
    if (!rec)
        return -1;
    int ReturnCode = 0;
    rec->ErrType = ErrType;
    memcpy(rec->Source, SourceSave, sizeof rec->Source);
    memcpy(rec->ExtraInfo, ExtraSave, sizeof rec->ExtraInfo);
    SetCallingPackage(*rec);
    if (!QueryHostName("ErrSend", *rec, sizeof rec->CpuName))
        ReturnCode = -1;
    if (FindText("ErrSend", id.table, SysErrMsg, *rec) == Lookup::Failed)
        ReturnCode = -1;
    ErrDispatch(rec.get());
    return ReturnCode;
}

int ErrGet(int ErrCode, char *Buffer, int BufSize)
{
    const ErrnoGuard keepErrno;
    if (Buffer && BufSize < 1) {
        Diagnostic("Tarvik - ErrGet() : Taille du buffer incorrecte (%d)\n", BufSize);
        return -1;
    }
    if (Buffer)
        memset(Buffer, 0, std::size_t(BufSize));
    char SysErrMsg[1024];
    SaveErrnoText(SysErrMsg);

    const Identity id = ReadIdentity();
    if (!id.table) {
        Diagnostic("Tarvik - ErrGet() : Probleme a l'init de la config du package Tarvik\n");
        return -1;
    }
    const Record rec = NewRecord("ErrGet", id, ErrCode);
    if (!rec)
        return -1;
    int ReturnCode = 0;
    /* One byte less than ErrSend allows: a 39-character host name fails here. */
    if (!QueryHostName("ErrGet", *rec, sizeof rec->CpuName - 1))
        ReturnCode = -1;
    switch (FindText("ErrGet", id.table, SysErrMsg, *rec)) {
    case Lookup::NoClass:
        snprintf(rec->Body, sizeof rec->Body, "Unknown class number %d in error code $%x\n",
                 rec->ErrClass, unsigned(ErrCode));
        break;
    case Lookup::NoEntry:
        snprintf(rec->Body, sizeof rec->Body, "Unknown error number $%x in class %s\n",
                 unsigned(ErrCode), rec->ClassPackage);
        break;
    case Lookup::Failed:
        ReturnCode = -1;
        break;
    case Lookup::Found:
        break;
    }
    if (Buffer)
        CopyBounded(Buffer, std::size_t(BufSize), rec->Body);
    return ReturnCode;
}
