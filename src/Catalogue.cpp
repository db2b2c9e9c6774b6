/*
 * Catalogue - reading compiled catalogues in the pieces that a 512-byte fgets gives,
 * from one descriptor and the caller's buffer: no stdio stream, no heap allocation.
 */
#include "Catalogue.h"

#include "InputFile.h"
#include "TextScan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace tarvik
{
namespace
{

constexpr std::size_t kPieceMax = 511;

/* The position of the first NUL byte of r.buf at or after from, or r.end. */
std::size_t FindNul(const CatalogueReader &r, std::size_t from)
{
    const auto *nul = static_cast<const char *>(memchr(r.buf + from, '\0', r.end - from));
    return nul ? std::size_t(nul - r.buf) : r.end;
}

/*
 * Reads up to n bytes into to from where the reader stands. Files are read with pread at
 * the reader's offset: it costs what read costs, and it fails with ESPIPE on a descriptor
 * without offsets, which catches a FIFO or a socket without a system call more per
 * lookup. Such a descriptor, or one whose read would block, is settled once (InputFile.h):
 * a FIFO or a socket is refused; any other device is made blocking and, when it has no
 * offsets, read in sequence, as after a plain open.
 */
ssize_t ReadMore(CatalogueReader &r, char *to, std::size_t n)
{
    for (;;) {
        const ssize_t got = r.sequential ? read(r.fd, to, n) : pread(r.fd, to, n, r.offset);
        if (got >= 0) {
            r.offset += got;
            return got;
        }
        if (errno == EINTR)
            continue;
        if (r.settled || (errno != ESPIPE && errno != EAGAIN))
            return -1;
        r.sequential = errno == ESPIPE;
        r.settled = true;
        if (!SettleInput(r.fd))
            return -1;
    }
}

/* Moves the unread bytes to the front of the buffer and reads more behind them. */
void Refill(CatalogueReader &r)
{
    memmove(r.buf, r.buf + r.begin, r.end - r.begin);
    r.end -= r.begin;
    r.begin = 0;
    const ssize_t n = ReadMore(r, r.buf + r.end, sizeof(ReadBuffer) - r.end);
    if (n > 0)
        r.end += std::size_t(n);
    r.atEnd = n <= 0;
    r.failed = n < 0;
    r.nul = FindNul(r, 0);
}

constexpr int HexDigit(char c)
{
    return (c >= '0' && c <= '9')   ? c - '0'
           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                    : -1;
}

/* White space as strtol skips it in the C locale. */
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
    return ClampToInt(negative ? -magnitude : magnitude);
}

} // namespace

CatalogueReader::~CatalogueReader()
{
    if (fd >= 0)
        close(fd);
}

bool OpenCatalogue(CatalogueReader &r, const char *path)
{
    r.fd = OpenInput(path);
    r.failed = r.fd == kRefusedInput;
    return r.fd >= 0 || r.failed;
}

std::size_t PieceLength(std::string_view bytes, bool atEnd)
{
    const std::size_t span = std::min(bytes.size(), kPieceMax);
    const auto *nl = static_cast<const char *>(memchr(bytes.data(), '\n', span));
    if (nl)
        return std::size_t(nl - bytes.data()) + 1;
    return bytes.size() >= kPieceMax || atEnd ? span : 0;
}

bool NextPiece(CatalogueReader &r, std::string_view &piece)
{
    for (;;) {
        const char *start = r.buf + r.begin;
        const std::size_t avail = r.end - r.begin;
        if (r.failed || (avail == 0 && r.atEnd))
            return false;
        if (const std::size_t len = PieceLength({start, avail}, r.atEnd)) {
            const std::size_t pieceEnd = r.begin + len;
            /* NUL bytes are rare: they are searched once per buffer, not once per line. */
            piece = std::string_view(start, std::min(r.nul, pieceEnd) - r.begin);
            if (r.nul < pieceEnd)
                r.nul = FindNul(r, pieceEnd);
            r.lineNum += r.lineEnded;
            r.lineEnded = r.buf[pieceEnd - 1] == '\n';
            /* buf holds the bytes read last, up to r.offset */
            r.pieceOffset = r.offset - off_t(r.end - r.begin);
            r.begin = pieceEnd;
            return true;
        }
        Refill(r);
    }
}

std::string_view CatalogueHeader(int errClass, char (&ident)[20])
{
    ident[0] = '!';
    ident[1] = '$';
    char *end = AppendHex(ident + 2, std::uint32_t(errClass));
    *end = '\0';
    return {ident, std::size_t(end - ident)};
}

void ParseEntry(std::string_view line, int *code, std::string_view *text)
{
    const std::string_view number = Tail(line, 1);
    std::size_t end;
    *code = ScanHex(number, &end);
    /* The byte behind the number (normally the second dot) is skipped, whatever it is. */
    *text = end < number.size() ? Tail(number, end + 1) : std::string_view();
    if (!text->empty() && text->back() == '\n')
        text->remove_suffix(1);
}

EntryKey MakeEntryKey(int code)
{
    EntryKey key;
    key.code = code;
    char *end = AppendHex(key.hex, std::uint32_t(code));
    *end = '\0';
    key.length = std::size_t(end - key.hex);
    return key;
}

bool EntryDeclares(std::string_view line, const EntryKey &key)
{
    const std::string_view number = Tail(line, 1);
    /*
     * A number that starts with a hex digit other than 0 has no white space, sign or
     * "0x" before it: its value is that of its run of digits. For a code between 1 and
     * INT_MAX - 1 (no saturation can then match), the run must spell key.hex, in either
     * case, and end there. Every other line gets the full reading.
     */
    const bool plain =
        !number.empty() && HexDigit(number[0]) > 0 && key.code > 0 && key.code < INT_MAX;
    if (!plain) {
        int code;
        std::string_view text;
        ParseEntry(line, &code, &text);
        return code == key.code;
    }
    for (std::size_t i = 0; i < key.length; ++i) {
        const char c = i < number.size() ? number[i] : '\0';
        if ((c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c) != key.hex[i])
            return false;
    }
    return key.length == number.size() || HexDigit(number[key.length]) < 0;
}

} // namespace tarvik
