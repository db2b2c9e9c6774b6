/*
 * TextScan.h - byte-level text helpers shared by the catalogue compiler and the library.
 *
 * Header-only on purpose: the compiler links nothing of the library, yet both sides must
 * scan names, blanks and numbers by exactly the same rules, so they share these inline
 * definitions rather than object code. Every helper but ScanInt looks at bytes alone and
 * does not depend on the locale; ScanInt is strtol, as the file formats' "atoi" reading
 * requires, and so follows the program's LC_CTYPE locale (see there).
 */
#ifndef TARVIK_TEXTSCAN_H
#define TARVIK_TEXTSCAN_H

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tarvik
{

/* The only blanks of the file formats: space and horizontal tab. */
constexpr bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

/* Returns the first byte at or after p that is not a blank. */
inline const char *SkipBlanks(const char *p)
{
    while (IsBlank(*p))
        ++p;
    return p;
}

/*
 * View helpers that never throw (the library is built without exceptions, so that C
 * programs link it without the C++ runtime): the first n bytes of text, and its bytes
 * from position n on, both cut to what text holds.
 */
constexpr std::string_view Head(std::string_view text, std::size_t n)
{
    return {text.data(), n < text.size() ? n : text.size()};
}
constexpr std::string_view Tail(std::string_view text, std::size_t n)
{
    return n < text.size() ? std::string_view(text.data() + n, text.size() - n)
                           : std::string_view();
}

/* Copies text into dst without a terminator; returns the number of bytes copied. */
inline std::size_t CopyView(char *dst, std::string_view text)
{
    if (!text.empty()) /* an empty view may hold a null pointer, which memcpy forbids */
        std::memcpy(dst, text.data(), text.size());
    return text.size();
}

/*
 * Writes v in lower-case hexadecimal without leading zeros, as "%x" does, at p (at most
 * 8 bytes, no terminator); returns the end.
 */
inline char *AppendHex(char *p, std::uint32_t v)
{
    int digits = 1;
    while (digits < 8 && (v >> (4 * digits)) != 0)
        ++digits;
    for (int i = digits - 1; i >= 0; --i)
        *p++ = "0123456789abcdef"[(v >> (4 * i)) & 0xf];
    return p;
}

/* Turns a-z into A-Z and leaves every other byte, including bytes above 127, unchanged. */
constexpr char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

/* Narrows to int, saturating at the int limits. */
constexpr int ClampToInt(long long v)
{
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : int(v);
}

/*
 * Reads a number as strtol does in the given base (leading white space, optional sign,
 * digits up to the first other byte, 0 when there is none) and saturates it to int.
 * With base 10 this is atoi without its undefined behaviour on overflow. Like atoi it
 * depends on the locale: the white space it skips is isspace's, which in the C locale
 * (the one a program has until it calls setlocale; the library never does) is space and
 * \t \n \v \f \r, and in some other locales a few more bytes.
 * *end, when given, receives the address of the first byte after the number.
 */
inline int ScanInt(const char *p, int base, const char **end = nullptr)
{
    const int savedErrno = errno; /* strtol may set ERANGE; callers never want that */
    char *stop = nullptr;
    const long v = std::strtol(p, &stop, base);
    errno = savedErrno;
    if (end)
        *end = stop;
    return ClampToInt(v);
}

/*
 * Copies at most size - 1 bytes of src into dst and always terminates dst.
 * A NULL src counts as the empty text. size must be at least 1.
 */
inline void CopyBounded(char *dst, std::size_t size, const char *src)
{
    const std::size_t n = src ? strnlen(src, size - 1) : 0;
    std::memcpy(dst, src ? src : "", n);
    dst[n] = '\0';
}

template <std::size_t N>
inline void CopyBounded(char (&dst)[N], const char *src)
{
    CopyBounded(dst, N, src);
}

} // namespace tarvik

#endif
