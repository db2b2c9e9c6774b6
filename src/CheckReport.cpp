/*
 * CheckReport - printing TarvikCheck's file diagnostics, and the escaping of bytes taken
 * from files and the environment.
 */
#include "CheckReport.h"

#include <cstdio>
#include <cstring>
#include <strings.h>
#include <utility>

namespace tarvik::check
{
namespace
{

constexpr bool IsContinuation(unsigned char b)
{
    return b >= 0x80 && b <= 0xbf;
}

/*
 * The length of the UTF-8 sequence that starts at text[i] (a byte of 0x80 or above), or
 * 0 when it is not a valid sequence or encodes a C1 control (U+0080 to U+009F).
 */
std::size_t Utf8Length(std::string_view text, std::size_t i)
{
    const auto at = [&](std::size_t k) {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
    };
    const unsigned char lead = at(0), second = at(1);
    std::size_t length;
    unsigned char low = 0x80, high = 0xbf; /* the range of the second byte */
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        if (lead == 0xc2)
            low = 0xa0; /* C1 controls */
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0; /* overlong forms */
        else if (lead == 0xed)
            high = 0x9f; /* surrogates */
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90; /* overlong forms */
        else if (lead == 0xf4)
            high = 0x8f; /* beyond U+10FFFF */
    } else {
        return 0;
    }
    if (second < low || second > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (!IsContinuation(static_cast<unsigned char>(at(k))))
            return 0;
    return length;
}

const char *Word(Severity severity)
{
    return severity == Severity::Error ? "erreur" : "attention";
}

/* "FILE:LINE: " or, for a whole file, "FILE: " */
std::string Where(const Located &at)
{
    std::string where = Printable(at.file) + ":";
    if (at.line > 0)
        where += std::to_string(at.line) + ":";
    return where + " ";
}

} // namespace

std::string Printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        const char *escape = b == '\\'   ? "\\\\"
                             : b == '\n' ? "\\n"
                             : b == '\r' ? "\\r"
                             : b == '\t' ? "\\t"
                                         : nullptr;
        if (escape) {
            out += escape;
            ++i;
        } else if (b >= 0x20 && b < 0x7f) {
            out += char(b);
            ++i;
        } else if (const std::size_t n = b >= 0x80 ? Utf8Length(text, i) : 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
            ++i;
        }
    }
    return out;
}

std::size_t MisspeltKeyword(const char *line, std::string_view keyword)
{
    const char *p = line;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (strncasecmp(p, keyword.data(), keyword.size()) != 0 ||
        (p == line && std::strncmp(p, keyword.data(), keyword.size()) == 0))
        return 0;
    return std::size_t(p - line) + keyword.size();
}

Diagnostic &Append(Report &report, Diagnostic d)
{
    ++(d.severity == Severity::Error ? report.errors : report.warnings);
    report.items.push_back(std::move(d));
    return report.items.back();
}

Diagnostic &Add(Report &report, Severity severity, Located at, std::string message)
{
    return Append(report, {std::move(at), severity, std::move(message), {}, {}});
}

void Print(const Report &report)
{
    for (const Diagnostic &d : report.items) {
        std::printf("%s%s : %s\n", Where(d.at).c_str(), Word(d.severity), d.message.c_str());
        if (!d.note.empty())
            std::printf("%sremarque : %s\n", Where(d.noteAt).c_str(), d.note.c_str());
    }
    for (const std::string &line : report.closing)
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace tarvik::check
