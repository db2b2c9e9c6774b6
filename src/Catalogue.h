/*
 * Catalogue.h - reading compiled catalogues (internal to the library and its tools).
 *
 * A compiled catalogue starts with the header line "!$<class in hex>", followed by one
 * entry line ".<code in hex>.<text>" per error. It is read as fgets with a 512-byte
 * buffer would read it: a line longer than 511 bytes comes in pieces, each of which is
 * a line of its own, and an embedded NUL byte ends a line's text.
 */
#ifndef TARVIK_CATALOGUE_H
#define TARVIK_CATALOGUE_H

#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace tarvik
{

/*
 * The reader's buffer. At 16 KiB it is too large for the stack of a thread with a small
 * one, so the caller provides it: the library keeps it in the heap block of the call.
 */
struct ReadBuffer {
    char bytes[16384];
};

/* A catalogue file open for reading in pieces, into a buffer of the caller's. */
struct CatalogueReader {
    int fd = -1;
    bool atEnd = false;             /* the file has no more bytes to give */
    bool failed = false;            /* a read failed: no further piece */
    bool settled = false;           /* the descriptor was examined (InputFile.h) */
    bool sequential = false;        /* read in sequence: it cannot be read at an offset */
    off_t offset = 0;               /* where the next read starts in the file */
    off_t pieceOffset = 0;          /* where the last piece starts in the file */
    std::size_t begin = 0, end = 0; /* the unread bytes of buf */
    std::size_t nul = 0;            /* first NUL byte at or after begin, or end */
    int lineNum = 0;                /* line of the file that the last piece belongs to */
    bool lineEnded = true;          /* the last piece ended with a newline */
    char *const buf;                /* sizeof(ReadBuffer) bytes */

    explicit CatalogueReader(ReadBuffer &storage) : buf(storage.bytes) {}
    CatalogueReader(const CatalogueReader &) = delete;
    CatalogueReader &operator=(const CatalogueReader &) = delete;
    ~CatalogueReader();
};

/*
 * Opens path read-only into r, never waiting on a FIFO; false (errno set) when it cannot
 * be opened. A FIFO or a socket reads as a file whose first read fails (InputFile.h).
 */
bool OpenCatalogue(CatalogueReader &r, const char *path);

/*
 * The length of the piece that starts at the front of bytes, as a 512-byte fgets cuts
 * it: through the first newline, at most 511 bytes, or all of bytes when they are the
 * rest of the file (atEnd). 0 when bytes are empty, or too few to tell where the piece
 * ends. The piece's text ends earlier at an embedded NUL byte, if any.
 */
std::size_t PieceLength(std::string_view bytes, bool atEnd);

/*
 * Gives the next piece: the bytes up to and including a newline, at most 511 of them,
 * or what is left at the end of the file, cut at an embedded NUL. False at the end of
 * the file or after a read error (r.failed tells which). r.lineNum numbers the file's
 * lines from 1: the pieces of a line longer than 511 bytes share its number.
 * r.pieceOffset tells where the piece starts in the file; at the end of the file,
 * r.offset is the number of bytes read.
 */
bool NextPiece(CatalogueReader &r, std::string_view &piece);

/* Writes into ident the header that a catalogue of errClass begins with; returns it. */
std::string_view CatalogueHeader(int errClass, char (&ident)[20]);

/*
 * Reads an entry line (one that begins with '.'): its code, as strtol with base 16
 * reads the bytes after the dot, saturated to int, and its text, which starts one byte
 * after the number (normally behind the second dot) and loses one trailing newline.
 */
void ParseEntry(std::string_view line, int *code, std::string_view *text);

/* A code prepared for quick comparison with entry lines. */
struct EntryKey {
    int code;
    char hex[9]; /* the code in lower-case hexadecimal, as the compiler writes it */
    std::size_t length;
};

EntryKey MakeEntryKey(int code);

/*
 * Tells whether an entry line declares key.code, exactly as ParseEntry would decide,
 * but without reading the whole number of the (many) lines that do not.
 */
bool EntryDeclares(std::string_view line, const EntryKey &key);

} // namespace tarvik

#endif
