/*
 * Lookup - the class walk and the catalogue lookup that give an error code its text:
 * from the catalogue's index when one holds for the file as it is (CatalogueIndex.h),
 * else by a scan of the file, which collects the index on the way.
 */
#include "Lookup.h"

#include "Catalogue.h"
#include "CatalogueIndex.h"
#include "TextScan.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace tarvik
{
namespace
{

/* Copies the text of an entry piece into body, cut to its 1023 characters. */
void TakeText(std::string_view piece, char (&body)[1024])
{
    int code;
    std::string_view text;
    ParseEntry(piece, &code, &text);
    body[CopyView(body, Head(text, sizeof body - 1))] = '\0';
}

/* Whether piece, the first piece of a catalogue, begins with the header of errClass. */
bool HeaderFits(std::string_view piece, int errClass)
{
    char ident[20];
    const std::string_view header = CatalogueHeader(errClass, ident);
    return Head(piece, header.size()) == header;
}

/*
 * Answers the lookup of code in the open catalogue fd from answer, the catalogue's index
 * for fd's identity: the header is checked against the kept bytes; for a code that the
 * index knows, the piece at the recorded offset, cut as a scan would cut it, must still
 * declare the code. False when the index cannot answer; the file must then be scanned.
 */
bool AnswerFromIndex(int fd, const IndexAnswer &answer, int errClass, int code, char (&body)[1024],
                     LookupEnd *end)
{
    if (!HeaderFits({answer.header, answer.headerLength}, errClass)) {
        *end = LookupEnd::BadHeader;
        return true;
    }
    if (answer.kind == IndexAnswer::Kind::NoEntry) {
        *end = LookupEnd::NoEntry;
        return true;
    }
    char bytes[512];
    ssize_t n;
    do
        n = pread(fd, bytes, sizeof bytes - 1, off_t(answer.offset));
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    const bool atEnd =
        std::uint64_t(answer.offset) + std::uint64_t(n) == std::uint64_t(answer.id.size);
    const std::size_t length = PieceLength({bytes, std::size_t(n)}, atEnd);
    const std::string_view piece(bytes, strnlen(bytes, length));
    if (piece.empty() || piece[0] != '.' || !EntryDeclares(piece, MakeEntryKey(code)))
        return false;
    TakeText(piece, body);
    *end = LookupEnd::Found;
    return true;
}

/*
 * Scans the catalogue open in r, as ScanCatalogue describes. With id
 * given, the scan also collects the file's index and reads to the end for it, when the
 * file may be indexed now. With small set (path's index is of a file of at most
 * kScannedBytes), the index is dropped when the file proves longer.
 */
LookupEnd ReadCatalogue(CatalogueReader &r, const char *path, int errClass, const int *code,
                        char (&body)[1024], int *sysErr, CatalogueTrace *trace,
                        const FileIdentity *id, bool small)
{
    std::string_view line;
    if (!NextPiece(r, line)) {
        *sysErr = errno;
        return r.failed ? LookupEnd::Unreadable : LookupEnd::Empty;
    }
    if (small && std::uint64_t(r.offset) > kScannedBytes)
        ForgetIndex(path);
    if (!HeaderFits(line, errClass))
        return LookupEnd::BadHeader;
    IndexBuilder index(id);
    index.SetHeader(line);

    LookupEnd end = LookupEnd::NoEntry;
    const EntryKey key = MakeEntryKey(code ? *code : 0);
    while (NextPiece(r, line)) {
        if (line.empty() || line[0] != '.')
            continue;
        if (trace)
            ++trace->entries;
        index.AddEntry(line, r.pieceOffset);
        if (code && end != LookupEnd::Found && EntryDeclares(line, key)) {
            TakeText(line, body);
            end = LookupEnd::Found;
            if (trace) {
                trace->entryLine = r.lineNum;
                const std::string_view shown = Head(line, line.size() - (line.back() == '\n'));
                trace->entry[CopyView(trace->entry, shown)] = '\0';
            }
        }
        if (end == LookupEnd::Found && !trace && !index.Active())
            return end;
    }
    if (r.failed) {
        *sysErr = errno;
        if (trace)
            trace->failed = true;
        /* The entry may lie behind the failure: not finding it proves nothing. */
        if (end != LookupEnd::Found)
            end = LookupEnd::ReadError;
    } else {
        index.Publish(path, std::uint64_t(r.offset));
    }
    return end;
}

} // namespace

LookupEnd ScanCatalogue(const char *path, int errClass, const int *code, char (&body)[1024],
                        ReadBuffer &buffer, int *sysErr, CatalogueTrace *trace)
{
    CatalogueReader r(buffer);
    if (!OpenCatalogue(r, path)) {
        *sysErr = errno;
        return LookupEnd::CannotOpen;
    }
    /* A trace shows the file as a scan reads it: it never comes from the index. */
    if (!code || trace)
        return ReadCatalogue(r, path, errClass, code, body, sysErr, trace, nullptr, false);
    const IndexAnswer answer = QueryIndex(path, *code);
    const bool indexed = answer.kind != IndexAnswer::Kind::Unknown;
    if (indexed && std::uint64_t(answer.id.size) <= kScannedBytes)
        return ReadCatalogue(r, path, errClass, code, body, sysErr, nullptr, nullptr, true);
    FileIdentity id;
    const bool identified = r.fd >= 0 && ReadIdentity(r.fd, &id);
    LookupEnd end;
    if (identified && indexed && SameIdentity(answer.id, id) &&
        AnswerFromIndex(r.fd, answer, errClass, *code, body, &end))
        return end;
    return ReadCatalogue(r, path, errClass, code, body, sysErr, nullptr, identified ? &id : nullptr,
                         false);
}

LookupOutcome LookupCode(const T_ClassInfo *table, int code, char (&body)[1024], ReadBuffer &buffer,
                         CatalogueTrace *trace)
{
    LookupOutcome out;
    if (code == TARVIK_SYSTEM_ERROR) {
        out.end = LookupEnd::SystemError;
        return out;
    }
    out.errClass = code >> 16; /* arithmetic: bit 31 gives a negative class */
    for (const T_ClassInfo *p = table; p; p = p->Next)
        if (p->ClassCode == out.errClass)
            out.entry = p;
    /* A report names the class by its entry's name: an empty one reads as no class. */
    if (!out.entry || out.entry->PkgName[0] == '\0') {
        out.end = LookupEnd::NoClass;
        return out;
    }
    out.end =
        ScanCatalogue(out.entry->FilePath, out.errClass, &code, body, buffer, &out.sysErr, trace);
    return out;
}

} // namespace tarvik
