/*
 * Lookup - the class walk and the catalogue scan that give an error code its text.
 */
#include "Lookup.h"

#include "Catalogue.h"
#include "TextScan.h"

#include <cerrno>
#include <string_view>

namespace tarvik
{
namespace
{

/* Copies text into body, cut to its 1023 characters, and terminates it. */
void SetBody(char (&body)[1024], std::string_view text)
{
    body[CopyView(body, Head(text, sizeof body - 1))] = '\0';
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
    std::string_view line;
    if (!NextPiece(r, line)) {
        *sysErr = errno;
        return r.failed ? LookupEnd::Unreadable : LookupEnd::Empty;
    }
    char ident[20];
    const std::string_view header = CatalogueHeader(errClass, ident);
    if (Head(line, header.size()) != header)
        return LookupEnd::BadHeader;

    LookupEnd end = LookupEnd::NoEntry;
    const EntryKey key = MakeEntryKey(code ? *code : 0);
    while (NextPiece(r, line)) {
        if (line.empty() || line[0] != '.')
            continue;
        if (trace)
            ++trace->entries;
        if (!code || end == LookupEnd::Found || !EntryDeclares(line, key))
            continue;
        int entryCode;
        std::string_view text;
        ParseEntry(line, &entryCode, &text);
        SetBody(body, text);
        end = LookupEnd::Found;
        if (!trace)
            return end;
        trace->entryLine = r.lineNum;
        const std::string_view shown = Head(line, line.size() - (line.back() == '\n'));
        trace->entry[CopyView(trace->entry, shown)] = '\0';
    }
    if (r.failed) {
        *sysErr = errno;
        if (trace)
            trace->failed = true;
        /* The entry may lie behind the failure: not finding it proves nothing. */
        if (end != LookupEnd::Found)
            end = LookupEnd::ReadError;
    }
    return end;
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
