/*
 * Lookup.h - finding the text of an error code (internal to the library and its tools).
 *
 * A code's class is found in the class table, then the code's entry in that class's
 * compiled catalogue. ErrSend, ErrGet and TarvikCheck all go through these functions,
 * so that what the tool shows is what reports get; each caller words the outcome itself.
 */
#ifndef TARVIK_LOOKUP_H
#define TARVIK_LOOKUP_H

#include "tarvik.h"

namespace tarvik
{

struct ReadBuffer; /* the catalogue reader's buffer (Catalogue.h) */

/* Where the lookup of a code ended. */
enum class LookupEnd {
    SystemError, /* code -1: the text is that of errno; nothing is looked up */
    NoClass,     /* no entry of the code's class, or the entry kept has an empty name */
    CannotOpen,  /* the class's catalogue could not be opened (error in sysErr) */
    Unreadable,  /* its first read failed (sysErr) */
    Empty,       /* it has no first line */
    BadHeader,   /* its first line does not begin with the class's header */
    ReadError,   /* a read failed before an entry of the code was met (sysErr) */
    NoEntry,     /* it was read to its end without an entry of the code */
    Found,       /* the code's first entry gave the text */
};

/* What the lookup of one code found. */
struct LookupOutcome {
    LookupEnd end = LookupEnd::NoClass;
    int errClass = 0;                   /* the code shifted right by 16 bits; 0 for -1 */
    const T_ClassInfo *entry = nullptr; /* the class entry the walk kept: the last match */
    int sysErr = 0;                     /* errno of a failed open or read */
};

/* What a whole catalogue holds, for tools that show it; filled only when asked for. */
struct CatalogueTrace {
    int entries = 0;      /* lines that begin with '.', over the whole file */
    bool failed = false;  /* a read failed somewhere, even after the code's entry */
    int entryLine = 0;    /* line number of the code's first entry, 0 when none */
    char entry[512] = ""; /* that entry's piece, its newline dropped */
};

/*
 * Reads the compiled catalogue at path for class errClass: checks its header, then looks
 * for the first entry of *code (none when code is NULL), whose text (at most 1023 bytes,
 * one trailing newline dropped) goes to body. The file is read into buffer. The scan
 * stops at that entry, or with trace given reads the whole file and fills trace. Sets
 * *sysErr after a failed open or read. Returns CannotOpen, Unreadable, Empty, BadHeader,
 * ReadError, NoEntry or Found.
 */
LookupEnd ScanCatalogue(const char *path, int errClass, const int *code, char (&body)[1024],
                        ReadBuffer &buffer, int *sysErr, CatalogueTrace *trace = nullptr);

/*
 * Looks code up: -1 is the system error; any other code's class is walked for in table
 * (every entry is visited and the last match wins), then the code is sought in that
 * class's catalogue, as ScanCatalogue does. body receives the text when it is found.
 */
LookupOutcome LookupCode(const T_ClassInfo *table, int code, char (&body)[1024], ReadBuffer &buffer,
                         CatalogueTrace *trace = nullptr);

} // namespace tarvik

#endif
