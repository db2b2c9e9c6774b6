/*
 * Catalogue - reading compiled catalogues in the pieces that a 512-byte fgets gives,
 * from one descriptor and a buffer of its own: no stdio stream, no heap allocation.
 */
#include "Catalogue.h"

#include "TextScan.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tarvik
{
namespace
{

constexpr std::size_t kPieceMax = 511;

/* Moves the unread bytes to the front of the buffer and reads more behind them. */
void Refill(CatalogueReader &r)
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
    r.fd = open(path, O_RDONLY | O_CLOEXEC);
    return r.fd >= 0;
}

bool NextPiece(CatalogueReader &r, std::string_view &piece)
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

std::string_view CatalogueHeader(int errClass, char (&ident)[20])
{
    const int n = snprintf(ident, sizeof ident, "!$%x", unsigned(errClass));
    return {ident, std::size_t(n)};
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

} // namespace tarvik
