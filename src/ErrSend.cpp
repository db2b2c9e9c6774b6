/*
 * ErrSend - the library's entry points: TarvikInit, ErrSend and ErrGet.
 *
 * Each call takes the library lock only to load the configuration on first use and to
 * copy the application's code and name; the class walk, the catalogue lookup and the
 * printing run unlocked, on a message record private to the call. Nothing is cached:
 * every lookup opens, reads and closes the class's compiled catalogue.
 */
#include "tarvik.h"

#include "Catalogue.h"
#include "Diagnostic.h"
#include "Logger.h"
#include "TextScan.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

namespace
{

using tarvik::CopyBounded;
using tarvik::Diagnostic;

pthread_once_t once = PTHREAD_ONCE_INIT; /* creates the library lock */
std::atomic<int> SendToLogger;           /* logger flag of TarvikInit */

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

/*
 * Looks rec.ErrCode up in the compiled catalogue at path: the header must begin with
 * "!$<ErrClass in hex>"; the first entry of the code wins and its text goes to rec.Body.
 */
Lookup ReadCatalogue(const char *func, const char *path, T_ErrMsg &rec)
{
    tarvik::CatalogueReader r;
    if (!tarvik::OpenCatalogue(r, path)) {
        Diagnostic("Tarvik - %s() : Impossible d'ouvrir le fichier \"%s\"\n", func, path);
        return Lookup::Failed;
    }
    std::string_view line;
    if (!tarvik::NextPiece(r, line)) {
        Diagnostic("Tarvik - %s() : %s : fichier vide\n", func, path);
        return Lookup::Failed;
    }
    char ident[20];
    const std::string_view header = tarvik::CatalogueHeader(rec.ErrClass, ident);
    if (tarvik::Head(line, header.size()) != header) {
        Diagnostic("Tarvik - %s() : %s : format incorrect\n", func, path);
        return Lookup::Failed;
    }
    const tarvik::EntryKey key = tarvik::MakeEntryKey(rec.ErrCode);
    while (tarvik::NextPiece(r, line)) {
        if (line.empty() || line[0] != '.' || !tarvik::EntryDeclares(line, key))
            continue;
        int code;
        std::string_view text;
        tarvik::ParseEntry(line, &code, &text);
        tarvik::CopyView(rec.Body, tarvik::Head(text, sizeof rec.Body - 1));
        return Lookup::Found;
    }
    if (r.failed) {
        /* The entry may lie behind the failure: not finding it proves nothing. */
        Diagnostic("Tarvik - %s() : %s : erreur de lecture\n", func, path);
        return Lookup::Failed;
    }
    return Lookup::NoEntry;
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
    /* A record's size always holds the longest report (3339 characters and a blank line). */
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
    /* The report's own closing newline is followed by one more, as printf("%s\n") gives. */
    Append(Buffer.get(), size, &len,
           "\nSource : %s\nBody : %s\nExtra : %s\n========================\n\n", m.Source, m.Body,
           m.ExtraInfo);
    /* One output call, so reports never interleave, and its flush, under one stream lock. */
    flockfile(stdout);
    fwrite(Buffer.get(), 1, len, stdout);
    fflush(stdout);
    funlockfile(stdout);
    if (SendToLogger.load() != 0)
        tarvik::LogReport(m.ErrType, Buffer.get());
    return 0;
}

} // namespace

int TarvikInit(const char *AppName, int Send)
{
    const ErrnoGuard keepErrno;
    pthread_once(&once, ErrMutexCreate);
    ErrMutexLock();
    if (!ErrCfgGet()) {
        /* The name first: the configuration picks the application's code by it. */
        SetTarvikApplicationName(AppName);
        ErrCfgInit();
    }
    if (Send != 0)
        tarvik::OpenLogger(GetTarvikApplicationName());
    SendToLogger.store(Send);
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
