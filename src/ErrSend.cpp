/*
 * ErrSend - the library's entry points: TarvikInit, ErrSend and ErrGet.
 *
 * Each call takes the library lock only to load the configuration on first use and to
 * copy the application's code and name; the lookup (Lookup.cpp) and the report
 * (ErrDispatch.cpp) run unlocked, on a message record private to the call.
 */
#include "tarvik.h"

#include "Diagnostic.h"
#include "ErrDispatch.h"
#include "Logger.h"
#include "Lookup.h"
#include "TextScan.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <unistd.h>

namespace
{

using tarvik::CopyBounded;
using tarvik::Diagnostic;
using tarvik::LookupEnd;
using tarvik::LookupOutcome;

pthread_once_t once = PTHREAD_ONCE_INIT; /* creates the library lock */

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
    tarvik::ErrDate(rec->Date);
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
 * Fills rec.Body with the text of rec.ErrCode (the errno text for -1) and rec.ErrClass
 * and rec.ClassPackage from the class table, printing the diagnostic of a catalogue that
 * cannot be read. Returns where the lookup ended.
 */
LookupEnd FindText(const char *func, const T_ClassInfo *table, const char *sysErrMsg,
                   T_ErrMsg &rec)
{
    const LookupOutcome out = tarvik::LookupCode(table, rec.ErrCode, rec.Body);
    rec.ErrClass = out.errClass;
    if (out.entry && out.end != LookupEnd::NoClass)
        CopyBounded(rec.ClassPackage, out.entry->PkgName);
    const char *path = out.entry ? out.entry->FilePath : "";
    switch (out.end) {
    case LookupEnd::SystemError:
        CopyBounded(rec.Body, sysErrMsg);
        break;
    case LookupEnd::CannotOpen:
        Diagnostic("Tarvik - %s() : Impossible d'ouvrir le fichier \"%s\"\n", func, path);
        break;
    case LookupEnd::Unreadable:
    case LookupEnd::Empty:
        Diagnostic("Tarvik - %s() : %s : fichier vide\n", func, path);
        break;
    case LookupEnd::BadHeader:
        Diagnostic("Tarvik - %s() : %s : format incorrect\n", func, path);
        break;
    case LookupEnd::ReadError:
        Diagnostic("Tarvik - %s() : %s : erreur de lecture\n", func, path);
        break;
    case LookupEnd::NoClass:
    case LookupEnd::NoEntry:
    case LookupEnd::Found:
        break;
    }
    return out.end;
}

/* Whether the lookup failed: the catalogue could not be read or is not the class's. */
constexpr bool Failed(LookupEnd end)
{
    return end == LookupEnd::CannotOpen || end == LookupEnd::Unreadable ||
           end == LookupEnd::Empty || end == LookupEnd::BadHeader || end == LookupEnd::ReadError;
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
        tarvik::StartLogger();
    tarvik::SetSendToLogger(Send);
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
    if (Failed(FindText("ErrSend", id.table, SysErrMsg, *rec)))
        ReturnCode = -1;
    tarvik::ErrDispatch(rec.get());
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
    const LookupEnd end = FindText("ErrGet", id.table, SysErrMsg, *rec);
    if (end == LookupEnd::NoClass)
        snprintf(rec->Body, sizeof rec->Body, "Unknown class number %d in error code $%x\n",
                 rec->ErrClass, unsigned(ErrCode));
    else if (end == LookupEnd::NoEntry)
        snprintf(rec->Body, sizeof rec->Body, "Unknown error number $%x in class %s\n",
                 unsigned(ErrCode), rec->ClassPackage);
    else if (Failed(end))
        ReturnCode = -1;
    if (Buffer)
        CopyBounded(Buffer, std::size_t(BufSize), rec->Body);
    return ReturnCode;
}
