/*
 * tarvik.h - error reporting for Unix programs.
 *
 * An application names itself once with TarvikInit(), then reports errors by numeric
 * code with ErrSend(), which prints a framed report on standard output, or fetches an
 * error's text with ErrGet(). Codes come from the headers that TarvikCompile generates
 * from a catalogue source; the value -1 stands for the current errno.
 *
 * The configuration (where each class's compiled catalogue lies) is read on first use
 * from the file "Tarvik.cfg" (or $TARVIK_CFG_FILE) in $TARVIK_CFG_DIR, then from the
 * same file name in $TARVIK_CFG_DIR_USER when that variable is set.
 *
 * TarvikInit, ErrSend and ErrGet may be called from any thread at any time; the functions
 * that change the configuration or the application's identity want the library lock
 * around them while other threads report (see ErrCfgInit). No function is a cancellation
 * point. Diagnostics go to standard output.
 * This header is plain C89 and may be included from C or C++.
 */
#ifndef TARVIK_H
#define TARVIK_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The library's version: the build reads it from here, so these lines are its only home.
 * The major number is that of the shared library's name, libtarvik.so.<major>: it rises
 * with every change that breaks programs built against an earlier version.
 */
#define TARVIK_VERSION_MAJOR 1
#define TARVIK_VERSION_MINOR 0
#define TARVIK_VERSION_PATCH 0
#define TARVIK_VERSION_NUMBER \
    (TARVIK_VERSION_MAJOR * 10000 + TARVIK_VERSION_MINOR * 100 + TARVIK_VERSION_PATCH)

/* Error type bits of ErrSend(), combinable; shown as words in this order. */
#define TARVIK_DEBUG 1
#define TARVIK_INFORMATION 2
#define TARVIK_WARNING 4
#define TARVIK_ERROR 8
#define TARVIK_FATAL 16

/* The error code that stands for the current errno. */
#define TARVIK_SYSTEM_ERROR (-1)

/* One entry of the class table: where the compiled catalogue of a class lies. */
typedef struct _ClassInfo {
    int ClassCode;           /* class number: the high 16 bits of its error codes */
    char PkgName[40];        /* class name, upper case */
    char FilePath[256];      /* path of the class's compiled catalogue */
    struct _ClassInfo *Next; /* next entry, NULL at the end */
} T_ClassInfo;

/* Everything known about one reported error. Every text is NUL-terminated. */
typedef struct _ErrMsg {
    char Date[20];       /* local date stamp, e.g. "08-Dec-126 21:38:05" */
    char CpuName[40];    /* host name */
    int ApplicationCode; /* application code from the configuration */
    char ApplicationName[40];
    char ProcessName[40]; /* always empty */
    int ProcessId;
    char ThreadName[40]; /* always empty */
    unsigned int ThreadId;
    char CallingPackage[40]; /* upper-cased package name heading Source, or empty */
    char ClassPackage[40];   /* name of the error's class, or empty */
    int ErrClass;            /* the code shifted right by 16 bits, sign kept */
    int ErrCode;
    int ErrType; /* TARVIK_DEBUG ... TARVIK_FATAL bits */
    char Source[1024];
    char Body[1024]; /* the error's text */
    char ExtraInfo[1024];
} T_ErrMsg;

/* The record's layout is the same on every platform: int is 32 bits wide. */
typedef char T_ErrMsgSizeCheck[sizeof(T_ErrMsg) == 3356 ? 1 : -1];

/*
 * The TARVIK_VERSION_NUMBER of the library that runs, which may differ from that of the
 * header a program was compiled with when the program links the shared library.
 */
int TarvikVersion(void);

/*
 * Names the application (at most 39 characters are kept; NULL counts as "") and sets
 * the logger flag. The first call that finds no configuration loaded sets the name and
 * loads the configuration; later calls change only the flag. Returns 0.
 */
int TarvikInit(const char *AppName, int Send);

/*
 * Prints the framed report of ErrCode on standard output. ErrType holds the type bits;
 * Source (by convention "PACKAGE - description") and ExtraInfo are free texts of which
 * at most 1023 characters are kept; NULL counts as "". Returns 0, or -1 when a step
 * failed (a diagnostic is printed; most failures still print the report).
 */
int ErrSend(int ErrCode, int ErrType, const char *Source, const char *ExtraInfo);

/*
 * Copies the text of ErrCode into Buffer (BufSize bytes, always terminated; Buffer may
 * be NULL). An unknown class or code gives a descriptive text of its own. Returns 0, or
 * -1 when a step failed or when Buffer is given with a BufSize below 1.
 */
int ErrGet(int ErrCode, char *Buffer, int BufSize);

/*
 * Loads the configuration from scratch: rebuilds the class table and sets the
 * application code from the system file's application lines. Returns 0 or -1.
 * The library calls it on first use; a program that calls it directly while other
 * threads report should hold the library lock (ErrMutexLock) around the call.
 */
int ErrCfgInit(void);

/* Head of the class table, NULL when no configuration is loaded. Read only. */
T_ClassInfo *ErrCfgGet(void);

void SetTarvikApplicationCode(int AppCode);
int GetTarvikApplicationCode(void);
/* Keeps at most 39 characters of AppName; NULL counts as "". */
void SetTarvikApplicationName(const char *AppName);
/* The library's own name buffer (not a copy): valid for the life of the process. */
char *GetTarvikApplicationName(void);

/*
 * The library lock, not recursive. The library prepares it for fork (ErrMutexCreate,
 * through pthread_once) on the first call of TarvikInit, ErrSend or ErrGet; ErrMutexCreate
 * does that once per process, and a further call does nothing. A program that takes the
 * lock itself does so only after one of those calls, and never calls fork or one of those
 * three while it holds the lock.
 */
void ErrMutexCreate(void);
void ErrMutexLock(void);
void ErrMutexUnlock(void);

#ifdef __cplusplus
}
#endif

#endif /* TARVIK_H */
