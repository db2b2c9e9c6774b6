/*
 * ErrSend - the library's entry points: TarvikInit, ErrSend and ErrGet.
 *
 * ErrSend and ErrGet take the library lock only to load the configuration on first use
 * and to copy the application's code and name, TarvikInit only to name the application,
 * load the configuration on first use and set the logger flag; the lookup (Lookup.cpp)
 * and the report (ErrDispatch.cpp) run unlocked, on a message record private to the
 * call. No call is a cancellation point, and none changes errno (CallGuard.h).
 */
#include "tarvik.h"

#include "CallGuard.h"
#include "Catalogue.h"
#include "Diagnostic.h"
#include "ErrDispatch.h"
#include "Logger.h"
#include "Lookup.h"
#include "TextScan.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <type_traits>
#include <unistd.h>

namespace
{

using tarvik::CallGuard;
using tarvik::CopyBounded;
using tarvik::Diagnostic;
using tarvik::LookupEnd;
using tarvik::LookupOutcome;

pthread_once_t once = PTHREAD_ONCE_INIT; /* creates the library lock */

/* The longest host name that the system allows; where it names no limit, POSIX's least. */
#if defined(HOST_NAME_MAX)
constexpr std::size_t kHostNameMax = HOST_NAME_MAX;
#else
constexpr std::size_t kHostNameMax = _POSIX_HOST_NAME_MAX;
#endif

/*
 * Everything that one ErrSend or ErrGet call works on, in one heap block allocated as
 * the call begins: the message record, whose Source, ExtraInfo and (for code -1) Body
 * keep the caller's texts and the errno text from the start, and the catalogue reader's
 * buffer. Nothing large is left on the stack, so the calls run on the smallest threads.
 */
struct CallSpace {
    T_ErrMsg rec;
    tarvik::ReadBuffer readBuffer;
};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Space = std::unique_ptr<CallSpace, FreeDeleter>;

/* What an entry point reads under the lock. */
struct Identity {
    const T_ClassInfo *table; /* head of the class table, NULL when none could be loaded */
    int AppCode;
    char AppName[40];
};

/* strerror_r comes in two flavours: one returns the text, the other fills the buffer. */
[[maybe_unused]] const char *ErrorText(const char *text, int, char *, std::size_t)
{
    return text;
}
[[maybe_unused]] const char *ErrorText(int failed, int err, char *buf, std::size_t size)
{
    if (failed)
        snprintf(buf, size, "Unknown error %d", err);
    return buf;
}

/* Writes the text of the errno value err into out, at most 1023 characters, one newline dropped. */
void ErrnoText(int err, char (&out)[1024])
{
    const char *text = ErrorText(strerror_r(err, out, sizeof out), err, out, sizeof out);
    if (text != out)
        CopyBounded(out, text);
    const std::size_t n = strlen(out);
    if (n > 0 && out[n - 1] == '\n')
        out[n - 1] = '\0';
}

/*
 * Allocates the call's space, zero-filled, with the text of callerErrno in the record's
 * Body when the code is -1. NULL when no memory is left: the call says so only after its
 * check of the class table, in the order of CanGoOn.
 */
Space NewSpace(int ErrCode, int callerErrno)
{
    Space space(static_cast<CallSpace *>(std::calloc(1, sizeof(CallSpace))));
    if (space && ErrCode == TARVIK_SYSTEM_ERROR)
        ErrnoText(callerErrno, space->rec.Body);
    return space;
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

/*
 * Whether an entry point can go on: a class table was loaded and its space allocated.
 * Otherwise prints why (the table is checked first) and returns false.
 */
bool CanGoOn(const char *func, const Identity &id, const Space &space)
{
    if (!id.table)
        Diagnostic("Tarvik - %s() : Probleme a l'init de la config du package Tarvik\n", func);
    else if (!space)
        Diagnostic("Tarvik - %s() : Memoire insuffisante\n", func);
    return id.table && space;
}

/* A thread identifier as a 32-bit number: the low bits of its value. */
template <typename ThreadId>
unsigned LowBits(ThreadId id)
{
    if constexpr (std::is_integral_v<ThreadId>) {
        return unsigned(id);
    } else if constexpr (std::is_pointer_v<ThreadId>) {
        return unsigned(reinterpret_cast<std::uintptr_t>(id));
    } else { /* a structure, on a few systems: its first bytes */
        unsigned number = 0;
        memcpy(&number, &id, std::min(sizeof number, sizeof id));
        return number;
    }
}

/* Stamps the record with the identity, date, process, thread and code. */
void Stamp(T_ErrMsg &rec, const Identity &id, int ErrCode)
{
    rec.ApplicationCode = id.AppCode;
    CopyBounded(rec.ApplicationName, id.AppName);
    tarvik::ErrDate(rec.Date);
    rec.ErrCode = ErrCode;
    rec.ProcessId = int(getpid());
    rec.ThreadId = LowBits(pthread_self());
}

/*
 * Queries the host name into a buffer of the longest name that the system allows and
 * keeps its first 39 characters in rec.CpuName; false after a diagnostic when the query
 * itself fails.
 */
bool QueryHostName(const char *func, T_ErrMsg &rec)
{
    char name[kHostNameMax + 1];
    const bool ok = gethostname(name, sizeof name) == 0;
    name[sizeof name - 1] = '\0'; /* a failed query may leave it unterminated */
    CopyBounded(rec.CpuName, name);
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
 * Fills the record's Body with the text of its ErrCode (for -1 it holds the errno text
 * already), and its ErrClass and ClassPackage from the class table, printing the
 * diagnostic of a catalogue that cannot be read. Returns where the lookup ended.
 */
LookupEnd FindText(const char *func, const T_ClassInfo *table, CallSpace &space)
{
    T_ErrMsg &rec = space.rec;
    const LookupOutcome out = tarvik::LookupCode(table, rec.ErrCode, rec.Body, space.readBuffer);
    rec.ErrClass = out.errClass;
    if (out.entry && out.end != LookupEnd::NoClass)
        CopyBounded(rec.ClassPackage, out.entry->PkgName);
    const char *path = out.entry ? out.entry->FilePath : "";
    switch (out.end) {
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
    case LookupEnd::SystemError:
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
    const CallGuard guard;
    pthread_once(&once, ErrMutexCreate);
    ErrMutexLock();
    if (!ErrCfgGet()) {
        /* The name first: the configuration picks the application's code by it. */
        SetTarvikApplicationName(AppName);
        ErrCfgInit();
    }
    tarvik::SetSendToLogger(Send);
    ErrMutexUnlock();
    /*
     * After the library lock: fork takes the logger's lock first and the library lock
     * after it, so no thread may hold the library lock while it waits for the logger's.
     */
    if (Send != 0)
        tarvik::StartLogger();
    return 0;
}

int ErrSend(int ErrCode, int ErrType, const char *Source, const char *ExtraInfo)
{
    const CallGuard guard;
    /* The caller's texts and the errno text first, before anything can change them. */
    const Space space = NewSpace(ErrCode, guard.CallerErrno());
    if (space) {
        CopyBounded(space->rec.Source, Source);
        CopyBounded(space->rec.ExtraInfo, ExtraInfo);
    }
    const Identity id = ReadIdentity();
    if (!CanGoOn("ErrSend", id, space))
        return -1;
    T_ErrMsg &rec = space->rec;
    Stamp(rec, id, ErrCode);
    rec.ErrType = ErrType;
    SetCallingPackage(rec);
    int ReturnCode = 0;
    if (!QueryHostName("ErrSend", rec))
        ReturnCode = -1;
    if (Failed(FindText("ErrSend", id.table, *space)))
        ReturnCode = -1;
    if (tarvik::ErrDispatch(&rec) == tarvik::Dispatch::NotWritten)
        ReturnCode = -1;
    return ReturnCode;
}

int ErrGet(int ErrCode, char *Buffer, int BufSize)
{
    const CallGuard guard;
    if (Buffer && BufSize < 1) {
        Diagnostic("Tarvik - ErrGet() : Taille du buffer incorrecte (%d)\n", BufSize);
        return -1;
    }
    if (Buffer)
        memset(Buffer, 0, std::size_t(BufSize));
    const Space space = NewSpace(ErrCode, guard.CallerErrno());
    const Identity id = ReadIdentity();
    if (!CanGoOn("ErrGet", id, space))
        return -1;
    T_ErrMsg &rec = space->rec;
    Stamp(rec, id, ErrCode);
    int ReturnCode = 0;
    if (!QueryHostName("ErrGet", rec))
        ReturnCode = -1;
    const LookupEnd end = FindText("ErrGet", id.table, *space);
    if (end == LookupEnd::NoClass)
        snprintf(rec.Body, sizeof rec.Body, "Unknown class number %d in error code $%x\n",
                 rec.ErrClass, unsigned(ErrCode));
    else if (end == LookupEnd::NoEntry)
        snprintf(rec.Body, sizeof rec.Body, "Unknown error number $%x in class %s\n",
                 unsigned(ErrCode), rec.ClassPackage);
    else if (Failed(end))
        ReturnCode = -1;
    if (Buffer)
        CopyBounded(Buffer, std::size_t(BufSize), rec.Body);
    return ReturnCode;
}
